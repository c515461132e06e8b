#!/usr/bin/env python3
"""Servers on the build host's loopback for the emulated board's sessions.

    tools/boot-servers.py SECONDS

Listens on ports of 127.0.0.1 that the system picks, prints them and the MD5
sums of what the stream and reset servers send as shell assignments, one a
line, then closes standard output and serves every connection until SECONDS
have passed or it is killed:

    echo      echoes every byte back;
    stream    sends 1 MiB without a newline, then closes;
    greeting  sends one line, then closes;
    reset     sends the stream's first 3000 bytes, waits for the client's
              answer, then resets the connection;
    refused   bound but never listening: every connection is refused.
"""

import hashlib
import os
import random
import socket
import struct
import sys
import threading
import time

# Every byte value but the newline, which the client adds after each chunk.
STREAM = random.Random(15).randbytes(1 << 20).replace(b"\n", b"n")
RESET_DATA = STREAM[:3000]
GREETING = b"hello from the build host\n"
IO_TIMEOUT = 60


def echo(conn):
    while data := conn.recv(65536):
        conn.sendall(data)


def stream(conn):
    conn.sendall(STREAM)


def greeting(conn):
    conn.sendall(GREETING)


def reset(conn):
    conn.sendall(RESET_DATA)
    # qemu's user networking (libslirp 4.7) turns a reset that comes before
    # it has read all the data into a plain close for the guest; the client
    # answers once it has shown the data.
    conn.recv(1)
    # A zero linger time makes close() send a reset instead of a FIN.
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def serve_one(handler, conn):
    with conn:
        conn.settimeout(IO_TIMEOUT)
        try:
            handler(conn)
        except OSError as e:
            print(f"boot-servers: {handler.__name__}: {e}", file=sys.stderr)


def serve(handler, listener):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_one, args=(handler, conn), daemon=True).start()


def bound():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    return s


def main():
    seconds = float(sys.argv[1])
    for handler in (echo, stream, greeting, reset):
        listener = bound()
        listener.listen(8)
        print(f"{handler.__name__}_port={listener.getsockname()[1]}")
        threading.Thread(target=serve, args=(handler, listener), daemon=True).start()
    # Held without listen(): the port stays ours, and nothing accepts there.
    refused = bound()
    print(f"refused_port={refused.getsockname()[1]}")
    print(f"stream_md5={hashlib.md5(STREAM).hexdigest()}")
    print(f"reset_md5={hashlib.md5(RESET_DATA).hexdigest()}")
    # Closing the descriptor itself tells the reader that the list is whole.
    sys.stdout.flush()
    os.close(sys.stdout.fileno())
    time.sleep(seconds)


if __name__ == "__main__":
    main()
