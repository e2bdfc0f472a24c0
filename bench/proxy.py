#!/usr/bin/env python3
"""The benchmark's TCP proxy on 127.0.0.1: a link with latency, a link of a
given speed, or a download whose connection breaks (Python 3 standard library
only).

  proxy.py LISTEN_PORT UPSTREAM_PORT [--delay S] [--rate BYTES] [--watch PATH]
           [--cut-after BYTES] [--count-file FILE]

--delay S: every piece of data reaches the other side S seconds after the proxy
  read it, in order, however much is already on the way: latency, not a
  throughput cap. A new connection's data towards the server is held until 3 x S
  after the connection was accepted, the time the TCP handshake and the first
  request take on such a link.
--rate BYTES: the server's data reaches the clients at BYTES per second at most,
  all connections together, as over one link of that speed: every piece
  written to a client first waits until the link has carried the pieces
  before it (of any connection), then for its own time on the link. Time the
  link stands idle is not saved up.
--watch PATH: the answers to requests for PATH are counted: their body bytes
  written to the client and their number.
--cut-after BYTES: the first connection that carries an answer to PATH is closed
  once BYTES of that answer's body were written to the client; later
  connections are left alone.
--count-file FILE: on SIGTERM or SIGINT "BODY_BYTES ANSWERS" of PATH is written
  to FILE before the proxy ends.
"""

import argparse
import asyncio
import re
import signal
import socket
import sys

CHUNK = 256 * 1024
QUEUED = 256  # pieces on the way per direction (at most 64 MiB)
REQUEST = re.compile(rb"(?:GET|HEAD) (\S+) HTTP/1\.[01]\r\n")


class Link:
    """A link of `rate` bytes per second shared by every connection."""

    def __init__(self, rate):
        self.rate = rate
        self.free = 0.0  # when the link has carried what it was given

    async def carry(self, size):
        """Waits until size bytes have crossed the link after everything before them."""
        loop = asyncio.get_running_loop()
        now = loop.time()
        self.free = max(now, self.free) + size / self.rate
        await asyncio.sleep(self.free - now)


class Watch:
    """What the proxy counts of the answers to one path, and whether it cut one yet."""

    def __init__(self, path, cut_after):
        self.path = path.encode() if path else None
        self.cut_after = cut_after
        self.body = 0
        self.answers = 0


async def pipe(reader, writer, delay, not_before, look, delivered=None, link=None):
    """Copies reader to writer, each piece `delay` seconds after it was read, in order,
    and, with a link, once that link carried it.

    look(data) returns (data, body bytes counted, cut) for each piece read;
    delivered(counted) is called once that piece was written.
    Returns "eof" when reader ended (the end is passed on), "cut" once a piece
    marked cut was written; raises ConnectionError when either side breaks."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(QUEUED)

    async def read():
        while True:
            try:
                data = await reader.read(CHUNK)
            except OSError:
                data = None
            if not data:
                await queue.put((loop.time() + delay, data, 0, False))
                return
            data, counted, cut = look(data)
            await queue.put((max(loop.time() + delay, not_before), data, counted, cut))
            if cut:
                return

    reading = asyncio.create_task(read())
    try:
        while True:
            at, data, counted, cut = await queue.get()
            if at > loop.time():
                await asyncio.sleep(at - loop.time())
            if data is None:
                raise ConnectionError("connection broken")
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return "eof"
            if link:
                await link.carry(len(data))
            writer.write(data)
            await writer.drain()
            if delivered:
                delivered(counted)
            if cut:
                return "cut"
    finally:
        reading.cancel()


async def handle(client_reader, client_writer, args, watch, link):
    """Carries one client connection to the upstream port until both ends finished or one breaks."""
    loop = asyncio.get_running_loop()
    accepted = loop.time()
    try:
        upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", args.upstream)
    except OSError:
        client_writer.close()
        return
    writers = (client_writer, upstream_writer)
    for writer in writers:
        writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    state = {"watching": False, "head": None, "body": 0, "tail": b""}

    def requests(data):
        """Notes whether the last request read on this connection asks for the watched path."""
        text = state["tail"] + data
        last = None
        for last in REQUEST.finditer(text):
            pass
        if last is not None:
            state.update(watching=last.group(1) == watch.path, head=bytearray(), body=0)
        state["tail"] = text[max(last.end() if last else 0, len(text) - 512):]
        return data, 0, False

    def answers(data):
        """Counts the body bytes of an answer to the watched path; cuts the first one when asked."""
        if not state["watching"]:
            return data, 0, False
        body = len(data)
        if state["head"] is not None:
            state["head"] += data
            end = state["head"].find(b"\r\n\r\n")
            if end < 0:
                return data, 0, False
            body = len(state["head"]) - end - 4
            state["head"] = None
            watch.answers += 1
        cut = False
        if watch.cut_after is not None and state["body"] + body >= watch.cut_after:
            keep = watch.cut_after - state["body"]
            data = data[:len(data) - body + keep]
            body, cut = keep, True
            watch.cut_after = None  # only the first connection is cut
        state["body"] += body
        return data, body, cut

    def delivered(counted):
        watch.body += counted

    tasks = {
        asyncio.create_task(pipe(client_reader, upstream_writer, args.delay,
                                 accepted + 3 * args.delay, requests)),
        asyncio.create_task(pipe(upstream_reader, client_writer, args.delay, 0.0, answers,
                                 delivered, link)),
    }
    try:
        while tasks:
            done, tasks = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
            if any(task.exception() or task.result() == "cut" for task in done):
                break
    except asyncio.CancelledError:
        pass  # the proxy is ending
    finally:
        for task in tasks:
            task.cancel()
        for writer in writers:
            writer.close()


async def serve(args):
    """Listens on args.listen until SIGTERM or SIGINT, then writes the count file."""
    watch = Watch(args.watch, args.cut_after)
    link = Link(args.rate) if args.rate else None
    stopped = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stopped.set)
    server = await asyncio.start_server(lambda r, w: handle(r, w, args, watch, link),
                                        "127.0.0.1", args.listen, reuse_address=True)
    await stopped.wait()
    if args.count_file:
        with open(args.count_file, "w") as out:
            out.write(f"{watch.body} {watch.answers}\n")
    server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("listen", type=int)
    parser.add_argument("upstream", type=int)
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--rate", type=float)
    parser.add_argument("--watch")
    parser.add_argument("--cut-after", type=int)
    parser.add_argument("--count-file")
    args = parser.parse_args()
    if args.cut_after is not None and not args.watch:
        sys.exit("--cut-after needs --watch")
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
