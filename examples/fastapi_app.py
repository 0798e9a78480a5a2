"""A small FastAPI shop whose every request becomes a sarv trace (the ASGI
middleware: requests interleaved on the event loop each get their own calls).

    pip install sarv fastapi uvicorn httpx
    python examples/fastapi_app.py --demo   # a few requests through httpx, in the process
    python examples/fastapi_app.py          # or serve it: http://127.0.0.1:8000/items/3
    python -m sarv traces --source request  # the requests' traces
"""

import asyncio
import sys

from fastapi import FastAPI, HTTPException

import sarv.asgi

app = FastAPI()
app.add_middleware(sarv.asgi.SarvMiddleware, trace_header=True)

STOCK = {1: ("tea", 4.5, 10), 2: ("cup", 12.0, 0), 3: ("pot", 30.0, 2)}


def price_with_tax(price, rate=0.2):
    return round(price * (1 + rate), 2)


async def find_item(item_id):
    await asyncio.sleep(0.01)  # a database would be awaited here
    if item_id not in STOCK:
        raise HTTPException(status_code=404)
    name, price, left = STOCK[item_id]
    return {"id": item_id, "name": name, "price": price_with_tax(price), "in_stock": left > 0}


@app.get("/items/{item_id}")
async def item(item_id: int):
    return await find_item(item_id)


@app.get("/report")
def report():  # a plain function: FastAPI runs it in a worker thread, still in its request's trace
    return {"items": len(STOCK), "value": sum(price_with_tax(p) * n for _, p, n in STOCK.values())}


async def demo():
    import httpx

    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://shop") as client:
        # Three at once: each trace holds only its own request's calls.
        responses = await asyncio.gather(*(client.get(p) for p in ("/items/1", "/items/3", "/items/9", "/report")))
    for response in responses:
        print(response.request.url.path, response.status_code, "X-Sarv-Trace:", response.headers.get("x-sarv-trace"))


if __name__ == "__main__":
    if "--demo" in sys.argv:
        asyncio.run(demo())
    else:
        import uvicorn

        uvicorn.run(app, port=8000)
