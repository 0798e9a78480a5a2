"""Old module names, kept so that imports written before still work: the views
and exports are in `sarv.views` (the text views in `sarv.views.text`), the
notebook magic is `sarv.notebook` and the plugin descriptions are
`sarv.plugins`; each module here is the same module object as its new one.
"""
