"""``python -m sarv``: the command line of sarv.cli."""

import sys

from sarv.cli import main

if __name__ == "__main__":
    sys.exit(main())
