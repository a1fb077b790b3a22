"""What the web tests share: the console's own answers (L, H, C), read from
the store through warehouse, and the views' addresses (see web_run.sh)."""

import html.parser
import http.client
import os
import re
import subprocess
import urllib.parse

WAREHOUSE = os.environ["WAREHOUSE"]
WAREHOUSE_WEB = os.environ["WAREHOUSE_WEB"]
STORE = os.environ["VIEWED_STORE"]
PLAIN_URL = os.environ["PLAIN_URL"]  # http://127.0.0.1:PORT/
KEYED_URL = os.environ["KEYED_URL"]  # http://127.0.0.1:PORT/?key=KEY
KEYED_BASE = KEYED_URL.split("?")[0]
KEY = KEYED_URL.split("key=")[1]

LIST_LINE = re.compile(r"^(\S+) +(\d+)  (\S+) +(.*)$")
HISTORY_LINE = re.compile(r"^(\S+ \S+) (.+?)(?:: (.*?))? -> (.*)$")


def console(commands, wait=None, clerk=None):
    """Runs warehouse on the store with the commands, one a line; returns
    its standard output and standard error."""
    arguments = [WAREHOUSE, "--store", STORE]
    if wait is not None:
        arguments += ["--wait", str(wait)]
    if clerk is not None:
        arguments += ["--clerk", clerk]
    run = subprocess.run(arguments, input="\n".join(commands + ["Q"]) + "\n",
                         capture_output=True, text=True, timeout=60, check=True)
    return run.stdout, run.stderr


def listed(text=""):
    """The rows of L [text]: (id, amount, shelf, name), by id."""
    out, _ = console(["L " + text if text else "L"])
    rows = []
    for line in out.splitlines():
        match = LIST_LINE.match(line)
        if match and not line.startswith("> "):
            rows.append((match[1], int(match[2]), match[3], match[4]))
    return rows


def histories(products):
    """For each product, the lines of H id: (time, clerk, command, after);
    one run of the console asks for them all."""
    out, _ = console(["H " + product for product in products])
    found = {}
    rows = None
    for line in out.splitlines():
        if line.startswith("> H "):
            rows = found.setdefault(line[4:], [])
            continue
        match = HISTORY_LINE.match(line)
        if match and rows is not None:
            rows.append((match[1], match[2], match[3] or "", match[4]))
    return found


def history(product):
    return histories([product])[product]


def kinds():
    out, _ = console(["C"])
    return int(re.search(r"^(\d+) different kinds", out, re.M)[1])


def spreadsheet_safe(text):
    """A text cell as the CSV files write it."""
    return "'" + text if text[:1] in ("=", "+", "-", "@") else text


def as_csv_row(row):
    """A row of L as the CSV files write it: text cells made safe, numbers
    as they are."""
    return [spreadsheet_safe(str(cell)) if isinstance(cell, str) else str(cell)
            for cell in row]


def day_totals(products):
    """Per product, from its H lines: units delivered (A alone: a load or
    generated products deliver nothing), withdrawn (D) and the net, as the
    day's report counts them."""
    totals = {}
    for product, lines in histories(products).items():
        before = delivered = withdrawn = 0
        for _, _, command, after in lines:
            after = int(after)
            if command.startswith("A ") and after > before:
                delivered += after - before
            if command.startswith("D ") and before > after:
                withdrawn += before - after
            before = after
        totals[product] = (delivered, withdrawn, before)  # all came today
    return totals


def store_sql(statements):
    """Runs SQL statements on the store as its owner: through psql on
    PostgreSQL, through Python's sqlite3 on a file."""
    if STORE.startswith("postgresql:"):
        subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", STORE],
                       input=";\n".join(statements) + ";\n", text=True, check=True,
                       timeout=60, capture_output=True)
        return
    import sqlite3
    with sqlite3.connect(STORE, timeout=30) as database:
        for statement in statements:
            database.execute(statement)


def id_literal(product):
    """An id as an SQL literal of the store's kind: bytes on PostgreSQL."""
    quoted = "'" + product.replace("'", "''") + "'"
    return f"convert_to({quoted}, 'UTF8')" if STORE.startswith("postgresql:") else quoted


def set_record(product, price=None, cost=None, level=None, discontinued=False):
    """Sets a product's catalogue record: cents, a reorder level, and
    whether it is discontinued (None: not known)."""
    def value(number):
        return "NULL" if number is None else str(number)
    flag = ("true" if discontinued else "false") if STORE.startswith("postgresql:") \
        else ("1" if discontinued else "0")
    return (f"UPDATE catalogue SET price_cents = {value(price)}, cost_cents = {value(cost)}, "
            f"reorder_level = {value(level)}, discontinued = {flag} "
            f"WHERE id = {id_literal(product)}")


def request(path):
    """(status, headers, body bytes) of a GET of the view without a key, or
    of a whole address of another view."""
    address = urllib.parse.urlsplit(path if path.startswith("http:") else PLAIN_URL)
    if path.startswith("http:"):
        path = path[len(f"http://{address.netloc}"):]
    connection = http.client.HTTPConnection(address.hostname, address.port, timeout=60)
    connection.request("GET", path)
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, dict(response.getheaders()), body


class Tables(html.parser.HTMLParser):
    """The cells of each table of a page by its id, and the texts of the
    elements with an id."""

    def __init__(self, text):
        super().__init__()
        self.tables, self.texts, self.links = {}, {}, {}
        self.table = self.row = self.cell = None
        self.open_ids = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self.table = self.tables.setdefault(attrs.get("id"), [])
        elif tag == "tr" and self.table is not None:
            self.row = []
        elif tag == "td" and self.row is not None:
            self.cell = ""
        if "id" in attrs:
            self.open_ids.append([attrs["id"], tag, ""])
            if tag == "a":
                self.links[attrs["id"]] = attrs.get("href")

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.row.append(self.cell)
            self.cell = None
        elif tag == "tr" and self.row is not None:
            if self.row:
                self.table.append(self.row)
            self.row = None
        elif tag == "table":
            self.table = None
        if self.open_ids and self.open_ids[-1][1] == tag:
            name, _, text = self.open_ids.pop()
            self.texts[name] = text

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data
        for opened in self.open_ids:
            opened[2] += data


def money(cents):
    """Whole cents as the view writes money: "12.05", "-0.50"."""
    sign = "-" if cents < 0 else ""
    return f"{sign}{abs(cents) // 100}.{abs(cents) % 100:02d}"
