"""The trace viewer: one self-contained HTML page per trace.

The page's sources are plain files in static/ (the HTML skeleton, the style
sheet and one script per part of the page); `page_parts` puts them and the
trace into one file that needs no network and no server.
"""

from sarv.viewer.page import build_page, page_parts, stored_page_data, write_page

__all__ = ["build_page", "page_parts", "stored_page_data", "write_page"]
