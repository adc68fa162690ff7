#!/usr/bin/env python3
"""A link like a player's, on loopback: a TCP proxy from 127.0.0.1:LISTEN to
127.0.0.1:TARGET that delays every byte by a fixed one-way time in each
direction and caps each direction's bandwidth. The cap belongs to the link,
not to a connection: all connections through the proxy share it, as they
share a player's line.

Each direction takes bytes from its sender as the link can carry them (one
clock per direction: a chunk occupies the link for its size / bandwidth,
after the chunks before it), and hands each chunk to the receiver one delay
after it left the link. What one connection holds in flight and unread is
bounded by --window (a receive window, as TCP's would be): when the
receiver stops reading, the proxy stops taking bytes from the sender, so a
request left unread costs the link nothing beyond its window, as on a real
line. TCP's own connection set-up is not delayed.

usage: wan_proxy.py --listen PORT --target PORT --delay-ms D [--mbit R] [--window-mib W]
Prints "ready" once it listens; runs until killed."""

import argparse
import asyncio
import collections

CHUNK = 64 * 1024
QUEUE_TIME = 0.02  # seconds of the link's time queued ahead of it


class Link:
    """One direction of the line: when it is free again, and how long a
    byte takes to cross it."""

    def __init__(self, bytes_per_second, delay):
        self.bytes_per_second = bytes_per_second
        self.delay = delay
        self.free_at = 0.0

    def send(self, now, size):
        """Puts size bytes on the link; returns when they arrive."""
        if self.bytes_per_second:
            start = max(now, self.free_at)
            self.free_at = start + size / self.bytes_per_second
            return self.free_at + self.delay
        return now + self.delay


async def pump(reader, writer, link, window):
    """Carries one direction of one connection over the link."""
    loop = asyncio.get_running_loop()
    queue = collections.deque()
    queued = 0
    arrived = asyncio.Event()
    room = asyncio.Event()
    room.set()
    done = False

    async def deliver():
        nonlocal queued
        while True:
            while not queue:
                if done:
                    return
                arrived.clear()
                await arrived.wait()
            due, data = queue[0]
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            queue.popleft()
            writer.write(data)
            await writer.drain()
            queued -= len(data)
            room.set()

    delivering = asyncio.ensure_future(deliver())
    try:
        while True:
            while queued >= window:
                room.clear()
                await room.wait()
            # Take no more than the link could carry in the next QUEUE_TIME
            # (a router's queue): the sender waits for the line, not in our
            # queue, and a late wake-up of this loop never idles the line.
            if link.bytes_per_second:
                ahead = link.free_at - loop.time()
                if ahead > QUEUE_TIME:
                    await asyncio.sleep(ahead - QUEUE_TIME)
            data = await reader.read(CHUNK)
            if not data:
                break
            queue.append((link.send(loop.time(), len(data)), data))
            queued += len(data)
            arrived.set()
    except (ConnectionError, OSError):
        pass
    finally:
        done = True
        arrived.set()
    try:
        await delivering
        writer.write_eof()
    except (ConnectionError, OSError, RuntimeError):
        writer.close()


async def serve(args):
    rate = args.mbit * 1e6 / 8 if args.mbit else None
    delay = args.delay_ms / 1000.0
    upstream_link = Link(rate, delay)
    downstream_link = Link(rate, delay)
    window = int(args.window_mib * 1024 * 1024)

    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, upstream_link, window),
                             pump(server_reader, client_writer, downstream_link, window))
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(connection, "127.0.0.1", args.listen)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", type=int, required=True)
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--mbit", type=float, default=0.0, help="0: no cap")
    parser.add_argument("--window-mib", type=float, default=4.0)
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
