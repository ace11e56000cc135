#!/usr/bin/python3
"""Test name server for the block-list, HELO and SPF tests: serves the records
of a JSON file over UDP and TCP on one loopback address, acting as several
zones at once, each with its own behaviour (slow, silent, failing, forged
answers). Delayed answers are scheduled, so a slow zone never holds up the
others. A UDP answer over 512 bytes goes out cut, with TC set and no
records; asked again over TCP it comes whole.

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
  Record kinds: A, AAAA, MX (name, preference), PTR, NS, TXT (strings),
  CNAME (the target's records of the asked type follow it), and TIMEOUT:
  questions for a type the name has no record of are never answered.
  Names are lower case without the final dot. A zone's behaviour applies to
  every name under it (the longest matching zone wins). Modes:
    answer (default)   answer from the records (NXDOMAIN when none)
    silent             count the query, send nothing
    servfail, refused  answer with that RCODE
    spoof-KIND         first a forged listing (127.0.0.2), then the true
                       answer; KIND: id (wrong ID), question (another name)
  "delay" (seconds) postpones the answer, forged ones included; "gate" N
  holds the zone's answers until N queries for it have come, then sends
  them all (lookups that wait for each other never get there).

Exit status 2 when the address cannot be bound. The server stops by itself
when its parent goes away or after --lifetime seconds.
"""

import heapq
import json
import os
import select
import time

from dns_test_common import FAILURE_MODES, failure_reply, fit_datagram, serve_tcp_query, start_server
from dnslib import A, AAAA, CNAME, MX, NS, PTR, QTYPE, RCODE, RR, TXT, DNSQuestion, DNSRecord

FORGED_LISTING = "127.0.0.2"
SPOOF_GAP_SECONDS = 0.05
POLL_SECONDS = 0.05
# Aliases followed within one answer.
MAX_ALIASES = 8


def plain_name(qname):
    """The asked name as the records name it: lower case, no final dot, and
    any byte of a label as it is (dnslib escapes spaces as "\\032")."""
    return ".".join(label.decode("utf-8", "replace") for label in qname.label).lower()


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
    """(zone, behaviour) of the longest zone `name` lies in; (None, {})."""
    best = None
    for zone in zones:
        if (name == zone or name.endswith("." + zone)) and (best is None or len(zone) > len(best)):
            best = zone
    return best, zones[best] if best is not None else {}


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
    if kind == "TXT":  # zero or more character-strings
        return QTYPE.TXT, TXT([text.encode("utf-8") for text in entry[1:]])
    if kind == "AAAA":
        return QTYPE.AAAA, AAAA(entry[1])
    if kind == "CNAME":
        return QTYPE.CNAME, CNAME(entry[1])
    raise ValueError("unknown record kind " + kind)


def true_answer(request, records):
    """The reply, or None when the question is never to be answered."""
    reply = request.reply()
    name = plain_name(request.q.qname)
    if name not in records:
        reply.header.rcode = RCODE.NXDOMAIN
        return reply
    for _ in range(MAX_ALIASES):
        entries = [e for e in records.get(name, []) if e[0] != "TIMEOUT"]
        alias = [e for e in entries if e[0] == "CNAME" and request.q.qtype != QTYPE.CNAME]
        if alias:
            reply.add_answer(RR(name, QTYPE.CNAME, rdata=CNAME(alias[0][1]), ttl=300))
            name = alias[0][1].rstrip(".").lower()
            continue
        answers = [rdata_of(e) for e in entries if rdata_of(e)[0] == request.q.qtype]
        if not answers and ["TIMEOUT"] in records.get(name, []):
            return None
        for rtype, rdata in answers:
            reply.add_answer(RR(name, rtype, rdata=rdata, ttl=300))
        break
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
        self.gated = {}  # zone -> [(packet, peer)] held by its gate

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

    def count(self, request):
        name = plain_name(request.q.qname)
        key = "%s %d" % (name, request.q.qtype)
        self.counts[key] = self.counts.get(key, 0) + 1
        write_atomically(os.path.join(self.state, "counts"),
                         "".join("%s %d\n" % kv for kv in sorted(self.counts.items())))
        records, zones = read_setup(self.state)
        zone, behaviour = behaviour_for(name, zones)
        return records, zone, behaviour

    def serve_one(self, data, peer):
        try:
            request = DNSRecord.parse(data)
        except Exception:  # a malformed query is only ignored
            return
        records, zone, behaviour = self.count(request)
        mode = behaviour.get("mode", "answer")
        if mode == "silent":
            return
        due = time.monotonic() + float(behaviour.get("delay", 0))
        if mode in FAILURE_MODES:
            self.schedule(due, failure_reply(request, mode), peer)
            return
        if mode.startswith("spoof-"):
            self.schedule(due, forged_answer(request, mode[len("spoof-"):]).pack(), peer)
            due += SPOOF_GAP_SECONDS
        answer = true_answer(request, records)
        if answer is None:
            return
        packet = fit_datagram(request, answer.pack())
        if "gate" not in behaviour:
            self.schedule(due, packet, peer)
            return
        held = self.gated.setdefault(zone, [])
        held.append((packet, peer))
        if len(held) >= int(behaviour["gate"]):
            for waiting_packet, waiting_peer in held:
                self.schedule(due, waiting_packet, waiting_peer)
            held.clear()

    def answer_over_tcp(self, request):
        records, _, _ = self.count(request)
        answer = true_answer(request, records)
        return answer.pack() if answer is not None else None


def main():
    args, sock, listener = start_server()
    write_atomically(os.path.join(args.state, "ready"), "%d\n" % os.getpid())

    server = Server(sock, args.state)
    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline and os.getppid() == parent:
        readable, _, _ = select.select([sock, listener], [], [], server.next_wait())
        if sock in readable:
            data, peer = sock.recvfrom(4096)
            server.serve_one(data, peer)
        if listener in readable:
            serve_tcp_query(listener, server.answer_over_tcp)
        server.send_due()


if __name__ == "__main__":
    main()
