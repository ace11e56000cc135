#!/usr/bin/python3
"""Test reputation service for the community client tests: answers every
datagram on one loopback address (port 6666) as DIR/mode says and records
what it received.

Usage: community_test_server.py --address 127.0.0.101 --state DIR [--port 6666]

DIR/ready      written once the socket is bound
DIR/requests   one line per datagram received: its bytes in hex
DIR/mode       read before each answer (absent: "silent"):
                 silent         record the datagram, answer nothing
                 reply HEX      answer the bytes HEX
                 spoof HEX      first HEX from another port, then "NEUTRALE"
                 gate N HEX     hold the senders until N datagrams have come,
                                then answer each the bytes HEX
DIR/list       when present, the answer to server-list requests ("006")

Exit status 2 when the address cannot be bound. The server stops by itself
when its parent goes away or after --lifetime seconds.
"""

import os
import select
import socket
import time

from dns_test_server import start_server

POLL_SECONDS = 0.2


def read_mode(state):
    """(kind, its words after the kind); the last word is the reply in hex."""
    try:
        with open(os.path.join(state, "mode")) as f:
            words = f.read().split()
    except FileNotFoundError:
        words = []
    return (words[0], words[1:]) if words else ("silent", [])


def main():
    args, sock, listener = start_server()
    listener.close()  # the service speaks UDP only
    parent = os.getppid()
    with open(os.path.join(args.state, "ready"), "w"):
        pass
    held = []  # senders waiting for a gate to open
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline and os.getppid() == parent:
        ready, _, _ = select.select([sock], [], [], POLL_SECONDS)
        if not ready:
            continue
        data, peer = sock.recvfrom(4096)
        with open(os.path.join(args.state, "requests"), "a") as f:
            f.write(data.hex() + "\n")
        kind, words = read_mode(args.state)
        payload = bytes.fromhex(words[-1]) if words else b""
        server_list = os.path.join(args.state, "list")
        if data[32:35] == b"006" and os.path.exists(server_list):
            with open(server_list, "rb") as f:
                sock.sendto(f.read(), peer)
        elif kind == "reply":
            sock.sendto(payload, peer)
        elif kind == "spoof":
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                other.bind((args.address, 0))
                other.sendto(payload, peer)
            sock.sendto(b"NEUTRALE", peer)
        elif kind == "gate":
            held.append(peer)
            if len(held) >= int(words[0]):
                for waiting in held:
                    sock.sendto(payload, waiting)
                held.clear()


if __name__ == "__main__":
    main()
