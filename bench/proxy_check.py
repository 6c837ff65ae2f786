#!/usr/bin/env python3
"""Measures the latency proxy (bench/proxy.py) against a small local server
that answers each line at once, and prints what it adds beyond the round
trip it was asked for:
  - a new connection's first answer (expected: 2 round trips, handshake and
    request) and the answers on a kept connection (1 round trip), alone and
    on 32 connections at once, beside the same without the proxy;
  - bytes and order: a few MiB echoed back whole, and the server's close
    arriving after its last bytes;
  - with --mbit, 8 MiB one way (expected: its transmission time + rtt/2).

Usage: bench/proxy_check.py [--rtts 0,20,60] [--mbit 100]
"""

import argparse
import hashlib
import os
import socket
import socketserver
import statistics
import sys
import threading
import time

import proxy

CONNECTIONS = 5    # per thread, one after the other
PINGS = 10         # per connection after its first answer
PARALLEL = 32


class Answer(socketserver.BaseRequestHandler):
    """Per line: "ping" answers "pong"; "echo N" reads N bytes and sends them
    back; "send N" sends N zero bytes; "bye" sends "last" and closes."""

    def handle(self):
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        stream = self.request.makefile("rb")
        for line in stream:
            word, _, number = line.decode().strip().partition(" ")
            if word == "ping":
                self.request.sendall(b"pong\n")
            elif word == "echo":
                self.request.sendall(stream.read(int(number)))
            elif word == "send":
                self.request.sendall(bytes(int(number)))
            elif word == "bye":
                self.request.sendall(b"last")
                return


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256


def pings(port, result):
    """Times new connections' first answers, then more answers on each."""
    for _ in range(CONNECTIONS):
        start = time.perf_counter()
        s = socket.create_connection((proxy.HOST, port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reply = s.makefile("rb")
        s.sendall(b"ping\n")
        reply.readline()
        result["first"].append(time.perf_counter() - start)
        for _ in range(PINGS):
            start = time.perf_counter()
            s.sendall(b"ping\n")
            reply.readline()
            result["kept"].append(time.perf_counter() - start)
        s.close()


def latency(port, parallel):
    result = {"first": [], "kept": []}
    threads = [threading.Thread(target=pings, args=(port, result)) for _ in range(parallel)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return {k: statistics.median(v) * 1000 for k, v in result.items()}


def integrity(port):
    """'' when 4 MiB come back whole and the close follows the last bytes."""
    payload = os.urandom(4 << 20)
    s = socket.create_connection((proxy.HOST, port))
    s.sendall(b"echo %d\n" % len(payload))
    sender = threading.Thread(target=s.sendall, args=(payload,))
    sender.start()
    got = bytearray()
    while len(got) < len(payload):
        block = s.recv(1 << 20)
        if not block:
            break
        got += block
    sender.join()
    s.sendall(b"bye\n")
    tail = bytearray()
    while True:
        block = s.recv(4096)
        if not block:
            break
        tail += block
    s.close()
    if hashlib.sha256(got).digest() != hashlib.sha256(payload).digest():
        return "echoed bytes differ"
    return "" if tail == b"last" else "close before the last bytes (%r)" % bytes(tail)


def bandwidth(port, size):
    s = socket.create_connection((proxy.HOST, port))
    start = time.perf_counter()
    s.sendall(b"send %d\n" % size)
    left = size
    while left > 0:
        left -= len(s.recv(1 << 20))
    s.close()
    return time.perf_counter() - start


def main(argv):
    p = argparse.ArgumentParser(prog="bench/proxy_check.py")
    p.add_argument("--rtts", default="0,20,60")
    p.add_argument("--mbit", type=float, default=100.0)
    a = p.parse_args(argv)
    server = Server((proxy.HOST, 0), Answer)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]
    print("| round trip | connections | first answer (expected) | kept (expected) | checks |")
    print("|--:|--:|--:|--:|---|")
    for parallel in (1, PARALLEL):
        d = latency(port, parallel)
        print("| direct | %d | %.2f ms | %.2f ms | |" % (parallel, d["first"], d["kept"]))
    for rtt in [float(r) for r in a.rtts.split(",")]:
        with proxy.Relay(port, rtt) as relay:
            problem = integrity(relay.port) or "bytes, order and close ok"
            for parallel in (1, PARALLEL):
                m = latency(relay.port, parallel)
                print("| %g ms | %d | %.2f ms (%g) | %.2f ms (%g) | %s |" % (
                    rtt, parallel, m["first"], 2 * rtt, m["kept"], rtt, problem))
    size = 8 << 20
    for rtt in (0.0, 20.0):
        with proxy.Relay(port, rtt, mbit=a.mbit) as relay:
            took = bandwidth(relay.port, size)
            expected = size * 8 / (a.mbit * 1e6) + 2 * rtt / 1000
            print("\n%g Mbit/s at %g ms: 8 MiB in %.3f s (expected %.3f s: transmission and "
                  "2 round trips)" % (a.mbit, rtt, took, expected))
    server.shutdown()


if __name__ == "__main__":
    main(sys.argv[1:])
