#!/usr/bin/env python3
"""A clerk's run at a terminal on a PostgreSQL store goes on through what is
not the clerk's doing, and what it shows is what the store holds: a server
restarted while the run waits at its prompt; a server that goes while a
command is on its way to be stored, and an answer lost after the server
stored it; a server process that stops answering; and another program's
rows locked for update.

Usage: terminal_postgres.py PROGRAM
Each step waits for the output it expects, never for a fixed time."""

import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

PROGRAM = os.path.realpath(sys.argv[1])
HERE = os.path.dirname(os.path.realpath(__file__))
PATIENCE = 30.0  # what a step may wait for its output
failures = []


def fail(what):
    print(f"FAIL: {what}", flush=True)
    failures.append(what)


class Server:
    """A server of the test's own, through tests/postgres_server.sh."""

    def __init__(self, folder):
        self.folder = folder
        self.shell("start_postgres \"$postgres_folder\" -c fsync=off "
                   "-c listen_addresses=127.0.0.1 -c port=$PGPORT")

    def shell(self, script):
        subprocess.run(["bash", "-c", f"source '{HERE}/../../postgres_server.sh'; "
                        f"postgres_folder='{self.folder}'; {script}"],
                       check=True, stdout=subprocess.DEVNULL)

    def uri(self, database):
        return f"postgresql:///{database}?host={self.folder}&user=postgres"

    def sql(self, database, statement):
        return subprocess.run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                               "-d", self.uri(database), "-c", statement],
                              check=True, capture_output=True, text=True).stdout.strip()

    def stop(self, mode="fast"):
        self.shell(f"stop_postgres {mode}")

    def start_again(self):
        self.shell("start_postgres_again")


class Terminal:
    """The program on a pseudo-terminal of 80 by 24."""

    def __init__(self, arguments, environment=None):
        self.screen = ""
        self.consumed = 0
        self.child, self.master = pty.fork()
        if self.child == 0:
            os.environ.update({"TERM": "vt100", "LC_ALL": "C.UTF-8", "WAREHOUSE_HISTORY": ""})
            os.environ.update(environment or {})
            os.execv(PROGRAM, [PROGRAM] + arguments)

    def read_some(self, seconds):
        ready, _, _ = select.select([self.master], [], [], seconds)
        if not ready:
            return False
        try:
            data = os.read(self.master, 4096)
        except OSError:
            return False
        self.screen += data.decode("utf-8", "replace")
        return bool(data)

    def wait_for(self, text, patience=PATIENCE):
        deadline = time.monotonic() + patience
        while True:
            found = self.screen.find(text, self.consumed)
            if found >= 0:
                self.consumed = found + len(text)
                return True
            left = deadline - time.monotonic()
            if left <= 0 or not self.read_some(left):
                return False

    def ready(self):
        """The next prompt, and the line editor holding the terminal."""
        if not self.wait_for("> "):
            return False
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            if not termios.tcgetattr(self.master)[3] & termios.ICANON:
                return True
            self.read_some(0.01)
        return False

    def enter(self, line):
        if not self.ready():
            fail(f"no prompt for {line!r}: {self.screen[-300:]!r}")
        os.write(self.master, line.encode() + b"\r")

    def expect(self, text, what, patience=PATIENCE):
        if not self.wait_for(text, patience):
            fail(f"{what}: {text!r} was not shown; the screen ends {self.screen[-400:]!r}")

    def close(self):
        try:
            os.kill(self.child, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.child, 0)
        os.close(self.master)


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    scratch = tempfile.mkdtemp()
    os.chmod(scratch, 0o755)
    os.environ["PGPORT"] = str(free_port())
    server = Server(os.path.join(scratch, "server"))
    proxy = None
    try:
        server.sql("postgres", "CREATE DATABASE shop")
        stock = lambda: server.sql("shop", "SELECT amount FROM stock WHERE id = 'Z'")
        subprocess.run([PROGRAM, "--store", server.uri("shop")], input=b"A Z s 100 n\n",
                       check=True, stdout=subprocess.DEVNULL)

        # The first line names the store and the server's login; bytes of
        # another program's row that a terminal would obey are shown as
        # \xNN instead.
        server.sql("shop", "INSERT INTO stock VALUES ('ESC', 5, "
                   "'s'::bytea || '\\x1b5d303b07'::bytea, 'n'::bytea || '\\xc29b0d'::bytea)")
        terminal = Terminal(["--store", server.uri("shop")])
        terminal.expect("Store: postgresql:///shop?host=", "the first line")
        terminal.expect(", as postgres.\r\n", "the first line's login")
        terminal.enter("F ESC")
        terminal.expect("\r\nn\\xC2\\x9B\\x0D 5 s\\x1B]0;\\x07\r\n", "control bytes shown")
        if "\x1b]0;" in terminal.screen or "\x07" in terminal.screen:
            fail(f"control bytes reached the terminal: {terminal.screen!r}")
        terminal.close()
        server.sql("shop", "DELETE FROM stock WHERE id = 'ESC'")

        # A server restarted while the run waits at its prompt: the next
        # command says the connection was lost and is not run; the run
        # connects again and goes on.
        terminal = Terminal(["--store", server.uri("shop")])
        terminal.enter("D Z 1")
        terminal.expect("Amount: 99 Shelf: s", "before the restart")
        server.stop()
        server.start_again()
        terminal.enter("D Z 1")
        terminal.expect("Not run: the connection to the store was lost.", "after the restart")
        terminal.enter("D Z 1")
        terminal.expect("Amount: 98 Shelf: s", "the command again")
        if stock() != "98":
            fail(f"after a restart the store holds {stock()}, not what was shown")
        terminal.close()

        # The server goes while a command is on its way to be stored: the
        # command is reported as not run, and the stock is as it was.
        terminal = Terminal(["--store", server.uri("shop")],
                            {"WAREHOUSE_TEST_PAUSE_BEFORE_COMMIT": "2"})
        terminal.enter("D Z 5")
        terminal.expect("(a pause before the commit)", "the pause before the commit")
        server.stop("immediate")
        server.start_again()
        terminal.expect("Not run: the connection to the store was lost before D Z 5 was stored.",
                        "a command cut off before its commit")
        terminal.enter("F Z")
        terminal.expect("n 98 s", "the table after a command not stored")
        if stock() != "98":
            fail(f"a command not stored left the store at {stock()}")
        terminal.close()

        # The server stores the command, and its answer is lost: once the
        # run is connected again, the server says it was stored, and its
        # output is shown.
        proxy = subprocess.Popen([sys.executable, f"{HERE}/../../exchange_proxy.py",
                                  os.environ["PGPORT"], "0", os.path.join(scratch, "counts")],
                                 stdout=subprocess.PIPE, text=True)
        through = f"postgresql://postgres@127.0.0.1:{proxy.stdout.readline().strip()}/shop"
        terminal = Terminal(["--store", through], {"WAREHOUSE_TEST_PAUSE_BEFORE_COMMIT": "1"})
        terminal.enter("D Z 8")
        terminal.expect("(a pause before the commit)", "the pause before the commit")
        proxy.send_signal(signal.SIGUSR1)
        terminal.expect("Amount: 90 Shelf: s", "a command stored whose answer was lost")
        if stock() != "90":
            fail(f"a command shown as stored left the store at {stock()}")
        terminal.close()

        # A server process that stops answering is given up on within the
        # wait limit and a few seconds; the run connects again and goes on.
        terminal = Terminal(["--store", server.uri("shop"), "--wait", "1"])
        terminal.enter("F Z")
        terminal.expect("n 90 s", "before the server process stops")
        backend = server.sql("postgres", "SELECT pid FROM pg_stat_activity "
                                         "WHERE application_name = 'warehouse'")
        os.kill(int(backend), signal.SIGSTOP)
        started = time.monotonic()
        terminal.enter("D Z 1")
        terminal.expect("Not run: the connection to the store was lost.",
                        "a server process that stopped")
        if time.monotonic() - started > 15:
            fail(f"a silent server was given up on after {time.monotonic() - started:.0f} s")
        os.kill(int(backend), signal.SIGCONT)
        terminal.enter("D Z 1")
        terminal.expect("Amount: 89 Shelf: s", "after a silent server")
        terminal.close()

        # Another program holds a row locked for update, then updates it:
        # the run waits for it, and goes on with what it committed.
        terminal = Terminal(["--store", server.uri("shop")])
        terminal.enter("F Z")
        terminal.expect("n 89 s", "before the row is locked")
        psql = subprocess.Popen(["psql", "-X", "-q", "-d", server.uri("shop")],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        psql.stdin.write("BEGIN;\nSELECT amount FROM stock WHERE id = 'Z' FOR UPDATE;\n")
        psql.stdin.flush()
        locked = "SELECT count(*) FROM pg_locks WHERE mode = 'RowShareLock' AND granted"
        deadline = time.monotonic() + PATIENCE
        while server.sql("shop", locked) == "0" and time.monotonic() < deadline:
            time.sleep(0.01)
        terminal.enter("D Z 1")
        terminal.expect("Waiting for the store (1 s)", "the wait for the row's lock")
        psql.stdin.write("UPDATE stock SET amount = amount + 10 WHERE id = 'Z';\nCOMMIT;\n")
        psql.stdin.close()
        psql.wait()
        terminal.expect("Amount: 98 Shelf: s", "after another program's update")
        terminal.enter("Q")
        terminal.close()
    finally:
        if proxy is not None:
            proxy.kill()
            proxy.wait()
        server.stop("immediate")
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
