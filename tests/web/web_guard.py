"""The owner's view against a hostile network and a hostile site (run by
web_run.sh with the name of one case): a flood of header lines, a request
for a hundred ranges, a hundred clients that trickle while the owner is
served, a name that is not the view's own, the key kept in a file, HTTPS,
small faults of the pages, reads that hold the store back from nothing,
and a store file moved aside and replaced under the view. Each attack is made on a view of its own, whose peak memory
(VmHWM) it prints."""

import csv
import http.client
import io
import os
import socket
import sqlite3
import ssl
import stat
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from web_common import (KEY, KEYED_BASE, LIST_LINE, PLAIN_URL, STORE, WAREHOUSE,
                        WAREHOUSE_WEB, console)

KIND = os.environ["WAREHOUSE_KIND"]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


class View:
    """A view of the store of its own, stopped on the way out: it must end
    with status 0 and nothing on standard error but its log of the store
    that could not be read."""

    def __init__(self, *arguments, store=STORE):
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen([WAREHOUSE_WEB, "--store", store, *arguments],
                                        stdout=subprocess.PIPE, stderr=self.err, text=True)
        self.out = self.process.stdout.readline()
        if not self.out.startswith("Serving "):
            self.process.kill()
            self.err.seek(0)
            raise SystemExit(f"the view did not start: {self.err.read()!r}")
        self.url = self.out.split(" at ")[1].strip()
        address = urllib.parse.urlsplit(self.url)
        self.port = address.port
        self.key = urllib.parse.parse_qs(address.query).get("key", [""])[0]

    def peak_kb(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.terminate()
        status = self.process.wait(timeout=30)
        self.err.seek(0)
        err = b"".join(line for line in self.err.read().splitlines(True)
                       if not line.startswith(b"warehouse-web: store "))
        check(status == 0 and not err, f"the view ended with {status}: {err[:300]!r}")


def request(port, path, headers=None, method="GET", host="127.0.0.1", timeout=10,
            context=None, source=None):
    """(status, headers, body) of one request, the headers' names in lower
    case."""
    if context is not None:
        connection = http.client.HTTPSConnection(host, port, timeout=timeout, context=context)
    else:
        connection = http.client.HTTPConnection(host, port, timeout=timeout,
                                                source_address=source)
    connection.request(method, path, headers=headers or {})
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return (response.status, {k.lower(): v for k, v in response.getheaders()},
            body.decode("utf-8", "replace"))


def raw(port, data, timeout=10):
    """Everything the view answers raw request bytes with, up to the end of
    the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(data)
        answer = b""
        while True:
            part = sock.recv(1 << 20)
            if not part:
                return answer
            answer += part


def header_flood():
    """Header lines without end are cut off at a small cap, before any key
    is asked for; the view's memory stays small."""
    with View("--listen", "0.0.0.0:0", "--key-file", KEY_FILE) as view:
        sock = socket.create_connection(("127.0.0.1", view.port), timeout=5)
        sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        line = b"X-Flood: " + b"a" * 1000 + b"\r\n"
        sent = 0
        began = time.monotonic()
        try:  # 256 MiB at most, for 5 s at most
            while sent < 256 << 20 and time.monotonic() - began < 5:
                sock.sendall(line * 64)
                sent += len(line) * 64
        except OSError:
            pass
        try:
            answer = sock.recv(4096)
        except OSError:
            answer = b""
        sock.close()
        check(sent < 16 << 20, f"the view read {sent} bytes of header lines")
        check(answer == b"" or answer.split(b" ")[1] in (b"400", b"431"),
              f"the flood's answer: {answer[:60]!r}")
        # Many short lines within the size are refused all the same.
        lines = b"".join(b"X-%d: b\r\n" % i for i in range(100))
        answer = raw(view.port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + lines + b"\r\n")
        check(answer.split(b" ")[1:2] == [b"431"] and b"frame-ancestors" in answer,
              f"a hundred header lines: {answer[:60]!r}")
        status, _, _ = request(view.port, "/?key=" + view.key)
        check(status == 200, f"the owner after the flood: {status}")
        peak = view.peak_kb()
        print(f"header flood: {sent} bytes sent, VmHWM {peak} kB")
        check(peak < 64 << 10, f"the view's peak under the flood: {peak} kB")


def hundred_ranges():
    """A request for a hundred ranges of a large file gets the file once
    (200), never a reply a hundred times its size; an HTTP/1.0 client gets
    the file whole without chunks."""
    console(["G 100000"])
    with View("--listen", "127.0.0.1:0") as view:
        status, headers, whole = request(view.port, "/stock.csv", timeout=60)
        ranges = "bytes=" + ",".join(["0-"] * 100)
        status, headers, body = request(view.port, "/stock.csv", {"Range": ranges}, timeout=60)
        check(status == 200 and "content-range" not in headers and len(body) == len(whole),
              f"a hundred ranges: {status}, {len(body)} bytes of {len(whole)}")
        status, headers, body = request(view.port, "/stock.csv", {"Range": "bytes=0-9"}, timeout=60)
        check(status != 206 or "content-range" in headers, f"one range: {status} {headers}")
        answer = raw(view.port, b"GET /stock.csv HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", timeout=60)
        head, _, file = answer.partition(b"\r\n\r\n")
        check(b"chunked" not in head.lower() and file.decode() == whole,
              f"HTTP/1.0: {head[:200]!r}, {len(file)} bytes")
        peak = view.peak_kb()
        print(f"a hundred ranges of a {len(whole)}-byte file: VmHWM {peak} kB")
        # Far below a hundred copies of the file, with room for a sanitizer's
        # build, which keeps what is freed for a while.
        check(peak < 256 << 10 and peak < 50 * len(whole) // 1024, f"the view's peak: {peak} kB")


def trickling():
    """A hundred clients from ten addresses trickle their requests: the
    owner is served within a second all the same; one address holds no
    more than a few connections; each trickler is cut off by the request
    deadline."""
    with View("--listen", "0.0.0.0:0", "--key-file", KEY_FILE) as view:
        tricklers = []
        for i in range(100):
            sock = socket.socket()
            sock.settimeout(10)
            sock.bind((f"127.0.0.{2 + i % 10}", 0))
            sock.connect(("127.0.0.1", view.port))
            sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            tricklers.append(sock)
        stop = threading.Event()

        def trickle():
            while not stop.wait(0.3):
                for sock in tricklers:
                    try:
                        sock.send(b"X")
                    except OSError:
                        pass

        thread = threading.Thread(target=trickle)
        thread.start()
        try:
            time.sleep(0.5)
            began = time.monotonic()
            try:
                status, _, _ = request(view.port, "/?key=" + view.key, timeout=5)
            except OSError as error:
                status = error
            owner = time.monotonic() - began
            check(status == 200 and owner < 1, f"the owner among tricklers: {status} in {owner:.2f} s")
            # Cut off: those past the per-address cap at once, the rest by
            # the deadline.
            began = time.monotonic()
            ended = set()
            while len(ended) < len(tricklers) and time.monotonic() - began < 8:
                for number, sock in enumerate(tricklers):
                    sock.settimeout(0.01)
                    try:
                        if number not in ended and sock.recv(4096) == b"":
                            ended.add(number)
                    except socket.timeout:
                        pass
                    except OSError:
                        ended.add(number)
            took = time.monotonic() - began
            check(len(ended) == len(tricklers) and took < 6,
                  f"tricklers cut off: {len(ended)} of {len(tricklers)} in {took:.1f} s")
        finally:
            stop.set()
            thread.join()
            for sock in tricklers:
                sock.close()
        peak = view.peak_kb()
        print(f"100 trickling clients: the owner served in {owner:.3f} s, "
              f"all cut off in {took:.1f} s, VmHWM {peak} kB")
        check(peak < 64 << 10, f"the view's peak among tricklers: {peak} kB")
        # One address may not hold the view's connections.
        held = []
        for _ in range(40):
            sock = socket.socket()
            sock.settimeout(2)
            sock.bind(("127.0.0.200", 0))
            sock.connect(("127.0.0.1", view.port))
            held.append(sock)
        time.sleep(0.3)
        open_ones = 0
        for sock in held:
            sock.settimeout(0.05)
            try:
                open_ones += sock.recv(1) != b""
            except socket.timeout:
                open_ones += 1
            except OSError:
                pass
            sock.close()
        check(open_ones <= 16, f"one address holds {open_ones} connections")


def safe(head):
    """Whether an answer's head carries the headers every answer must."""
    head = head.lower()
    return all(header in head for header in (
        b"content-security-policy: default-src 'none'", b"frame-ancestors 'none'",
        b"x-content-type-options: nosniff", b"referrer-policy: no-referrer"))


def host_names():
    """On the loopback the view answers to its own names only (421
    otherwise), and to a request with one Host that can be read one way
    only (400 otherwise); every answer, an error too, carries the safety
    headers."""
    port = urllib.parse.urlsplit(PLAIN_URL).port
    for host, expected in [("evil.example", 421), (f"evil.example:{port}", 421),
                           (f"localhost:{port + 1 if port < 65535 else 1}", 421),
                           ("localhost:", 421),
                           ("localhost", 200), (f"localhost:{port}", 200),
                           (f"127.0.0.1:{port}", 200), ("LOCALHOST", 200)]:
        status, headers, _ = request(port, "/", {"Host": host})
        check(status == expected, f"Host: {host}: {status}, not {expected}")
    for head, expected in [(b"", 400), (b"Host : 127.0.0.1\r\n", 400),
                           (b"Host: 127.0.0.1\r\nHost: evil.example\r\n", 400),
                           (b"Host: evil.example\r\nHost: 127.0.0.1\r\n", 400),
                           (b"Host:\t127.0.0.1\r\n", 200)]:
        for version in (b"1.0", b"1.1"):
            answer = raw(port, b"GET / HTTP/" + version + b"\r\n" + head + b"\r\n")
            check(answer.split(b" ")[1:2] == [b"%d" % expected] and safe(answer),
                  f"HTTP/{version.decode()} with {head!r}: {answer[:40]!r}")
    keyed = urllib.parse.urlsplit(KEYED_BASE).port
    status, _, _ = request(keyed, "/?key=" + KEY, {"Host": "evil.example"})
    check(status == 200, f"the keyed view, which the key guards, by another name: {status}")
    for where, path, method, headers, expected in [
            (port, "/", "GET", {"Host": "evil.example"}, 421),
            (port, "/nothing", "GET", {}, 404), (port, "/", "POST", {}, 405),
            (port, "/low?below=ten", "GET", {}, 400), (keyed, "/", "GET", {}, 403),
            (port, "/", "GET", {}, 200), (port, "/stock.csv", "GET", {}, 200)]:
        status, got, _ = request(where, path, headers, method)
        check(status == expected and "frame-ancestors 'none'" in got.get(
            "content-security-policy", "") and got.get("x-content-type-options") == "nosniff"
              and got.get("referrer-policy") == "no-referrer",
              f"safety headers on {method} {path}: {status} {got}")


def library_answers():
    """What the HTTP library would answer by itself, a request line or a
    header too long or a request it cannot read, is answered with the
    safety headers as every page is; the 8 KiB cap on the request's
    target counts its query."""
    port = urllib.parse.urlsplit(PLAIN_URL).port
    host = b"Host: 127.0.0.1\r\n"
    for name, data, expected in [
            ("a path of 60000", b"GET /" + b"a" * 60000 + b" HTTP/1.1\r\n" + host, 414),
            ("a query of 9000", b"GET /?q=" + b"a" * 9000 + b" HTTP/1.1\r\n" + host, 414),
            ("a query of 8000", b"GET /?q=" + b"a" * 8000 + b" HTTP/1.1\r\n" + host, 200),
            ("a query of 50000", b"GET /?q=" + b"a" * 50000 + b" HTTP/1.1\r\n" + host, 414),
            ("a header of 40000", b"GET / HTTP/1.1\r\n" + host + b"X-A: " + b"a" * 40000
             + b"\r\n", 431),
            ("no request line", b"GARBAGE\r\n", 400),
            ("a line with no colon", b"GET / HTTP/1.1\r\n" + host + b"Nonsense\r\n", 400),
            ("a folded line", b"GET / HTTP/1.1\r\n" + host + b"X-A: a\r\n b\r\n", 400),
            ("HTTP/2.0", b"GET / HTTP/2.0\r\n" + host, 505)]:
        answer = raw(port, data + b"\r\n")
        head = answer.partition(b"\r\n\r\n")[0]
        check(answer.split(b" ")[1:2] == [b"%d" % expected] and safe(head),
              f"{name}: {head[:300]!r}")


def idle_sockets():
    """Connections opened and left silent, more than one address may hold,
    keep no browser out: a request after them is answered at once, the
    first time. It prints how long a client that asks again until it is
    answered (5 s at most) waits."""
    with View("--listen", "127.0.0.1:0") as view:
        idle = [socket.create_connection(("127.0.0.1", view.port), timeout=5)
                for _ in range(32)]
        time.sleep(0.2)
        began = time.monotonic()
        tries, status = 0, None
        while status != 200 and time.monotonic() - began < 5:
            tries += 1
            try:
                status, _, _ = request(view.port, "/", timeout=5)
            except OSError as error:
                status = error
                time.sleep(0.01)
        took = time.monotonic() - began
        for sock in idle:
            sock.close()
        print(f"32 idle connections: a request answered in {took:.3f} s, try {tries}")
        check(status == 200 and tries == 1 and took < 0.5,
              f"a request after 32 idle ones: {status} in {took:.2f} s, try {tries}")


def key_file():
    """The key is kept in a file of the owner's alone, the same at the next
    start; a file others may read is refused; the printed address is one
    another machine can open."""
    mode = stat.S_IMODE(os.stat(KEY_FILE).st_mode)
    with open(KEY_FILE) as text:
        kept = text.read().strip()
    check(mode == 0o600 and kept == KEY, f"the key file: mode {mode:o}, {kept!r}")
    with open(os.environ["VIEW_OUT"]) as out:
        printed = out.read()
    check("0.0.0.0" not in printed and "?key=" + KEY in printed, f"printed: {printed!r}")
    with View("--listen", "0.0.0.0:0", "--key-file", KEY_FILE) as view:
        check(view.key == KEY, "the key after a restart")
    with tempfile.TemporaryDirectory() as scratch:
        made = os.path.join(scratch, "state", "warehouse", "web-key")
        with View("--listen", "[::]:0", "--key-file", made) as view:
            check(stat.S_IMODE(os.stat(made).st_mode) == 0o600 and
                  stat.S_IMODE(os.stat(os.path.dirname(made)).st_mode) == 0o700 and
                  len(view.key) == 32 and view.key != KEY, "a new key file and its folder")
            check("[::]" not in view.out, f"printed for [::]: {view.out!r}")
        # Without --key-file: under $XDG_STATE_HOME.
        environment = dict(os.environ, XDG_STATE_HOME=os.path.join(scratch, "state"))
        run = subprocess.Popen([WAREHOUSE_WEB, "--store", STORE, "--listen", "0.0.0.0:0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=environment)
        line = run.stdout.readline()
        run.terminate()
        run.communicate(timeout=30)
        with open(made) as text:
            check("?key=" + text.read().strip() in line, f"the default key file: {line!r}")
        for mode in (0o640, 0o604):
            os.chmod(made, mode)
            run = subprocess.run([WAREHOUSE_WEB, "--store", STORE, "--listen", "0.0.0.0:0",
                                  "--key-file", made], capture_output=True, text=True,
                                 timeout=30)
            check(run.returncode == 1 and "others may read it" in run.stderr,
                  f"a key file of mode {mode:o}: {run.returncode} {run.stderr!r}")


def https():
    """HTTPS with a certificate and key the owner gives."""
    with tempfile.TemporaryDirectory() as scratch:
        cert, key = os.path.join(scratch, "cert.pem"), os.path.join(scratch, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                       capture_output=True, check=True, timeout=60)
        with View("--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key) as view:
            check(view.url.startswith("https://127.0.0.1:"), f"printed: {view.out!r}")
            context = ssl.create_default_context(cafile=cert)
            status, _, body = request(view.port, "/", context=context)
            check(status == 200 and "GUM:1" in body, f"GET / over HTTPS: {status}")
            status, _, body = request(view.port, "/stock.csv", context=context)
            check(status == 200 and '"GUM:1",' in body, f"a CSV over HTTPS: {status}")
            try:
                answer = raw(view.port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", timeout=5)
            except OSError:
                answer = b""
            check(b"GUM:1" not in answer, "plain HTTP to the HTTPS view")
        run = subprocess.run([WAREHOUSE_WEB, "--store", STORE, "--tls-cert", cert],
                             capture_output=True, text=True, timeout=30)
        check(run.returncode == 2 and "go together" in run.stderr, f"a cert alone: {run.stderr!r}")


def page_faults():
    """below= past 2^63, an id with a line feed, the last day, characters
    that hide or turn text around."""
    port = urllib.parse.urlsplit(PLAIN_URL).port
    _, _, everything = request(port, "/low?below=4294967296")
    status, _, huge = request(port, "/low?below=9223372036854775809")
    count = everything.count('href="/product/')
    check(status in (200, 400) and (status == 400 or huge.count('href="/product/') == count),
          f"below=2^63+1: {status}, {huge.count('href=/product/')} products of {count}")
    insert = "INSERT INTO stock (id, amount, shelf, name) VALUES " \
             "('LF' || char(10) || '1', 5, 'A1', 'Line feed')"
    if KIND == "postgres":  # the text columns hold bytes
        insert = "INSERT INTO stock (id, amount, shelf, name) VALUES (decode('4c460a31', " \
                 "'hex'), 5, convert_to('A1', 'UTF8'), convert_to('Line feed', 'UTF8'))"
        subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", STORE, "-c", insert],
                       check=True, capture_output=True, timeout=60)
    else:
        subprocess.run(["sqlite3", STORE, insert], check=True, capture_output=True, timeout=60)
    _, _, body = request(port, "/?q=Line")
    links = [part.split('"')[0] for part in body.split('href="/product/')[1:]]
    check(len(links) == 1, f"the id with a line feed listed: {links}")
    for link in links:
        status, _, page = request(port, "/product/" + link)
        check(status == 200 and "Line feed" in page, f"/product/{link}: {status}")
        status, _, file = request(port, "/product/" + link + ".csv")
        check(status == 200 and file.count("\r\n") == 2, f"/product/{link}.csv: {status}")
    status, _, body = request(port, "/day/9999-12-31")
    check(status == 200 and "10000" not in body and 'href="/day/9999-12-30"' in body,
          f"the last day's links: {status}")
    console(["A HIDE:1 1.00 5 Ab\u202ecd\u200bx\u0085y"])
    status, _, body = request(port, "/product/HIDE:1")
    check(status == 200 and "Ab\\u202Ecd\\u200Bx\\u0085y" in body and "\u202e" not in body,
          f"hidden characters shown: {status}")


def store_reads():
    """SQLite: a slow download holds back no checkpoint, the -wal file is cut
    back after one, a store file replaced or removed is noticed.
    PostgreSQL: a locked table answers 503 within a few seconds. The 503
    page says so plainly; why is in the view's log alone."""
    port = urllib.parse.urlsplit(PLAIN_URL).port

    def plainly_down(body, why):
        with open(os.environ["VIEW_LOG"]) as log:
            logged = log.read().splitlines()[-1:]
        check("cannot read the store now" in body and why in "".join(logged) and
              all(word not in body.lower() for word in (why, "select", "sql", STORE.lower())),
              f"the 503 page: {body[body.find('<h1>'):][:300]!r}, logged {logged!r}")
    if KIND == "postgres":
        locker = subprocess.Popen(["psql", "-X", "-q", "-d", STORE, "-c",
                                   "BEGIN; LOCK TABLE stock IN ACCESS EXCLUSIVE MODE; "
                                   "SELECT pg_sleep(4); COMMIT"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        began = time.monotonic()
        status, _, body = request(port, "/", timeout=15)
        took = time.monotonic() - began
        locker.wait(timeout=30)
        check(status == 503 and took < 5, f"a locked table: {status} in {took:.1f} s")
        plainly_down(body, "lock")
        check(request(port, "/")[0] == 200, "after the lock")
        return
    console(["G 100000"])
    held = socket.socket()
    held.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    held.settimeout(30)
    held.connect(("127.0.0.1", port))
    held.sendall(b"GET /stock.csv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    held.recv(100)
    for _ in range(3):
        console(["G 100000"])
    # No -wal at all when the last run closed the store after the view
    # closed its idle connection.
    wal = STORE + "-wal"
    size = os.path.getsize(wal) if os.path.exists(wal) else 0
    # The next clerk's command starts the -wal anew, and cuts it back.
    console(["A WAL:1 1.00 1 After"])
    after = os.path.getsize(wal) if os.path.exists(wal) else 0
    held.close()
    print(f"-wal beside a slow download: {size} bytes, {after} bytes after a command")
    check(size <= 8 << 20 and after <= 4 << 20,
          f"the -wal file beside a slow download: {size} bytes, then {after}")
    with tempfile.TemporaryDirectory() as scratch:
        other = os.path.join(scratch, "other.db")
        console(["A ONLY:1 1.00 5 Only in the new file"])
        subprocess.run(["sqlite3", STORE, f".backup {other}"], check=True, timeout=60)
        console(["D ONLY:1 5"])
        # Moved away as a careful owner moves a store, its -wal and -shm
        # with it.
        subprocess.run(["sqlite3", STORE, "PRAGMA wal_checkpoint(TRUNCATE)"], check=True,
                       capture_output=True, timeout=60)
        for end in ("", "-wal", "-shm"):
            if os.path.exists(STORE + end):
                os.rename(STORE + end, os.path.join(scratch, "old.db" + end))
        status, _, body = request(port, "/")
        check(status == 503, f"the store removed: {status}")
        plainly_down(body, "store.db")
        os.rename(other, STORE)
        status, _, body = request(port, "/product/ONLY:1")
        check(status == 200 and '<span id="amount">5</span>' in body,
              f"the store replaced: {status}")


def moved_aside():
    """SQLite: a store file moved aside, alone or with its -wal and -shm,
    and another store put at its name while a view keeps a connection to
    it: the view lets go of the old file without being asked, the new
    store takes up nothing of the old one's log, each keeps every command
    committed to it, and the view shows the new one."""
    def run(store, *commands):
        done = subprocess.run([WAREHOUSE, "--store", store], input="\n".join(
            commands + ("Q",)) + "\n", capture_output=True, text=True, timeout=60)
        check(done.returncode == 0 and not done.stderr,
              f"{commands[0]} on {os.path.basename(store)}: {done.stderr.strip()}")
        return {m[1]: int(m[2]) for m in map(LIST_LINE.match, done.stdout.splitlines())
                if m and not m[0].startswith("> ")}

    def holds(pid, moved):
        """Whether the process has a descriptor of the file moved."""
        kept = os.stat(moved)
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                found = os.stat(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if (found.st_dev, found.st_ino) == (kept.st_dev, kept.st_ino):
                return True
        return False

    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "shop.db")
        run(path, "A FIRST:1 1.00 1 First")
        with View("--listen", "127.0.0.1:0", store=path) as view:
            for turn, ends in enumerate([("",), ("", "-wal", "-shm")]):
                # The old store's last command, in its -wal while the view
                # holds the store open.
                run(path, f"A LAST:{turn} 1.00 3 The old store's last")
                status, _, body = request(view.port, "/stock.csv")
                check(status == 200 and f'"LAST:{turn}"' in body, f"turn {turn}: {status}")
                new = os.path.join(scratch, f"new{turn}.db")
                expected = run(new, f"A NEW:{turn} 1.00 5 Only in the new", "G 1000", "L")
                moved = os.path.join(scratch, f"old{turn}.db")
                for end in ends:
                    os.rename(path + end, moved + end)
                os.rename(new, path)
                deadline = time.monotonic() + 10
                while holds(view.process.pid, moved) and time.monotonic() < deadline:
                    time.sleep(0.05)
                check(not holds(view.process.pid, moved),
                      f"turn {turn}: the view still holds the store moved aside")
                expected.update({f"NEW:{turn}": 3, f"AFTER:{turn}": 7})
                got = run(path, f"A AFTER:{turn} 1.00 7 After the swap", f"D NEW:{turn} 2", "L")
                check(got == expected, f"turn {turn}: the new store holds "
                      f"{sorted(set(got.items()) ^ set(expected.items()))[:6]} wrong")
                status, _, body = request(view.port, "/stock.csv")
                shown = {row[0]: int(row[1]) for row in csv.reader(io.StringIO(
                    body.lstrip("\ufeff"))) if status == 200 and row[:1] != ["id"]}
                check(status == 200 and shown == expected,
                      f"turn {turn}: the view shows {status}, "
                      f"{sorted(set(shown.items()) ^ set(expected.items()))[:6]} wrong")
                kept = run(moved, "L")
                check(kept.get(f"LAST:{turn}") == 3 and f"NEW:{turn}" not in kept,
                      f"turn {turn}: the store moved aside holds {sorted(kept.items())[:6]}")
        # The view has closed its last connection: nothing of the store's
        # own log was checkpointed or removed.
        check(run(path, "L") == expected, "the new store after the view ended")
        with sqlite3.connect(path) as database:
            result = database.execute("PRAGMA integrity_check").fetchall()
        check(result == [("ok",)], f"the new store's integrity: {result[:3]}")


KEY_FILE = os.environ["KEY_FILE"]
CASES = {"header_flood": header_flood, "hundred_ranges": hundred_ranges,
         "trickling": trickling, "host_names": host_names, "key_file": key_file,
         "library_answers": library_answers, "idle_sockets": idle_sockets,
         "https": https, "page_faults": page_faults, "store_reads": store_reads,
         "moved_aside": moved_aside}
CASES[sys.argv[1]]()
print(f"web_guard {sys.argv[1]}: {len(failures)} failed")
sys.exit(1 if failures else 0)
