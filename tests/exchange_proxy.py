#!/usr/bin/env python3
"""A TCP proxy between clients and a server that holds each direction's bytes
back for a fixed time, as a network with that one-way delay would, and counts
the exchanges: each time a client sends after the server last answered (or
for the first time) is one round trip.

Usage: exchange_proxy.py SERVER_PORT DELAY_MS COUNT_FILE
Listens on a free port of 127.0.0.1, prints it on a line of its own, and
forwards each connection to 127.0.0.1:SERVER_PORT. After every new exchange
it writes the count so far to COUNT_FILE."""

import asyncio
import os
import sys


class Counter:
    """The round trips of all connections, written where a test reads them."""

    def __init__(self, path):
        self.path = path
        self.count = 0
        self.write()

    def add(self):
        self.count += 1
        self.write()

    def write(self):
        # Renamed into place, so that a reader never sees half a number.
        with open(self.path + ".new", "w") as out:
            out.write(f"{self.count}\n")
        os.replace(self.path + ".new", self.path)


async def forward(reader, writer, delay, on_send):
    """Copies bytes from reader to writer, each chunk delivered delay seconds
    after it came, in order, without holding the next chunk back."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, chunk = await queue.get()
            if chunk is None:
                break
            await asyncio.sleep(max(0.0, due - loop.time()))
            writer.write(chunk)
            await writer.drain()
        writer.close()

    delivering = asyncio.create_task(deliver())
    try:
        while chunk := await reader.read(65536):
            on_send()
            queue.put_nowait((loop.time() + delay, chunk))
    except ConnectionError:
        pass
    queue.put_nowait((0.0, None))
    await delivering


async def main():
    server_port, delay_ms, count_file = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
    delay = delay_ms / 1000.0
    counter = Counter(count_file)

    async def serve(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", server_port)
        # The side that sent last: a client that sends after the server has
        # answered starts a new exchange.
        last = {"side": "server"}

        def client_sends():
            if last["side"] == "server":
                counter.add()
            last["side"] = "client"

        def server_sends():
            last["side"] = "server"

        await asyncio.gather(
            forward(client_reader, server_writer, delay, client_sends),
            forward(server_reader, client_writer, delay, server_sends),
            return_exceptions=True)

    listening = await asyncio.start_server(serve, "127.0.0.1", 0)
    print(listening.sockets[0].getsockname()[1], flush=True)
    async with listening:
        await listening.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
