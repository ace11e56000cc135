#!/usr/bin/python3
"""Test name server for the block-list and HELO tests: serves the records of a
JSON file over UDP on one loopback address, acting as several block-list
zones at once, each with its own behaviour (slow, silent, forged answers).
Delayed answers are scheduled, so a slow zone never holds up the others.

Usage: dnsbl_test_server.py --address 127.0.9.1 --state DIR [--port 53]

DIR/ready       written once the socket is bound
DIR/counts      "name type count" lines, rewritten atomically after each query
DIR/zones.json  read before each answer (absent: no records):
  {"records": {"2.0.0.127.bl.test": [["A", "127.0.0.2"]],
               "example.test": [["MX", "mx.example.test", 10]],
               "txt.test": [["TXT", "v=spf1 -all"]]},
   "zones": {"slow.test": {"delay": 1.0},
             "quiet.test": {"mode": "silent"},
             "trick.test": {"mode": "spoof-id"}}}
  Record kinds: A, MX (name, preference), PTR, NS, TXT (strings).
  Names are lower case without the final dot. A zone's behaviour applies to
  every name under it (the longest matching zone wins). Modes:
    answer (default)   answer from the records (NXDOMAIN when none)
    silent             count the query, send nothing
    spoof-KIND         first a forged listing (127.0.0.2), then the true
                       answer; KIND: id (wrong ID), question (another name)
  "delay" (seconds) postpones the answer, forged ones included.

Exit status 2 when the address cannot be bound. The server stops by itself
when its parent goes away or after --lifetime seconds.
"""

import heapq
import json
import os
import select
import time

from dns_test_common import start_server
from dnslib import A, MX, NS, PTR, QTYPE, RCODE, RR, TXT, DNSQuestion, DNSRecord

FORGED_LISTING = "127.0.0.2"
SPOOF_GAP_SECONDS = 0.05
POLL_SECONDS = 0.05


def write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as out:
        out.write(text)
    os.replace(tmp, path)


def read_setup(state):
    try:
        with open(os.path.join(state, "zones.json")) as f:
            setup = json.load(f)
    except (OSError, ValueError):
        setup = {}
    return setup.get("records", {}), setup.get("zones", {})


def behaviour_for(name, zones):
    best = None
    for zone in zones:
        if (name == zone or name.endswith("." + zone)) and (best is None or len(zone) > len(best)):
            best = zone
    return zones[best] if best is not None else {}


def rdata_of(entry):
    kind = entry[0]
    if kind == "A":
        return QTYPE.A, A(entry[1])
    if kind == "MX":
        return QTYPE.MX, MX(entry[1], entry[2] if len(entry) > 2 else 10)
    if kind == "PTR":
        return QTYPE.PTR, PTR(entry[1])
    if kind == "NS":
        return QTYPE.NS, NS(entry[1])
    if kind == "TXT":  # one or more character-strings
        return QTYPE.TXT, TXT(entry[1:])
    raise ValueError("unknown record kind " + kind)


def true_answer(request, records):
    reply = request.reply()
    name = str(request.q.qname).rstrip(".").lower()
    if name not in records:
        reply.header.rcode = RCODE.NXDOMAIN
        return reply
    for entry in records[name]:
        rtype, rdata = rdata_of(entry)
        if rtype == request.q.qtype:
            reply.add_answer(RR(request.q.qname, rtype, rdata=rdata, ttl=300))
    return reply


def forged_answer(request, kind):
    if kind == "question":
        forged = DNSRecord(request.header, q=DNSQuestion("forged." + str(request.q.qname), request.q.qtype)).reply()
    else:
        forged = request.reply()
        forged.header.id = (request.header.id + 1) & 0xFFFF
    forged.add_answer(RR(forged.q.qname, QTYPE.A, rdata=A(FORGED_LISTING), ttl=300))
    return forged


class Server:
    def __init__(self, sock, state):
        self.sock = sock
        self.state = state
        self.counts = {}
        self.outbox = []  # (due, sequence, packet, peer)
        self.sequence = 0

    def schedule(self, due, packet, peer):
        self.sequence += 1
        heapq.heappush(self.outbox, (due, self.sequence, packet, peer))

    def send_due(self):
        now = time.monotonic()
        while self.outbox and self.outbox[0][0] <= now:
            _, _, packet, peer = heapq.heappop(self.outbox)
            self.sock.sendto(packet, peer)

    def next_wait(self):
        if not self.outbox:
            return POLL_SECONDS
        return max(0.0, min(POLL_SECONDS, self.outbox[0][0] - time.monotonic()))

    def serve_one(self, data, peer):
        try:
            request = DNSRecord.parse(data)
        except Exception:  # a malformed query is only ignored
            return
        name = str(request.q.qname).rstrip(".").lower()
        key = "%s %d" % (name, request.q.qtype)
        self.counts[key] = self.counts.get(key, 0) + 1
        write_atomically(os.path.join(self.state, "counts"),
                         "".join("%s %d\n" % kv for kv in sorted(self.counts.items())))

        records, zones = read_setup(self.state)
        behaviour = behaviour_for(name, zones)
        mode = behaviour.get("mode", "answer")
        if mode == "silent":
            return
        due = time.monotonic() + float(behaviour.get("delay", 0))
        if mode.startswith("spoof-"):
            self.schedule(due, forged_answer(request, mode[len("spoof-"):]).pack(), peer)
            due += SPOOF_GAP_SECONDS
        self.schedule(due, true_answer(request, records).pack(), peer)


def main():
    args, sock = start_server()
    write_atomically(os.path.join(args.state, "ready"), "%d\n" % os.getpid())

    server = Server(sock, args.state)
    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline and os.getppid() == parent:
        readable, _, _ = select.select([sock], [], [], server.next_wait())
        if readable:
            data, peer = sock.recvfrom(4096)
            server.serve_one(data, peer)
        server.send_due()


if __name__ == "__main__":
    main()
