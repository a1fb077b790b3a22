"""Best-before dates and stock-takes in the owner's view (run by web_run.sh):
/expiring, the expired first, its window of days, its worth at cost and its
pages; a product's lots and its undated units; /counts, each stock-take's
differences summed per reason and in all; and their CSV files. Every figure
is worked out here from the deliveries and the count sheets this test gives,
not read back from the program. A store older than the lots, first, says it
keeps none."""

import csv
import datetime
import io
import os
import re
import subprocess
import sys
import tempfile

from web_common import (STORE, WAREHOUSE, WAREHOUSE_WEB, Tables, console, money, request,
                        set_record, store_sql)

failures = []
POSTGRES = STORE.startswith("postgresql:")


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def page(path, status=200):
    got, _, body = request(path)
    check(got == status, f"{path}: status {got}, not {status}")
    return body.decode("utf-8")


def csv_rows(path):
    """The header and the rows of a CSV file; and checks the form every file
    has: a byte-order mark, a dated file name, text cells quoted."""
    status, headers, body = request(path)
    check(status == 200, f"{path}: status {status}")
    check(body.startswith(b"\xef\xbb\xbf"), f"{path}: no byte-order mark: {body[:12]!r}")
    name = re.search(r'filename="([^"]*)"', headers.get("Content-Disposition", ""))
    check(name is not None and re.search(r"\d{4}-\d\d-\d\d\.csv$", name[1]),
          f"{path}: the file's name has no date: {headers.get('Content-Disposition')}")
    rows = list(csv.reader(io.StringIO(body[3:].decode("utf-8"), newline="")))
    return rows[0], rows[1:], body


def write_csv(folder, name, header, rows):
    path = os.path.join(folder, name)
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(header)
        writer.writerows(rows)
    return path


def run_warehouse(*arguments):
    run = subprocess.run([WAREHOUSE, "--store", STORE, *arguments], capture_output=True,
                         text=True, timeout=60)
    check(run.returncode == 0, f"warehouse {' '.join(arguments)}: {run.returncode} {run.stderr}")


def deliver(folder, lines):
    """Receives a delivery note of (id, amount, best_before or "", shelf,
    name) lines, in their order."""
    run_warehouse("--deliveries", write_csv(folder, "note.csv",
                                            ["id", "amount", "best_before", "shelf", "name"],
                                            lines))


def take_count(folder, name, sheet):
    """Counts the products of a sheet of (id, counted, reason) lines."""
    run_warehouse("--clerk", "Tiina", "--count",
                  write_csv(folder, name, ["id", "counted", "reason"], sheet))


today = datetime.date.today()  # local: web_run.sh sets the clock's zone


def day(offset):
    return (today + datetime.timedelta(days=offset)).isoformat()


# The products that the stock-takes below count, which have no lots.
REASONS = ["damaged", "expired", "sample", "theft", "miscount", ""]
counted_products = [f"CNT:{n:02d}" for n in range(14)]
recorded = {p: 20 + n * 3 for n, p in enumerate(counted_products)}
count_costs = {p: None if n % 5 == 4 else 25 + n * 11 for n, p in enumerate(counted_products)}
console([f"A {p} C-{n % 3} {recorded[p]} Count {n}" for n, p in enumerate(counted_products)])
store_sql([set_record(p, cost=count_costs[p]) for p in counted_products])

def old_store(folder):
    """A store of the last version before the lots, from its fixture, and a
    view of its own; gives (store, view)."""
    fixtures = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "store", "fixtures")
    if POSTGRES:
        subprocess.run(["psql", "-X", "-q", "-d", STORE, "-c", "CREATE DATABASE older"],
                       check=True, capture_output=True, timeout=60)
        store = STORE.replace("///shop?", "///older?")
        subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", store, "-f",
                        os.path.join(fixtures, "postgres_v9.sql")],
                       check=True, capture_output=True, timeout=60)
    else:
        store = os.path.join(folder, "older.db")
        with open(os.path.join(fixtures, "sqlite_v6.sql")) as fixture:
            subprocess.run(["sqlite3", store], stdin=fixture, check=True, timeout=60)
    view = subprocess.Popen([WAREHOUSE_WEB, "--store", store, "--listen", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return store, view


# A store older than the lots: the pages say it keeps none, the files hold
# their header alone, and a product's page shows no lots; nothing else of
# the view is lost.
with tempfile.TemporaryDirectory() as scratch:
    _, view = old_store(scratch)
    try:
        base = view.stdout.readline().split(" at ")[-1].strip().rstrip("/")
        for path in ["/expiring", "/counts"]:
            check(Tables(page(base + path)).texts.get("no-lots") is not None,
                  f"{path} of an older store: no word of no lots")
        for path in ["/expiring.csv", "/counts.csv"]:
            _, rows, _ = csv_rows(base + path)
            check(rows == [], f"{path} of an older store: {rows[:2]}")
        product = page(base + "/product/GUM:1")
        check('id="amount">8<' in product and 'id="lots"' not in product,
              "a product's page of an older store")
    finally:
        view.terminate()
        check(view.wait(timeout=30) == 0 and view.stderr.read() == "",
              "the view of the older store ended cleanly")

# One lot, of a product with no cost, is counted as one; withdrawn whole,
# it leaves no lot for what follows.
with tempfile.TemporaryDirectory() as scratch:
    deliver(scratch, [("ONE:1", 2, day(3), "1-1", "Alone")])
    summary = Tables(page("/expiring?days=30")).texts.get("summary", "")
    check("1 lot, 2 units" in summary and "1 lot is of products with no cost" in summary,
          f"/expiring with one lot: {summary!r}")
    console(["D ONE:1 2"])

# The deliveries: 150 products, each with one to three dated lines and some
# with an undated one; dates from expired to well ahead, every one of them
# on some product. Names and shelves a spreadsheet would misread.
OFFSETS = [-30, -3, -1, 0, 1, 5, 13, 14, 15, 40, 400]
products = [f"LOT:{n:03d}" for n in range(150)]
names = {p: f'Toffee "{n}", {n % 7}' if n % 10 == 0 else f"Gum {n}" for n, p in enumerate(products)}
shelves = {p: f"{n % 9 + 1}-{n % 4 + 1}" for n, p in enumerate(products)}
costs = {p: None if n % 7 == 3 else 10 + n * 3 for n, p in enumerate(products)}
lines = []
for n, p in enumerate(products):
    for k in range(n % 3 + 1):
        lines.append((p, 1 + (n * 7 + k * 5) % 40, day(OFFSETS[(n + k * 4) % len(OFFSETS)]),
                      shelves[p], names[p]))
    if n % 4 == 1:
        lines.append((p, 3 + n % 11, "", shelves[p], names[p]))
with tempfile.TemporaryDirectory() as scratch:
    deliver(scratch, lines)
store_sql([set_record(p, cost=costs[p]) for p in products])
units = {p: sum(line[1] for line in lines if line[0] == p) for p in products}
# The lots in the order the view lists them: by date, then as received.
lots = sorted(((line[2], i, line) for i, line in enumerate(lines) if line[2]),
              key=lambda lot: lot[:2])


def lot_value(p, amount):
    return "" if costs[p] is None else money(amount * costs[p])


def expiring(days):
    """/expiring.csv's rows, as this test works them out."""
    return [[p, names[p], shelves[p], str(amount), date, lot_value(p, amount),
             "yes" if date < day(0) else "no"]
            for date, _, (p, amount, _, _, _) in lots if date <= day(days)]


def check_totals(days, when=""):
    """Checks /expiring's totals against those of the lots as this test
    has them."""
    expected = expiring(days)
    what = f"/expiring?days={days}{when}"
    shown = Tables(page(f"/expiring?days={days}"))
    check(shown.texts.get("lots-count") == str(len(expected)),
          f"{what}: {shown.texts.get('lots-count')} lots, not {len(expected)}")
    check(shown.texts.get("units") == str(sum(int(r[3]) for r in expected)),
          f"{what}: units {shown.texts.get('units')}")
    worth = sum(int(r[3]) * costs[r[0]] for r in expected if costs[r[0]] is not None)
    check(shown.texts.get("at-cost") == money(worth),
          f"{what}: at cost {shown.texts.get('at-cost')}, not {money(worth)}")
    without = sum(costs[r[0]] is None for r in expected)
    check(shown.texts.get("without-cost") == str(without),
          f"{what}: without a cost {shown.texts.get('without-cost')}")
    words = [f"{len(expected)} {'lot' if len(expected) == 1 else 'lots'}, ",
             f"{without} {'lot is' if without == 1 else 'lots are'} of products"]
    check(all(said in shown.texts.get("summary", "") for said in words),
          f"{what}: {shown.texts.get('summary')!r} says not {words}")


for days in [0, 14, 400]:
    expected = expiring(days)
    header, rows, body = csv_rows(f"/expiring.csv?days={days}")
    check(header == ["id", "name", "shelf", "units", "best_before", "at_cost", "expired"],
          f"/expiring.csv's header: {header}")
    check(rows == expected, f"/expiring.csv?days={days}: {len(rows)} rows, not {len(expected)}; "
          f"first {rows[:2]} against {expected[:2]}")
    check(b'"1-1"' in body, "/expiring.csv quotes a shelf")
    check_totals(days)
    # The pages, 100 lots each, are the file's rows in its order.
    link, seen = f"/expiring?days={days}", []
    while link:
        shown = Tables(page(link))
        cells = shown.tables.get("expiring", [])
        check(len(cells) <= 100, f"{link}: {len(cells)} rows")
        seen += [[c[0], c[1], c[2], c[3], c[4].replace(" (expired)", ""), c[5]] for c in cells]
        link = shown.links.get("next")
    check(seen == [r[:6] for r in expected], f"/expiring?days={days}'s pages: {len(seen)} rows")
# The expired come first: the first row is the oldest date, the only ones
# marked expired are before today, and a lot best before today is not.
first = expiring(14)[0]
check(first[4] == day(-30) and first[6] == "yes", f"/expiring's first row: {first}")
check(any(r[4] == day(0) and r[6] == "no" for r in expiring(14)), "a lot best before today")
check(day(15) not in [r[4] for r in expiring(14)] and day(14) in [r[4] for r in expiring(14)],
      "the window of 14 days ends on the 14th day")
for bad in ["abc", "3651", "-1", "1.5"]:
    page(f"/expiring?days={bad}", 400)
page("/expiring?page=0", 400)

# A product's page: its lots by date, their worth, and the undated units.
for p in products[:12]:
    mine = [(date, amount) for date, _, (q, amount, _, _, _) in lots if q == p]
    expected = [[date + (" (expired)" if date < day(0) else ""), str(amount),
                 lot_value(p, amount)] for date, amount in mine]
    undated = units[p] - sum(amount for _, amount in mine)
    if undated:
        expected.append(["undated", str(undated), lot_value(p, undated)])
    shown = Tables(page(f"/product/{p.replace(':', '%3A')}")).tables.get("lots", [])
    check(shown == expected, f"{p}'s lots: {shown}, not {expected}")

# The totals follow the store, whichever window was asked last: after a
# cost given to a product that had none, another's changed, and a product
# withdrawn whole with its lots, each window's are worked out anew.
for days in [14, 14, 0]:
    check_totals(days, ", asked again")
listed_now = [r[0] for r in expiring(14)]
no_cost = next(p for p in listed_now if costs[p] is None)
other_cost = next(p for p in listed_now if costs[p] is not None)
gone = next(p for p in listed_now if p not in (no_cost, other_cost))
costs[no_cost], costs[other_cost] = 7, costs[other_cost] + 250
store_sql([set_record(no_cost, cost=7), set_record(other_cost, cost=costs[other_cost])])
console([f"D {gone} {units[gone]}"])
lots = [lot for lot in lots if lot[2][0] != gone]
for days in [0, 14, 400]:
    check_totals(days, " after a change")

# Two stock-takes of the products without lots, with every reason, none
# too, counts above and below the records and some equal to them.
first_sheet = [(p, recorded[p] - (n % 4) * 2 + (3 if n % 6 == 5 else 0), REASONS[n % 6])
               for n, p in enumerate(counted_products[:12])]
after_first = dict(recorded)
after_first.update({p: counted for p, counted, _ in first_sheet})
second_sheet = [(p, after_first[p] - 1 - n % 2, REASONS[(n + 2) % 6])
                for n, p in enumerate(counted_products[8:])]
with tempfile.TemporaryDirectory() as scratch:
    take_count(scratch, "monday.csv", first_sheet)
    summary = Tables(page("/counts")).texts.get("summary", "")
    check("1 stock-take, the newest first" in summary, f"/counts after one stock-take: {summary!r}")
    take_count(scratch, "tuesday.csv", second_sheet)
# The differences, the newest stock-take first, by id within one.
differences = []
for sheet, before in [(second_sheet, after_first), (first_sheet, recorded)]:
    for p, counted, reason in sorted(sheet):
        if counted != before[p]:
            cost = count_costs[p]
            differences.append([p, f"Count {counted_products.index(p)}", str(before[p]),
                                str(counted), str(counted - before[p]), reason,
                                "" if cost is None else money((counted - before[p]) * cost)])
check(len(differences) >= 10 and any(d[5] == "" for d in differences),
      "the sheets make differences of every kind")
header, rows, body = csv_rows("/counts.csv")
check(header == ["time", "clerk", "id", "name", "expected", "counted", "difference", "reason",
                 "at_cost"], f"/counts.csv's header: {header}")
check([r[2:] for r in rows] == differences,
      f"/counts.csv: {[r[2:] for r in rows][:3]}, not {differences[:3]}")
shown = Tables(page("/counts"))
check([c[2:] for c in shown.tables.get("differences", [])] ==
      [d[:5] + [d[5] or "(none given)", d[6]] for d in differences], "/counts' differences")
takes = shown.tables.get("takes", [])
check(shown.texts.get("takes-count") == "2" and len(takes) == 2, f"/counts' stock-takes: {takes}")
for take, sheet, before in zip(takes, [second_sheet, first_sheet], [after_first, recorded]):
    changed = [(p, c - before[p]) for p, c, _ in sheet if c != before[p]]
    check(take[3:5] == [str(len(changed)), str(sum(d for _, d in changed))],
          f"a stock-take's products and units: {take}")
# Per reason and in all: products, units, worth at cost and those without.
sums = {}
for d in differences:
    reason = d[5] or "(none given)"
    s = sums.setdefault(reason, [0, 0, 0, 0])
    s[0] += 1
    s[1] += int(d[4])
    cost = count_costs[d[0]]
    s[2] += 0 if cost is None else int(d[4]) * cost
    s[3] += cost is None
expected = [[reason, str(s[0]), str(s[1]), money(s[2]), str(s[3])]
            for reason, s in sorted(sums.items())]
check(shown.tables.get("reasons", [])[:len(expected)] == expected,
      f"/counts per reason: {shown.tables.get('reasons')}, not {expected}")
all_sums = [sum(s[i] for s in sums.values()) for i in range(4)]
for name, value in zip(["total-products", "total-units", "total-at-cost", "total-without-cost"],
                       [str(all_sums[0]), str(all_sums[1]), money(all_sums[2]), str(all_sums[3])]):
    check(shown.texts.get(name) == value, f"/counts: {name} {shown.texts.get(name)}, not {value}")

# Worth past 64 bits: the most units a lot holds at the highest cost the
# catalogue takes, on /expiring and its file, the product's page, and a
# stock-take's difference and its sums.
DEAR, DEAR_UNITS, DEAR_COST = "DEAR:1", 4294967295, 2**63 - 1
with tempfile.TemporaryDirectory() as scratch:
    deliver(scratch, [(DEAR, DEAR_UNITS, day(-1), "9-9", "Gold")])
    store_sql([set_record(DEAR, cost=DEAR_COST)])
    dear_worth = DEAR_UNITS * DEAR_COST
    _, rows, _ = csv_rows("/expiring.csv?days=0")
    check([r[5] for r in rows if r[0] == DEAR] == [money(dear_worth)],
          f"/expiring.csv's dear lot: {[r for r in rows if r[0] == DEAR]}")
    worth = dear_worth + sum(int(r[3]) * costs[r[0]] for r in expiring(0)
                             if costs[r[0]] is not None)
    shown = Tables(page("/expiring?days=0"))
    check(shown.texts.get("at-cost") == money(worth),
          f"/expiring?days=0 with the dear lot: {shown.texts.get('at-cost')}, not {money(worth)}")
    check([c[5] for c in shown.tables.get("expiring", []) if c[0] == DEAR] == [money(dear_worth)],
          "/expiring's dear lot")
    check(Tables(page("/product/DEAR%3A1")).tables.get("lots", [])[:1] ==
          [[day(-1) + " (expired)", str(DEAR_UNITS), money(dear_worth)]], "the dear product's lots")
    take_count(scratch, "dear.csv", [(DEAR, 0, "expired")])
    _, rows, _ = csv_rows("/counts.csv")
    check(rows[0][2:] == [DEAR, "Gold", str(DEAR_UNITS), "0", str(-DEAR_UNITS), "expired",
                          money(-dear_worth)], f"/counts.csv's dear difference: {rows[0]}")
    shown = Tables(page("/counts"))
    check(shown.texts.get("total-at-cost") == money(all_sums[2] - dear_worth),
          f"/counts with the dear difference: {shown.texts.get('total-at-cost')}")

print(f"web_lots: {len(failures)} failed")
sys.exit(1 if failures else 0)
