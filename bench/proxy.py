#!/usr/bin/env python3
"""A TCP relay that puts a network's round trip between clients and a server
on this machine. It listens on 127.0.0.1 and forwards every connection to the
target; a chunk read from either side at time t is written to the other side
at t + rtt/2, in order, and a close follows the data the same way.

A new connection's first bytes to the server wait one round trip more: the
client's connect returns at once on loopback, where a real network spends a
round trip on the TCP handshake. With --mbit, each direction is a link of
that rate shared by all connections: chunks queue behind each other for
their transmission time before the delay. TLS and TCP slow start are not
modelled.

Usage: bench/proxy.py --target HOST:PORT [--rtt-ms MS] [--mbit M] [--port N]
Prints "127.0.0.1:PORT" on standard output once it listens; runs until
terminated. Started from Python with `with proxy.Relay(port, rtt_ms):`.
"""

import argparse
import asyncio
import collections
import os
import selectors
import subprocess
import sys

HOST = "127.0.0.1"
CHUNK = 65536
WINDOW = 4 << 20   # bytes a direction of one connection holds before it stops reading


class Early:
    """How much before a chunk's time its timer is set: timers fire late by
    the machine's wake-up latency (0.1-0.5 ms), which each firing measures.
    The loop waits in select(), whose timeout has microseconds (epoll's has
    whole milliseconds); the relay holds far fewer than its 1,024 sockets."""
    value = 0.0002

    @classmethod
    def learn(cls, late):
        cls.value = min(0.002, max(0.0, cls.value + late / 8))


class Link:
    """One direction of the simulated network, shared by every connection."""

    def __init__(self, delay, rate):
        self.delay = delay   # seconds, one way
        self.rate = rate     # bytes per second; None for no cap
        self.free_at = 0.0   # when the link has sent everything queued on it

    def arrival(self, ready, size):
        """When `size` bytes that can leave at `ready` reach the other end."""
        if not self.rate:
            return ready + self.delay
        self.free_at = max(ready, self.free_at) + size / self.rate
        return self.free_at + self.delay


class Pipe:
    """One direction of one relayed connection: what the source sends waits in
    a delay line until its arrival time, then goes to the destination. b"" in
    the line is the close. Reading pauses while the line holds more than
    WINDOW bytes or the destination cannot take more."""

    def __init__(self, loop, link, opens_at):
        self.loop, self.link, self.opens_at = loop, link, opens_at
        self.source = self.dest = None   # transports
        self.line = collections.deque()  # (arrival time, bytes)
        self.held = 0
        self.timer = None
        self.full = False      # the destination's buffer is full
        self.paused = False
        self.done = False      # the close was passed on, or the destination is gone
        self.on_done = None

    def put(self, data):
        if self.done:
            return
        at = self.link.arrival(max(self.loop.time(), self.opens_at), len(data))
        self.line.append((at, data))
        self.held += len(data)
        self.throttle()
        if self.timer is None:
            self.flush()

    def throttle(self):
        want = self.held > WINDOW or self.full
        if self.source is not None and want != self.paused:
            (self.source.pause_reading if want else self.source.resume_reading)()
            self.paused = want

    def flush(self):
        now = self.loop.time()
        if self.timer is not None and self.line:
            Early.learn(now - self.line[0][0])
        self.timer = None
        if self.dest is None or self.done:
            return
        while self.line and self.line[0][0] <= now + Early.value:
            _, data = self.line.popleft()
            self.held -= len(data)
            if not data:
                if self.dest.can_write_eof():
                    self.dest.write_eof()
                return self.finish()
            self.dest.write(data)
        self.throttle()
        if self.line:
            self.timer = self.loop.call_at(self.line[0][0] - Early.value, self.flush)

    def finish(self):
        self.done = True
        self.line.clear()
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.on_done()


class Connection:
    """A client's connection and the relay's own to the server: pipes[0] runs
    from the client (side 0) to the server (side 1), pipes[1] back."""

    def __init__(self, loop, target, links, rtt):
        self.loop, self.target = loop, target
        # The client's first bytes wait for the handshake's round trip.
        self.pipes = (Pipe(loop, links[0], loop.time() + rtt), Pipe(loop, links[1], 0.0))
        for pipe in self.pipes:
            pipe.on_done = self.check_done
        self.transports = [None, None]

    def made(self, side, transport):
        self.transports[side] = transport
        self.pipes[side].source = transport
        self.pipes[1 - side].dest = transport
        if side == 0:
            connect = self.loop.create_connection(lambda: Side(self, 1), *self.target)
            self.loop.create_task(connect).add_done_callback(self.connected)
        else:
            self.pipes[0].flush()

    def connected(self, task):
        if task.cancelled() or task.exception() is not None:
            self.abort()

    def lost(self, side, error):
        if error is not None:
            return self.abort()
        self.pipes[side].put(b"")
        self.pipes[1 - side].finish()

    def check_done(self):
        if all(pipe.done for pipe in self.pipes):
            for transport in self.transports:
                if transport is not None:
                    transport.close()

    def abort(self):
        for pipe in self.pipes:
            pipe.done = True
            pipe.line.clear()
        for transport in self.transports:
            if transport is not None:
                transport.abort()


class Side(asyncio.Protocol):
    """Either socket of a relayed connection (0: the client's, 1: the server's)."""

    def __init__(self, connection, side):
        self.connection, self.side = connection, side

    def connection_made(self, transport):
        self.connection.made(self.side, transport)

    def data_received(self, data):
        self.connection.pipes[self.side].put(data)

    def eof_received(self):
        self.connection.pipes[self.side].put(b"")
        return True   # the other direction may still carry data

    def connection_lost(self, error):
        self.connection.lost(self.side, error)

    def pause_writing(self):
        self.connection.pipes[1 - self.side].full = True
        self.connection.pipes[1 - self.side].throttle()

    def resume_writing(self):
        self.connection.pipes[1 - self.side].full = False
        self.connection.pipes[1 - self.side].throttle()


class Relay:
    """The relay as a child process for a `with` block; .port once it listens."""

    def __init__(self, target_port, rtt_ms, mbit=None, target_host=HOST):
        self.argv = [sys.executable, os.path.abspath(__file__),
                     "--target", "%s:%d" % (target_host, target_port), "--rtt-ms", str(rtt_ms)]
        if mbit:
            self.argv += ["--mbit", str(mbit)]
        self.process = None
        self.port = None

    def __enter__(self):
        self.process = subprocess.Popen(self.argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline().decode().strip()
        if not line:
            self.process.wait()
            raise RuntimeError("the latency proxy did not start")
        self.port = int(line.rsplit(":", 1)[1])
        return self

    def __exit__(self, *exc):
        stop(self.process)


def stop(process):
    """Ends a child process: asked first, killed after 10 s."""
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


async def serve(target, port, rtt, rate):
    loop = asyncio.get_running_loop()
    links = (Link(rtt / 2, rate), Link(rtt / 2, rate))
    server = await loop.create_server(lambda: Side(Connection(loop, target, links, rtt), 0),
                                      HOST, port, backlog=1024)
    print("%s:%d" % (HOST, server.sockets[0].getsockname()[1]), flush=True)
    await server.serve_forever()


def main(argv):
    p = argparse.ArgumentParser(prog="bench/proxy.py", description="TCP relay with latency")
    p.add_argument("--target", required=True, help="HOST:PORT to forward to")
    p.add_argument("--rtt-ms", type=float, default=0.0, help="round trip to add (ms)")
    p.add_argument("--mbit", type=float, help="bandwidth of each direction (Mbit/s)")
    p.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    a = p.parse_args(argv)
    host, _, port = a.target.rpartition(":")
    rate = a.mbit * 1e6 / 8 if a.mbit else None
    # Ahead of other work for the processor (as root): on a busy machine each
    # chunk would otherwise wait for a time slice on top of its delay.
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    try:
        loop.run_until_complete(serve((host, int(port)), a.port, a.rtt_ms / 1000.0, rate))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv[1:])
