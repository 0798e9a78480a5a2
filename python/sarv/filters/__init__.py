"""Plugin descriptions for the core (`plugin_data`).

The views and exports that lived here are in `sarv.views` (the text views in
`sarv.views.text`) and the notebook magic is `sarv.notebook`; their old module
names still import, as the same modules.
"""
