#!/usr/bin/env python3
"""A loopback TCP relay that adds a fixed delay in each direction and can cut connections.

    latency_relay.py --upstream PORT --port-file FILE [--delay-ms 25] [--cuts A,B,C] [--lifetime S]
                     [--log FILE] [--send-buffer BYTES]

Listens on 127.0.0.1 (port written to FILE) and forwards every connection to 127.0.0.1:PORT. Each
chunk is delivered delay-ms after it arrived, in both directions, so a round trip costs twice that.
Like a real link it holds only a little in flight (a bandwidth-delay product of LINK_BUFFER bytes per
direction); the rest waits in the sender's socket. --cuts lists offsets of the bytes delivered towards
the clients, counted over all connections: when the count reaches one, the connection carrying it is
reset at once in both directions. --log appends a line "UNIX-SECONDS BYTES" for every chunk delivered
towards the clients; --send-buffer sets the send buffer of the sockets towards the clients, so that the
relay's own buffer does not hold back and release their bytes in large steps. Ends by itself after
--lifetime seconds.
"""
import argparse
import asyncio
import os
import socket
import time

CHUNK = 32 << 10
LINK_BUFFER = 256 << 10  # in flight per direction: 256 KiB per 25 ms, about 80 Mbit/s


class Cuts:
    def __init__(self, offsets):
        self.left = sorted(offsets)
        self.delivered = 0
        self.done = 0

    def allow(self, n):
        """How many of the next n bytes may pass before a cut (n when none is due)."""
        if not self.left or self.delivered + n < self.left[0]:
            self.delivered += n
            return n
        allowed = self.left.pop(0) - self.delivered
        self.delivered += allowed
        self.done += 1
        return allowed


async def pipe(reader, writer, delay, cuts, both, log=None):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()
    room = asyncio.Semaphore(LINK_BUFFER // CHUNK)

    async def take_in():
        while True:
            await room.acquire()
            data = await reader.read(CHUNK)
            await queue.put((loop.time() + delay, data))
            if not data:
                return

    async def give_out():
        while True:
            due, data = await queue.get()
            room.release()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            if cuts is not None:
                allowed = cuts.allow(len(data))
                if allowed < len(data):
                    writer.write(data[:allowed])
                    for w in both:
                        w.transport.abort()
                    return
            writer.write(data)
            await writer.drain()
            if log is not None:
                log.write("%.6f %d\n" % (time.time(), len(data)))

    reading = asyncio.ensure_future(take_in())
    try:
        await give_out()
    except (ConnectionError, OSError):
        for w in both:
            w.transport.abort()
    finally:
        reading.cancel()


def small_receive_buffer(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def serve(args):
    cuts = Cuts(int(x) for x in args.cuts.split(",") if x) if args.cuts else None
    log = open(args.log, "a", buffering=1) if args.log else None
    delay = args.delay_ms / 1000.0

    async def on_client(c_reader, c_writer):
        try:
            u_reader, u_writer = await asyncio.open_connection("127.0.0.1", args.upstream)
        except OSError:
            c_writer.transport.abort()
            return
        small_receive_buffer(u_writer)
        small_receive_buffer(c_writer)
        if args.send_buffer:
            c_writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, args.send_buffer)
        both = (c_writer, u_writer)
        await asyncio.gather(pipe(c_reader, u_writer, delay, None, both),
                             pipe(u_reader, c_writer, delay, cuts, both, log), return_exceptions=True)
        for w in both:
            w.close()

    server = await asyncio.start_server(on_client, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, args.port_file)
    async with server:
        await asyncio.sleep(args.lifetime)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--upstream", type=int, required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--delay-ms", type=float, default=25)
    ap.add_argument("--cuts", default="")
    ap.add_argument("--lifetime", type=float, default=1800)
    ap.add_argument("--log", default="")
    ap.add_argument("--send-buffer", type=int, default=0)
    asyncio.run(serve(ap.parse_args()))


if __name__ == "__main__":
    main()
