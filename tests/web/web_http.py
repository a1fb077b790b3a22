"""The owner's view over plain HTTP (run by web_run.sh), and its command
line: the key, the methods, over-long requests, addresses of odd ids, escaping, a view that is
always current and that holds up no clerk, served side by side, and the
sold out after an E."""

import http.client
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

from web_common import (KEY, KEYED_BASE, PLAIN_URL, STORE, WAREHOUSE, WAREHOUSE_WEB, console,
                        history, kinds, listed)

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def request(base, path, method="GET", headers=None):
    """(status, headers, body) of one request."""
    address = urllib.parse.urlsplit(base)
    connection = http.client.HTTPConnection(address.hostname, address.port, timeout=30)
    connection.request(method, path, headers=headers or {})
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, dict(response.getheaders()), body.decode("utf-8", "replace")


def raw(base, data):
    """The status line the view answers raw request bytes with."""
    address = urllib.parse.urlsplit(base)
    with socket.create_connection((address.hostname, address.port), timeout=30) as sock:
        sock.sendall(data)
        answer = b""
        while b"\r\n" not in answer:
            part = sock.recv(4096)
            if not part:
                break
            answer += part
    return answer.split(b"\r\n")[0].decode()


def encoded(product):
    """An id in an address, as the view's links write it: a dot too is
    encoded, so that an id that ends in ".csv" is not a file's address."""
    return urllib.parse.quote(product, safe="").replace(".", "%2E")


# The command line: --help, --version, what it does not understand (status
# 2), and a store it cannot read (status 1), which it leaves as it was.
with tempfile.TemporaryDirectory() as scratch:
    missing = os.path.join(scratch, "missing.db")
    other = os.path.join(scratch, "other.db")
    with open(other, "w") as text:
        text.write("GUM:1;5;1.00;Not a store\n")
    for arguments, status, words in [
            (["--help"], 0, "Usage: warehouse-web --store FILE"),
            (["--version"], 0, "warehouse-web 1."),
            ([], 2, "option '--store' is needed"),
            (["--store"], 2, "option '--store' needs a file name or a URI"),
            (["--store", STORE, "--listen", "8080"], 2, "option '--listen' needs ADDRESS:PORT"),
            (["--store", STORE, "--listen", "[::1]:65536"], 2, "needs ADDRESS:PORT"),
            (["--bogus"], 2, "unknown option '--bogus'"),
            (["--store", missing], 1, "store " + missing + ": "),
            (["--store", other], 1, "store " + other + ": ")]:
        run = subprocess.run([WAREHOUSE_WEB] + arguments, capture_output=True, text=True,
                             timeout=30)
        check(run.returncode == status and words in run.stdout + run.stderr,
              f"{arguments}: status {run.returncode}, {run.stdout[:60]!r} {run.stderr!r}")
    # WAREHOUSE_STORE names the store when --store does not; --store wins.
    for arguments, named in [([], missing), (["--store", other], other)]:
        run = subprocess.run([WAREHOUSE_WEB] + arguments, capture_output=True, text=True,
                             timeout=30, env=dict(os.environ, WAREHOUSE_STORE=missing))
        check(run.returncode == 1 and "store " + named + ": " in run.stderr,
              f"WAREHOUSE_STORE, {arguments}: status {run.returncode}, {run.stderr!r}")
    check(not os.path.exists(missing), "a missing store made")
    with open(other) as text:
        check(text.read() == "GUM:1;5;1.00;Not a store\n", "a file that is not a store changed")

# The key: nothing without it, everything with it, in the query or in the
# cookie that the query sets.
for path in ["/", "/stock.csv", "/product/GUM:1", "/nothing-here"]:
    status, _, body = request(KEYED_BASE, path)
    check(status == 403 and "needs its key" in body, f"{path} without the key: {status}")
    status, _, _ = request(KEYED_BASE, path + "?key=" + "0" * len(KEY))
    check(status == 403, f"{path} with a wrong key: {status}")
status, headers, _ = request(KEYED_BASE, "/?key=" + KEY)
check(status == 200, f"/ with the key: {status}")
cookie = headers.get("Set-Cookie", "").split(";")[0]
port = urllib.parse.urlsplit(KEYED_BASE).port
check(cookie == f"warehouse_key_{port}=" + KEY, f"the key's cookie, named for the port: {cookie}")
check("HttpOnly" in headers["Set-Cookie"] and "SameSite=Strict" in headers["Set-Cookie"],
      f"the cookie's flags: {headers['Set-Cookie']}")
status, _, _ = request(KEYED_BASE, "/low", headers={"Cookie": "a=b; " + cookie})
check(status == 200, f"/low with the cookie: {status}")
status, _, _ = request(KEYED_BASE, "/", "POST")
check(status == 403, f"POST without the key: {status}")

# Reading only: GET and HEAD.
for method in ["POST", "PUT", "DELETE", "PATCH", "OPTIONS"]:
    status, headers, _ = request(PLAIN_URL, "/", method)
    check(status == 405 and headers.get("Allow") == "GET, HEAD", f"{method}: {status} {headers}")
for path in ["/", "/stock.csv"]:
    status, _, body = request(PLAIN_URL, path, "HEAD")
    check(status == 200 and body == "", f"HEAD {path}: {status}, {len(body)} bytes")

# Over-long requests are refused, and the view goes on serving.
for what, data in [
        ("a request line of 9000 bytes", b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\nHost: x\r\n\r\n"),
        ("a header of 9000 bytes", b"GET / HTTP/1.1\r\nHost: x\r\nX-Long: " + b"a" * 9000 + b"\r\n\r\n")]:
    line = raw(PLAIN_URL, data)
    check(line.split(" ")[1:2] in (["414"], ["400"], ["431"]), f"{what}: {line}")
check(request(PLAIN_URL, "/")[0] == 200, "the view after over-long requests")

# Addresses that name nothing, and parameters that cannot be read.
for path, expected in [("/nothing-here", 404), ("/product/NOPE:1", 404),
                       ("/product/NOPE:1.csv", 404), ("/day/2026-02-30", 404),
                       ("/day/yesterday", 404), ("/product/%zz", 400),
                       ("/low?below=ten", 400), ("/low?below=0", 400),
                       ("/?sort=colour", 400), ("/?sort=amount&after=GUM:1", 400),
                       ("/product/DOT.csv", 404), ("/reorder?days=0", 400),
                       ("/reorder?days=3651", 400), ("/reorder?below=0", 400),
                       ("/reorder.csv?days=x", 400), ("/reorder?page=0", 400),
                       ("/day/2026-12-09?page=0", 400), ("/expiring?days=x", 400),
                       ("/expiring?days=3651", 400), ("/expiring.csv?days=-1", 400),
                       ("/expiring?page=0", 400), ("/counts?page=x", 400),
                       ("/expiring?page=92233720368547759", 400),
                       ("/expiring?page=92233720368547758", 200),
                       ("/days?from=2026-12-09&to=2026-12-08", 400),
                       ("/days?from=2025-12-08&to=2026-12-09", 400),
                       ("/days?from=9999-12-01&to=9999-12-31", 200),
                       ("/days?from=0999-12-01&to=1000-01-31", 200),
                       ("/days?to=1000-01-03", 200),
                       ("/days?from=0998-12-01&to=1000-01-31", 400),
                       ("/days.csv?from=2026-02-30&to=2026-03-01", 400)]:
    status, _, body = request(PLAIN_URL, path)
    check(status == expected and "<h1>" in body, f"{path}: {status}, not {expected}")

# A page past the last product leads back to the first.
status, _, body = request(PLAIN_URL, "/?after=" + encoded("\xff"))
check(status == 200 and 'id="first" href="/"' in body and "empty" in body, "a page past the end")
# A page of what to order past its end says so, as the lots' pages do, and
# leads back.
status, _, body = request(PLAIN_URL, "/reorder?page=1000")
check(status == 200 and "Nothing needs ordering on this page." in body and
      'id="previous"' in body, f"/reorder past its end: {status} {body[body.find('<p'):][:200]!r}")

# Ids with bytes that an address must encode: the product's page and file.
for product in ["SLASH/1", "Q?x#y", "PCT%41", "DOT.csv", "PLUS+1", "ÄKÄ:1"]:
    path = "/product/" + encoded(product)
    status, _, body = request(PLAIN_URL, path)
    shown = product.replace("&", "&amp;")
    check(status == 200 and f'<h1 id="id">{shown}</h1>' in body, f"{path}: {status}")
    status, _, body = request(PLAIN_URL, path + ".csv")
    check(status == 200 and body.count("\r\n") == 2, f"{path}.csv: {status} {body!r}")

# Text from the store is text, in the HTML and in the SVG.
status, _, body = request(PLAIN_URL, "/product/XSS:1")
check("<script>" not in body and body.count("&lt;script&gt;alert(1)&lt;/script&gt;") == 4,
      "the name <script> in the product's page and its chart")
status, _, body = request(PLAIN_URL, "/?q=" + encoded("<script>"))
check("<script>" not in body and "&lt;script&gt;" in body, "the name <script> in the search")

# A text a spreadsheet would run, quotes and commas, in the CSV file; every
# text cell quoted, so that a shelf such as 1.11 stays text.
_, headers, body = request(PLAIN_URL, "/stock.csv")
check(headers.get("Content-Type", "").startswith("text/csv"), f"stock.csv's type: {headers}")
check('\r\n"FORMULA:1",12,"2.22","\'=SUM(A1:A9)"\r\n' in body, "a formula's cell")
check('\r\n"CSV:1",3,"1.11","Dumle ""toffee"", 2"\r\n' in body, "a quoted cell")

# Every CSV file: a byte-order mark, so that a spreadsheet reads it as
# UTF-8, and a name with the date it was made (or the day it tells of).
today = time.strftime("%Y-%m-%d")
for path, name in [("/stock.csv", f"stock-{today}.csv"), ("/low.csv", f"low-{today}.csv"),
                   ("/soldout.csv", f"soldout-{today}.csv"),
                   ("/reorder.csv", f"reorder-{today}.csv"),
                   ("/expiring.csv?days=30", f"expiring-{today}.csv"),
                   ("/counts.csv", f"counts-{today}.csv"),
                   (f"/day/{today}.csv", f"day-{today}.csv"),
                   (f"/day/{today}/clerks.csv", f"day-{today}-clerks.csv"),
                   (f"/days.csv?from={today}&to={today}", f"days-{today}-to-{today}.csv"),
                   ("/product/GUM:1.csv", f"product-GUM:1-{today}.csv")]:
    status, headers, body = request(PLAIN_URL, path)
    check(status == 200 and body.startswith("\ufeff") and "\ufeff\ufeff" not in body,
          f"{path}: {status}, starts {body[:12]!r}")
    check(headers.get("Content-Disposition") == f'attachment; filename="{name}"',
          f"{path}: {headers.get('Content-Disposition')}")

# A byte that is not UTF-8 shows as \xFE.
subprocess.run([WAREHOUSE, "--store", STORE], input=b"A BAD:1 1.00 5 Bad\xfe name\nQ\n",
               capture_output=True, check=True, timeout=60)
status, _, body = request(PLAIN_URL, "/product/BAD:1")
check(status == 200 and "Bad\\xFE name" in body, "a name with a byte that is not UTF-8")

# Always current: what a clerk commits is there at the next request, under
# the name the clerk gave, beside the login.
console(["A FRESH:1 1.00 5 Fresh"], clerk="maija")
check(request(PLAIN_URL, "/product/FRESH:1")[0] == 200, "a product just added")
console(["D FRESH:1 5"])
status, _, body = request(PLAIN_URL, "/low")
check("/product/FRESH:1" in body, "a product just sold out")
added, sold = history("FRESH:1")
_, _, body = request(PLAIN_URL, f"/day/{added[0][:10]}/clerks.csv")
check(added[1] == f"maija ({sold[1]})" and f'\r\n"{added[1]}",1,5,0,0.00\r\n' in body
      and f'\r\n"{sold[1]}",' in body, f"the clerks of the day: {body!r}")

# E empties the stock: every product it took is sold out.
count = kinds()
sold_out = request(PLAIN_URL, "/soldout.csv")[2].count("\r\n") - 1
console(["E"])
_, _, body = request(PLAIN_URL, "/soldout.csv")
emptied = [line for line in body.split("\r\n")[1:] if line]
check(len(emptied) == count + sold_out, f"sold out after E: {len(emptied)}, not {count} + {sold_out}")
check(sum(1 for line in emptied if line.endswith(',"E"')) == count, "the products E took")

# A request held open mid-file keeps its snapshot, holds up no clerk, and
# other requests are served beside it.
console(["G 200000"])
address = urllib.parse.urlsplit(PLAIN_URL)
# The file of G 200000 is larger than what the sockets' buffers hold
# (about 4 MiB at most here, with a small window on the client's side), so
# the view is still writing it when the clerk withdraws from the product
# that comes last.
held = socket.socket()
held.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
held.settimeout(30)
held.connect((address.hostname, address.port))
held.sendall(b"GET /stock.csv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
start = held.recv(4096)
check(start.startswith(b"HTTP/1.1 200"), f"the file held open: {start[:40]!r}")
last = listed()[-1]
began = time.monotonic()
out, err = console([f"D {last[0]} 1"], wait=2)
took = time.monotonic() - began
# A clerk who waited for a lock would be told so after a second, and fail
# after two.
check("Amount: " in out and "Waiting" not in err,
      f"a clerk beside an open file: {took:.2f} s, {err!r}")
status, _, body = request(PLAIN_URL, "/product/" + encoded(last[0]))
check(f'<span id="amount">{last[1] - 1}</span>' in body, "the page beside the open file")
held.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
parts = [start]
while not parts[-1].endswith(b"0\r\n\r\n"):
    part = held.recv(1 << 20)
    if not part:
        break
    parts.append(part)
held.close()
data = b"".join(parts)
check(len(data) > 5 << 20, f"the held file is {len(data)} bytes")
check(f'\r\n"{last[0]}",{last[1]},'.encode() in data, "the held file's snapshot")

print(f"web_http: {len(failures)} failed")
sys.exit(1 if failures else 0)
