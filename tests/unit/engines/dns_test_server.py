#!/usr/bin/python3
"""Test name server for the resolver, block-list, HELO and SPF tests: serves
records over UDP and TCP on one loopback address, acting as several zones at
once, each with its own behaviour (slow, silent, failing, forged answers).
Delayed answers are scheduled, so a slow zone never holds up the others. A
UDP answer over 512 bytes goes out cut, with TC set and no records; asked
again over TCP it comes whole.

Usage: dns_test_server.py --address 127.0.9.1 --state DIR [--port 53]

DIR/ready       written once the socket is bound
DIR/counts      "name type count" lines, rewritten atomically after each query
DIR/zones.json  read before each answer (absent: the zone torvane.test of
                DEFAULT_RECORDS, its aliases answered unfollowed):
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
    spoof-KIND         first a forged answer claiming 127.0.0.2, then the
                       true one; KIND: id (wrong ID), qr (QR bit clear),
                       question (another name asked), port (sent from
                       another source port)
    spoof-KIND-only    only the forged answer
  "delay" (seconds) postpones the answer, forged ones included; "gate" N
  holds the zone's answers until N queries for it have come, then sends
  them all (lookups that wait for each other never get there).
DIR/mode        when present, the mode of every name, whatever its zone

Exit status 2 when the address cannot be bound. The server stops by itself
when its parent goes away or after --lifetime seconds.
"""

import argparse
import heapq
import json
import os
import select
import socket
import struct
import sys
import time

from dnslib import A, AAAA, CNAME, MX, NS, PTR, QTYPE, RCODE, RR, TXT, DNSQuestion, DNSRecord

FORGED_LISTING = "127.0.0.2"
SPOOF_GAP_SECONDS = 0.05
POLL_SECONDS = 0.05
# Aliases followed within one answer.
MAX_ALIASES = 8
FAILURE_MODES = ("servfail", "refused")
# The largest answer a plain UDP query may get (no EDNS).
UDP_LIMIT = 512
# Longest wait for the rest of a TCP query.
TCP_READ_SECONDS = 2.0


def default_records():
    """The resolver tests' zone torvane.test."""
    records = {
        "a.torvane.test": [["A", "192.0.2.10"]],
        "mx2.torvane.test": [["MX", "mail1.torvane.test", 10], ["MX", "mail2.torvane.test", 20]],
        "ns.torvane.test": [["NS", "ns1.torvane.test"], ["NS", "ns2.torvane.test"]],
        "txt1.torvane.test": [["TXT", "v=spf1 -all"]],
        "txt2.torvane.test": [["TXT", "ab", "cd"]],
        # Six records of 100 bytes each: over 512 bytes, so UDP gets TC.
        "big.torvane.test": [["TXT", "%d" % i + "x" * 99] for i in range(6)],
        "1.2.0.192.in-addr.arpa": [["PTR", "host1.torvane.test"]],
        "hop1.torvane.test": [["CNAME", "a.torvane.test"]],
        "loop.torvane.test": [["CNAME", "loop.torvane.test"]],
        "many51.torvane.test": [["A", "10.0.0.%d" % i] for i in range(1, 52)],
        "many60.torvane.test": [["A", "10.0.1.%d" % i] for i in range(1, 61)],
    }
    for hop in range(2, 10):
        records["hop%d.torvane.test" % hop] = [["CNAME", "hop%d.torvane.test" % (hop - 1)]]
    return records


DEFAULT_RECORDS = default_records()


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
    """(records, zones, whether aliases are followed within an answer)."""
    try:
        with open(os.path.join(state, "zones.json")) as f:
            setup = json.load(f)
    except OSError:
        return DEFAULT_RECORDS, {}, False
    except ValueError:
        setup = {}
    return setup.get("records", {}), setup.get("zones", {}), True


def forced_mode(state):
    try:
        with open(os.path.join(state, "mode")) as f:
            return f.read().strip() or None
    except OSError:
        return None


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


def true_answer(request, records, follow_aliases):
    """The reply, or None when the question is never to be answered."""
    reply = request.reply()
    name = plain_name(request.q.qname)
    if name not in records:
        reply.header.rcode = RCODE.NXDOMAIN
        return reply
    for _ in range(MAX_ALIASES if follow_aliases else 1):
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
    if kind == "id":
        forged.header.id = (request.header.id + 1) & 0xFFFF
    if kind == "qr":
        forged.header.qr = 0
    forged.add_answer(RR(forged.q.qname, QTYPE.A, rdata=A(FORGED_LISTING), ttl=300))
    return forged


def fit_datagram(request, packed):
    """`packed` when it fits a datagram, else the cut answer: the question
    alone with TC set, as real servers send it."""
    if len(packed) <= UDP_LIMIT:
        return packed
    cut = request.reply()
    cut.header.tc = 1
    return cut.pack()


def failure_reply(request, mode):
    reply = request.reply()
    reply.header.rcode = getattr(RCODE, mode.upper())
    return reply.pack()


class Server:
    def __init__(self, sock, address, state):
        self.sock = sock
        self.address = address
        self.state = state
        self.counts = {}
        self.outbox = []  # (due, sequence, packet, peer, from another port)
        self.sequence = 0
        self.gated = {}  # zone -> [(packet, peer)] held by its gate

    def schedule(self, due, packet, peer, other_port=False):
        self.sequence += 1
        heapq.heappush(self.outbox, (due, self.sequence, packet, peer, other_port))

    def send_due(self):
        now = time.monotonic()
        while self.outbox and self.outbox[0][0] <= now:
            _, _, packet, peer, other_port = heapq.heappop(self.outbox)
            if other_port:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                    other.bind((self.address, 0))
                    other.sendto(packet, peer)
            else:
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
        records, zones, follow = read_setup(self.state)
        zone, behaviour = behaviour_for(name, zones)
        mode = forced_mode(self.state)
        if mode:
            behaviour = dict(behaviour, mode=mode)
        return records, follow, zone, behaviour

    def serve_one(self, data, peer):
        try:
            request = DNSRecord.parse(data)
        except Exception:  # a malformed query is only ignored
            return
        records, follow, zone, behaviour = self.count(request)
        mode = behaviour.get("mode", "answer")
        if mode == "silent":
            return
        due = time.monotonic() + float(behaviour.get("delay", 0))
        if mode in FAILURE_MODES:
            self.schedule(due, failure_reply(request, mode), peer)
            return
        if mode.startswith("spoof-"):
            kind = mode[len("spoof-"):]
            only = kind.endswith("-only")
            kind = kind[: -len("-only")] if only else kind
            self.schedule(due, forged_answer(request, kind).pack(), peer, other_port=kind == "port")
            if only:
                return
            due += SPOOF_GAP_SECONDS
        answer = true_answer(request, records, follow)
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
        records, follow, _, _ = self.count(request)
        answer = true_answer(request, records, follow)
        return answer.pack() if answer is not None else None


def read_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise OSError("closed early")
        data += chunk
    return data


def serve_tcp_query(listener, answer_for):
    """Accepts one TCP connection, reads its query and sends back the whole
    answer answer_for(request) gives (bytes, or None for no answer)."""
    conn, _ = listener.accept()
    with conn:
        conn.settimeout(TCP_READ_SECONDS)
        try:
            length = struct.unpack("!H", read_exactly(conn, 2))[0]
            request = DNSRecord.parse(read_exactly(conn, length))
            packed = answer_for(request)
            if packed is not None:
                conn.sendall(struct.pack("!H", len(packed)) + packed)
        except Exception:  # a broken or abandoned query is only ignored
            pass


def start_server():
    """Parses the command line and binds the UDP and the TCP socket; exits
    with status 2 when the address cannot be bound, so the launcher tries
    its next address."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=53)
    parser.add_argument("--state", required=True)
    parser.add_argument("--lifetime", type=float, default=300.0)
    args = parser.parse_args()
    if not args.address.startswith("127."):
        sys.exit("loopback addresses only")
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((args.address, args.port))
        listener.bind((args.address, args.port))
    except OSError as err:
        print("cannot bind %s:%d: %s" % (args.address, args.port, err), file=sys.stderr)
        sys.exit(2)
    listener.listen(8)
    return args, sock, listener


def main():
    args, sock, listener = start_server()
    write_atomically(os.path.join(args.state, "ready"), "%d\n" % os.getpid())

    server = Server(sock, args.address, args.state)
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
