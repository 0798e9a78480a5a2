"""A small Django shop, in one file, whose every request becomes a sarv trace.

    pip install sarv django
    python examples/django_app.py --demo    # a few requests through Django's test client
    python examples/django_app.py           # or serve it: http://127.0.0.1:8000/items/3
    python -m sarv traces --source request  # the requests' traces

In a project, the two settings below go into settings.py.
"""

import sys

from django.conf import settings

settings.configure(
    DEBUG=False,
    SECRET_KEY="only for this example",
    ROOT_URLCONF=__name__,
    ALLOWED_HOSTS=["127.0.0.1", "localhost", "testserver"],
    # First, so that the other middleware is in the traces too.
    MIDDLEWARE=["sarv.django.SarvMiddleware", "django.middleware.common.CommonMiddleware"],
    # The keywords of sarv.profiling() and the keep-modes: here every request; in
    # production rather {"keep": "sample", "one_in": 100} or {"slower_than": 0.5}.
    SARV={"trace_header": True},
)

import django  # noqa: E402

django.setup()

from django.http import Http404, JsonResponse  # noqa: E402
from django.urls import path  # noqa: E402

STOCK = {1: ("tea", 4.5, 10), 2: ("cup", 12.0, 0), 3: ("pot", 30.0, 2)}


def price_with_tax(price, rate=0.2):
    return round(price * (1 + rate), 2)


def item(request, item_id):
    if item_id not in STOCK:
        raise Http404("no such item")
    name, price, left = STOCK[item_id]
    return JsonResponse({"id": item_id, "name": name, "price": price_with_tax(price), "in_stock": left > 0})


urlpatterns = [path("items/<int:item_id>", item)]

if __name__ == "__main__":
    if "--demo" in sys.argv:
        from django.test import Client

        client = Client()
        for url in ("/items/1", "/items/3", "/items/9"):
            response = client.get(url)
            print(url, response.status_code, "X-Sarv-Trace:", response.get("X-Sarv-Trace"))
    else:
        from django.core.management import execute_from_command_line

        execute_from_command_line([sys.argv[0], "runserver", "--noreload", "8000"])
