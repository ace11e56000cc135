#!/usr/bin/python3
"""Test name server for the resolver, block-list, HELO and SPF tests: serves
records over UDP and TCP on one loopback address, acting as several zones,
each with its own behaviour. A UDP answer over 512 bytes goes out cut (TC
set, no records); asked again over TCP it comes whole.

Usage: dns_test_server.py --address 127.0.9.1 --state DIR [--port 53]

DIR/ready       written once the sockets are bound
DIR/counts      "name type count" lines, rewritten atomically after each query
DIR/zones.json  read before each answer (absent: the zone torvane.test of
                DEFAULT_RECORDS, its aliases answered unfollowed):
  {"records": {"2.0.0.127.bl.test": [["A", "127.0.0.2"]],
               "example.test": [["MX", "mx.example.test", 10]]},
   "zones": {"slow.test": {"delay": 1.0}, "quiet.test": {"mode": "silent"}}}
  Record kinds: A, AAAA, MX (name, preference), PTR, NS, TXT (strings),
  CNAME (followed within the answer), and TIMEOUT: questions for a type the
  name has no record of are never answered. Names are lower case without the
  final dot; the longest matching zone's behaviour applies. Modes: answer
  (default), silent, servfail, refused, and spoof-id / spoof-port (first a
  forged 127.0.0.2 with a wrong ID or from another port, then the true
  answer). "delay" (seconds) postpones answers; "gate" N holds the zone's
  answers until N queries for it have come.
DIR/mode        when present, the mode of every name, whatever its zone

Exit status 2 when the address cannot be bound. The server stops by itself
when its parent goes away or after --lifetime seconds.
"""

import argparse
import json
import os
import socket
import socketserver
import sys
import threading
import time

from dnslib import A, AAAA, CNAME, MX, NS, PTR, QTYPE, RCODE, RR, TXT, DNSError, DNSRecord
from dnslib.server import DNSHandler, DNSLogger

FORGED_LISTING = "127.0.0.2"
SPOOF_GAP_SECONDS = 0.05
POLL_SECONDS = 0.05
# Aliases followed within one answer.
MAX_ALIASES = 8
FAILURE_MODES = ("servfail", "refused")
# The largest answer a plain UDP query may get (no EDNS).
UDP_LIMIT = 512
# Longest a gated answer waits for the rest of its group.
GATE_SECONDS = 60.0


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


# Record kind -> (type, rdata from the entry's values).
RDATA = {
    "A": (QTYPE.A, lambda e: A(e[1])),
    "AAAA": (QTYPE.AAAA, lambda e: AAAA(e[1])),
    "MX": (QTYPE.MX, lambda e: MX(e[1], e[2] if len(e) > 2 else 10)),
    "PTR": (QTYPE.PTR, lambda e: PTR(e[1])),
    "NS": (QTYPE.NS, lambda e: NS(e[1])),
    "TXT": (QTYPE.TXT, lambda e: TXT([text.encode("utf-8") for text in e[1:]])),
    "CNAME": (QTYPE.CNAME, lambda e: CNAME(e[1])),
}


def rdata_of(entry):
    rtype, make = RDATA[entry[0]]
    return rtype, make(entry)


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
        answers = [(rtype, rdata) for rtype, rdata in map(rdata_of, entries) if rtype == request.q.qtype]
        if not answers and ["TIMEOUT"] in records.get(name, []):
            return None
        for rtype, rdata in answers:
            reply.add_answer(RR(name, rtype, rdata=rdata, ttl=300))
        break
    return reply


def forged_answer(request, kind):
    """A listing claimed before the true answer: with a wrong ID ("id") or
    sent from another port ("port")."""
    forged = request.reply()
    if kind == "id":
        forged.header.id = (request.header.id + 1) & 0xFFFF
    forged.add_answer(RR(forged.q.qname, QTYPE.A, rdata=A(FORGED_LISTING), ttl=300))
    return forged


class Zones:
    """The resolver of both servers: counts each query, then answers it as
    the state folder says. Each query has its own thread, so a delayed or
    gated answer holds up no other."""

    def __init__(self, address, state):
        self.address = address
        self.state = state
        self.counts = {}
        self.counts_lock = threading.Lock()
        self.gate = threading.Condition()
        self.gated = {}  # zone -> queries that reached its gate

    def count(self, request):
        name = plain_name(request.q.qname)
        with self.counts_lock:
            key = "%s %d" % (name, request.q.qtype)
            self.counts[key] = self.counts.get(key, 0) + 1
            write_atomically(os.path.join(self.state, "counts"),
                             "".join("%s %d\n" % kv for kv in sorted(self.counts.items())))
        records, zones, follow = read_setup(self.state)
        zone, behaviour = behaviour_for(name, zones)
        mode = forced_mode(self.state)
        return records, follow, zone, dict(behaviour, mode=mode) if mode else behaviour

    def wait_at_gate(self, zone, size):
        """Returns once `size` queries of this one's group have come."""
        with self.gate:
            self.gated[zone] = self.gated.get(zone, 0) + 1
            group_end = (self.gated[zone] + size - 1) // size * size
            self.gate.notify_all()
            if not self.gate.wait_for(lambda: self.gated[zone] >= group_end, GATE_SECONDS):
                raise DNSError("gate never opened")

    def send_forged(self, request, kind, handler):
        packet = forged_answer(request, kind).pack()
        if kind == "port":
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                other.bind((self.address, 0))
                other.sendto(packet, handler.client_address)
        else:
            handler.request[1].sendto(packet, handler.client_address)

    def resolve(self, request, handler):
        """The reply; raises DNSError when none is to be sent. Over TCP only
        the records count, not the zone's behaviour."""
        records, follow, zone, behaviour = self.count(request)
        answer = true_answer(request, records, follow)
        mode = behaviour.get("mode", "answer")
        if handler.protocol == "udp":
            if mode == "silent":
                raise DNSError("silent")
            time.sleep(float(behaviour.get("delay", 0)))
            if mode in FAILURE_MODES:
                reply = request.reply()
                reply.header.rcode = getattr(RCODE, mode.upper())
                return reply
            if mode.startswith("spoof-"):
                self.send_forged(request, mode[len("spoof-"):], handler)
                time.sleep(SPOOF_GAP_SECONDS)
            if answer is not None and "gate" in behaviour:
                self.wait_at_gate(zone, int(behaviour["gate"]))
        if answer is None:
            raise DNSError("never answered")
        return answer


class Handler(DNSHandler):
    def get_reply(self, data):
        """An answer too long for a datagram goes out cut, as real servers
        send it: the question alone, with TC set."""
        packed = super().get_reply(data)
        if self.protocol != "udp" or len(packed) <= UDP_LIMIT:
            return packed
        cut = DNSRecord.parse(data).reply()
        cut.header.tc = 1
        return cut.pack()


def serve(sock, server_class, zones):
    """Serves the bound socket `sock` from a thread of its own."""
    server = server_class(sock.getsockname(), Handler, bind_and_activate=False)
    server.socket.close()
    server.socket = sock
    server.daemon_threads = True
    server.resolver = zones
    server.logger = DNSLogger(logf=lambda text: None)
    threading.Thread(target=server.serve_forever, daemon=True).start()


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
    zones = Zones(args.address, args.state)
    serve(sock, socketserver.ThreadingUDPServer, zones)
    serve(listener, socketserver.ThreadingTCPServer, zones)
    write_atomically(os.path.join(args.state, "ready"), "%d\n" % os.getpid())
    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline and os.getppid() == parent:
        time.sleep(POLL_SECONDS)


if __name__ == "__main__":
    main()
