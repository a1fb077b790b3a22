"""The figures the owner's view keeps between requests (run by web_run.sh):
the stock's worth and what to order, asked for once so that the view keeps
them, then after each kind of change to the store, by a clerk or by another
program, asked again at once and once more: each time they must be those
this test works out from the changes it made, never the ones kept from
before. The last change takes the worth past what 64 bits hold, which the
view must give to the cent."""

import csv
import io
import re
import sys
import urllib.request

from web_common import PLAIN_URL, console, listed, set_record, store_sql, id_literal

failures = []
BELOW = 10
MOST_CENTS = 2**63 - 1
MOST_UNITS = 2**32 - 1


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def fetch(path):
    with urllib.request.urlopen(PLAIN_URL + path.lstrip("/"), timeout=60) as answer:
        return answer.status, answer.read().decode("utf-8")


# The test's own products and what it told the store of each.
units = {"FRESH:1": 30, "FRESH:2": 8, "FRESH:3": 50, "FRESH:4": 5}
cost = {"FRESH:1": 40, "FRESH:2": 25, "FRESH:3": 70, "FRESH:4": None}
price = {"FRESH:1": 90, "FRESH:2": None, "FRESH:3": 120, "FRESH:4": 15}
level = {"FRESH:1": 30, "FRESH:2": None, "FRESH:3": 10, "FRESH:4": None}
withdrawn = {p: 0 for p in units}


def expected_summary():
    """The first page's figures, over the whole stock as L lists it: the
    products the store was filled with have no price or cost."""
    in_stock = {row[0]: row[1] for row in listed()}
    for p, n in units.items():
        check(in_stock.get(p, 0) == n, f"{p}: {in_stock.get(p, 0)} units, not {n}")

    def worth(cents):
        return sum(n * (cents.get(p) or 0) for p, n in in_stock.items())

    def money(cents):
        return f"{cents // 100}.{cents % 100:02d}"

    return {"kinds": str(len(in_stock)), "units": str(sum(in_stock.values())),
            "at-cost": money(worth(cost)), "at-price": money(worth(price)),
            "without-cost": str(sum(cost.get(p) is None for p in in_stock)),
            "without-price": str(sum(price.get(p) is None for p in in_stock))}


def shown_summary():
    status, body = fetch("/")
    check(status == 200, f"/: status {status}")
    return dict(re.findall(r'<span id="([a-z-]+)">([^<]*)</span>', body))


def expected_reorder():
    """The test's products to order: (id, units, level, withdrawn), by id."""
    rows = []
    for p in sorted(units):
        limit = level[p] if level[p] is not None else BELOW - 1
        if units[p] <= limit:
            rows.append([p, str(units[p]), "" if level[p] is None else str(level[p]),
                         str(withdrawn[p])])
    return rows


def shown_reorder():
    status, body = fetch(f"/reorder.csv?days=14&below={BELOW}")
    check(status == 200, f"/reorder.csv: status {status}")
    rows = list(csv.reader(io.StringIO(body.lstrip("\ufeff"), newline="")))[1:]
    return sorted([r[0], r[3], r[4], r[5]] for r in rows if r[0].startswith("FRESH:"))


def withdraw(product, taken):
    console([f"D {product} {taken}"], clerk="anna")
    units[product] -= taken
    withdrawn[product] += taken


def deliver(product, amount, name):
    console([f"A {product} 9.9 {amount} {name}"], clerk="anna")
    units[product] = units.get(product, 0) + amount
    for known in (cost, price, level):
        known.setdefault(product, None)
    withdrawn.setdefault(product, 0)


def priced(product, new_price, new_cost, new_level):
    """Another program's change to the catalogue, in plain SQL."""
    price[product], cost[product], level[product] = new_price, new_cost, new_level
    store_sql([set_record(product, new_price, new_cost, new_level)])


def counted(product, amount):
    """Another program's change to the stock, in plain SQL."""
    store_sql([f"UPDATE stock SET amount = {amount} WHERE id = {id_literal(product)}"])
    units[product] = amount


def emptied():
    console(["E"], clerk="anna")
    for product in units:
        units[product] = 0


for product, amount in units.items():
    console([f"A {product} 1.1 {amount} Fresh candy"], clerk="anna")
store_sql([set_record(p, price[p], cost[p], level[p]) for p in units])

steps = [
    ("nothing changed", lambda: None),
    ("a clerk's withdrawal", lambda: withdraw("FRESH:1", 4)),
    ("a clerk's withdrawal of the last units", lambda: withdraw("FRESH:4", 5)),
    ("a clerk's delivery of a new product", lambda: deliver("FRESH:5", 3, "New")),
    ("another program's prices and level", lambda: priced("FRESH:3", 300, 200, 60)),
    ("another program's count", lambda: counted("FRESH:2", 12)),
    ("a clerk's emptying of the stock", emptied),
    ("a worth past 64 bits", lambda: (
        deliver("FRESH:6", MOST_UNITS, "Big"), deliver("FRESH:7", MOST_UNITS, "Bigger"),
        priced("FRESH:6", MOST_CENTS, MOST_CENTS, None),
        priced("FRESH:7", MOST_CENTS, MOST_CENTS - 1, None))),
]
for what, change in steps:
    change()
    # Asked twice: once after the change, once more from what is kept.
    for asked in ("first", "again"):
        summary, expected = shown_summary(), expected_summary()
        for name, value in expected.items():
            check(summary.get(name) == value,
                  f"after {what}, asked {asked}: / {name} {summary.get(name)!r}, not {value!r}")
        check(shown_reorder() == expected_reorder(),
              f"after {what}, asked {asked}: to order {shown_reorder()}, not {expected_reorder()}")

if failures:
    print(f"{len(failures)} failures")
    sys.exit(1)
print(f"the kept figures were fresh after {len(steps)} kinds of change")
