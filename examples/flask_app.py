"""A small Flask shop whose every request becomes a sarv trace.

pip install sarv flask
python examples/flask_app.py --demo     # a few requests through Flask's test client
python examples/flask_app.py            # or serve it: http://127.0.0.1:5000/items/3
python -m sarv traces --source request  # the requests' traces
python -m sarv show last                # the call tree of the newest
"""

import sys

from flask import Flask, abort, jsonify

import sarv.flask

app = Flask(__name__)
# Every request here; in production rather keep="sample", one_in=100, or slower_than=0.5,
# or secret="..." to trace the requests that carry the header X-Sarv with it.
sarv.flask.Sarv(app, trace_header=True)

STOCK = {1: ("tea", 4.5, 10), 2: ("cup", 12.0, 0), 3: ("pot", 30.0, 2)}


def price_with_tax(price, rate=0.2):
    return round(price * (1 + rate), 2)


def find_item(item_id):
    if item_id not in STOCK:
        abort(404)
    name, price, left = STOCK[item_id]
    return {"id": item_id, "name": name, "price": price_with_tax(price), "in_stock": left > 0}


@app.route("/items/<int:item_id>")
def item(item_id):
    return jsonify(find_item(item_id))


if __name__ == "__main__":
    if "--demo" in sys.argv:
        client = app.test_client()
        for path in ("/items/1", "/items/3", "/items/9"):
            response = client.get(path)
            # (The trace ends when the server has sent the body: read it, as a server does.)
            body = (response.get_data(as_text=True).strip().splitlines() or [""])[0]
            print(path, response.status_code, body[:40], "X-Sarv-Trace:", response.headers.get("X-Sarv-Trace"))
    else:
        app.run(port=5000)
