"""The owner's questions at a shop's size (run by web_run.sh): what to order,
the stock's worth, a day's and a span's takings, best sellers and clerks,
each against figures this test works out from the commands it gave, not
from the view's own; and the CSV files as a spreadsheet reads them."""

import csv
import io
import math
import os
import random
import re
import sys
import tempfile
import time
from fractions import Fraction

from web_common import Tables, console, listed, money, request, set_record, store_sql

failures = []
PRODUCTS = 1500
WITHDRAWALS = 1500
CLERKS = ["anna", "bert", "cecilia"]


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def page(path):
    status, _, body = request(path)
    check(status == 200, f"{path}: status {status}")
    return body.decode("utf-8")


def csv_rows(path):
    """The rows of a CSV file after its header; and checks the form every
    file has: a byte-order mark, a dated file name, text cells quoted."""
    status, headers, body = request(path)
    check(status == 200, f"{path}: status {status}")
    check(body.startswith(b"\xef\xbb\xbf"), f"{path}: no byte-order mark: {body[:12]!r}")
    name = re.search(r'filename="([^"]*)"', headers.get("Content-Disposition", ""))
    check(name is not None and re.search(r"\d{4}-\d\d-\d\d", name[1]),
          f"{path}: the file's name has no date: {headers.get('Content-Disposition')}")
    return list(csv.reader(io.StringIO(body[3:].decode("utf-8"), newline="")))[1:], body


random.seed(20261209)
ids = [f"SHOP:{n:04d}" for n in range(PRODUCTS)]
# Shelves a spreadsheet would read as dates or numbers unless quoted.
shelves = {p: f"{n % 12 + 1}-{n % 28 + 1}" if n % 2 else f"00{n % 90 + 10}" for n, p in enumerate(ids)}
names = {p: f"Candy {n}" for n, p in enumerate(ids)}
units = {p: random.randint(1, 60) for p in ids}
delivered = dict(units)

# The deliveries, by anna; then the withdrawals, a third by each clerk,
# some of all that is left; and, by anna, the stock written, emptied and
# loaded again, which delivers nothing.
console([f"A {p} {shelves[p]} {units[p]} {names[p]}" for p in ids], clerk="anna")
withdrawn = {p: 0 for p in ids}
clerk_units = {c: 0 for c in CLERKS}
clerk_delivered = {c: 0 for c in CLERKS}
clerk_delivered["anna"] = sum(units.values())
clerk_commands = {c: 0 for c in CLERKS}
clerk_commands["anna"] = PRODUCTS
by_clerk = {c: [] for c in CLERKS}
for i in range(WITHDRAWALS):
    product = random.choice(ids[: PRODUCTS // 2]) if i % 3 else random.choice(ids)
    if units[product] == 0:
        continue
    taken = units[product] if random.random() < 0.05 else random.randint(1, min(5, units[product]))
    clerk = CLERKS[i % 3]
    by_clerk[clerk].append(f"D {product} {taken}")
    units[product] -= taken
    withdrawn[product] += taken
    clerk_units[clerk] += taken
    clerk_commands[clerk] += 1
for clerk in CLERKS:
    console(by_clerk[clerk], clerk=clerk)
with tempfile.TemporaryDirectory() as scratch:
    saved = os.path.join(scratch, "stock.txt")
    console([f"W {saved}", "E", f"R {saved}"], clerk="anna")

# The catalogue: prices and costs for most, reorder levels for some, a few
# discontinued.
price = {p: None if n % 17 == 0 else 50 + n % 400 for n, p in enumerate(ids)}
cost = {p: None if n % 19 == 0 else 30 + n % 200 for n, p in enumerate(ids)}
level = {p: 20 if n % 5 == 0 else None for n, p in enumerate(ids)}
discontinued = {p: n % 23 == 0 for n, p in enumerate(ids)}
store_sql([set_record(p, price[p], cost[p], level[p], discontinued[p]) for p in ids])

# The stock's worth, over every product in stock (those the store was
# filled with have no price).
stock = listed()
in_stock = {row[0]: row[1] for row in stock}
check(all(in_stock.get(p, 0) == units[p] for p in ids), "the stock after the commands")
at_cost = sum(n * (cost.get(p) or 0) for p, n in in_stock.items())
at_price = sum(n * (price.get(p) or 0) for p, n in in_stock.items())
summary = Tables(page("/")).texts
for name, expected in [("at-cost", money(at_cost)), ("at-price", money(at_price)),
                       ("without-price", str(sum(price.get(p) is None for p in in_stock))),
                       ("without-cost", str(sum(cost.get(p) is None for p in in_stock))),
                       ("units", str(sum(in_stock.values()))), ("kinds", str(len(in_stock)))]:
    check(summary.get(name) == expected, f"/: {name} {summary.get(name)!r}, not {expected!r}")

# What to order: the rate is the last 28 days' withdrawals a day, and all
# of them came today.
for days, below in [(14, 10), (30, 3)]:
    expected = []
    for p in ids:
        limit = level[p] if level[p] is not None else below - 1
        if discontinued[p] or units[p] > limit:
            continue
        w, n = withdrawn[p], units[p]
        order = max(0, math.ceil(Fraction(w * days, 28)) - n)
        left = f"{n * 28 / w:.1f}" if w else ""
        expected.append(((0, Fraction(n, w), p) if w else (1, 0, p),
                         [p, names[p], shelves[p], str(n),
                          "" if level[p] is None else str(level[p]), str(w),
                          f"{w / 28:.2f}", left, str(order)]))
    expected = [row for _, row in sorted(expected)]
    rows, body = csv_rows(f"/reorder.csv?days={days}&below={below}")
    mine = [row for row in rows if row[0].startswith("SHOP:")]
    check(mine == expected, f"reorder.csv days={days} below={below}: "
          f"{len(mine)} rows, not {len(expected)}; first {mine[:2]} against {expected[:2]}")
    check(b'"' + shelves[ids[1]].encode() + b'"' in body or not mine,
          "a shelf is quoted in reorder.csv")
    shown = Tables(page(f"/reorder?days={days}&below={below}"))
    cells = shown.tables.get("reorder", [])
    check(shown.texts.get("matched") == str(len(rows)),
          f"/reorder: {shown.texts.get('matched')} matched, the CSV has {len(rows)}")
    check([[c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]] for c in cells]
          == [[r[0], r[1], r[2], r[3], r[4], r[6], r[7], r[8]] for r in rows[:100]],
          f"/reorder's first page is the CSV's first 100 rows")
    if len(rows) > 100:
        check(shown.links.get("next") is not None, "/reorder: no link to the next page")
        second = Tables(page(shown.links["next"]))
        check([c[0] for c in second.tables.get("reorder", [])] == [r[0] for r in rows[100:200]],
              "/reorder's second page")
        check(second.links.get("previous") is not None, "/reorder's second page: no way back")

# The day and a span of days: takings, best sellers and the clerks, and
# delivered counting deliveries alone, not the load after the emptying.
today = time.strftime("%Y-%m-%d")
takings = sum(withdrawn[p] * price[p] for p in ids if price[p] is not None)
# The store's first commands (web_fill.in) withdrew today too.
all_withdrawn, all_names = dict(withdrawn), dict(names)
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "web_fill.in")) as fill:
    for line in fill:
        words = line.split()
        if words[0] == "A":
            all_names.setdefault(words[1], " ".join(words[4:]))
        elif words[0] == "D":
            all_withdrawn[words[1]] = all_withdrawn.get(words[1], 0) + int(words[2])
best = sorted((p for p in all_withdrawn if all_withdrawn[p]),
              key=lambda p: (-all_withdrawn[p], p.encode()))[:10]
for path in [f"/day/{today}", f"/days?from={today}&to={today}"]:
    report = Tables(page(path))
    check(report.texts.get("takings") == money(takings),
          f"{path}: takings {report.texts.get('takings')}, not {money(takings)}")
    check(report.texts.get("units-out") == str(sum(all_withdrawn.values())),
          f"{path}: units out {report.texts.get('units-out')}")
    sellers = [(r[0], r[1], r[2]) for r in report.tables.get("best-sellers", [])]
    expected = [(p, all_names[p], str(all_withdrawn[p])) for p in best]
    check(sellers == expected, f"{path}: best sellers {sellers[:3]}, not {expected[:3]}")
    clerks = {r[0].split(" (")[0]: r for r in report.tables.get("day-clerks", [])}
    for clerk in CLERKS:
        row = clerks.get(clerk)
        expected = [str(clerk_commands[clerk] + (2 if clerk == "anna" else 0)),
                    str(clerk_delivered[clerk]), str(clerk_units[clerk]),
                    money(sum(int(c.split()[2]) * price[c.split()[1]] for c in by_clerk[clerk]
                              if price[c.split()[1]] is not None))]
        check(row is not None and row[1:] == expected,
              f"{path}: clerk {clerk}: {row}, not {expected}")
    rows, _ = csv_rows(path.replace("/days?", "/days.csv?") if "days?" in path
                       else path + ".csv")
    mine = {r[0]: r for r in rows if r[0].startswith("SHOP:")}
    check(all(mine.get(p, [None] * 6)[1:5] == [names[p], str(delivered[p]), str(withdrawn[p]),
                                                str(units[p])] for p in ids),
          f"{path}: the products' CSV, e.g. {mine.get(ids[0])}")

# Pages of 100: the day's products and commands, with links both ways.
first = Tables(page(f"/day/{today}"))
check(len(first.tables.get("day-products", [])) == 101, "the day's first page: 100 products and all")
check(len(first.tables.get("day-commands", [])) == 100, "the day's first page: 100 commands")
check(first.links.get("next-page") == f"/day/{today}?page=2", f"next page: {first.links}")
second = Tables(page(first.links.get("next-page", "/")))
check(second.links.get("previous-page") == f"/day/{today}", "the second page: no way back")
check(first.tables["day-products"][:100] != second.tables.get("day-products", [])[:100],
      "the second page repeats the first")

print(f"web_owner: {len(failures)} failed")
sys.exit(1 if failures else 0)
