"""A small shop: what `python -m sarv run examples/shop.py` records.

It has classes with methods, a generator pipeline, an exception that is raised and caught,
and a worker thread, so a trace of it shows every kind of record sarv writes.
"""

import sys
import threading
from dataclasses import dataclass


@dataclass
class Item:
    name: str
    price_cents: int
    quantity: int

    def total(self):
        return self.price_cents * self.quantity


class OutOfStock(Exception):
    pass


class Inventory:
    def __init__(self, stock):
        self.stock = dict(stock)

    def take(self, name, quantity):
        available = self.stock.get(name, 0)
        if available < quantity:
            raise OutOfStock(f"only {available} {name} left")
        self.stock[name] = available - quantity
        return quantity


class Cart:
    def __init__(self, inventory):
        self.inventory = inventory
        self.items = []

    def add(self, name, price_cents, quantity=1):
        try:
            taken = self.inventory.take(name, quantity)
        except OutOfStock as error:
            print(f"  skipped {name}: {error}")
            return False
        self.items.append(Item(name, price_cents, taken))
        return True

    def lines(self):
        for item in self.items:
            yield f"{item.quantity} x {item.name}", item.total()

    def total(self):
        return sum(cents for _, cents in self.lines())


def apply_discount(cents, percent):
    return cents - cents * percent // 100


def restock(inventory, deliveries):
    for name, quantity in deliveries:
        inventory.stock[name] = inventory.stock.get(name, 0) + quantity


def main(argv):
    percent = int(argv[1]) if len(argv) > 1 else 10
    inventory = Inventory({"apple": 5, "pear": 1, "plum": 0})
    worker = threading.Thread(target=restock, args=(inventory, [("plum", 3)]), name="restocker")
    worker.start()
    worker.join()

    cart = Cart(inventory)
    cart.add("apple", 40, 3)
    cart.add("pear", 55, 2)  # only one pear: raises OutOfStock, which add() catches
    cart.add("plum", 30, 2)
    for label, cents in cart.lines():
        print(f"  {label:12s} {cents / 100:6.2f}")
    total = apply_discount(cart.total(), percent)
    print(f"  total after {percent}% off: {total / 100:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
