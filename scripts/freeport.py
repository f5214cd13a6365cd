#!/usr/bin/python3
"""Prints a TCP port that is free on 127.0.0.1.

It is taken below the kernel's ephemeral range, so that the passive data
connections of a test server never land on it while the updater is built
to use it.
"""
import random
import socket

for _ in range(200):
    port = random.randint(20000, 32000)
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
    print(port)
    break
else:
    raise SystemExit("no free port found")
