#!/usr/bin/python3
"""Test name server for the resolver tests: serves the zone torvane.test over
UDP and TCP on one loopback address, counts the queries it receives, and can
be told to stay silent, to fail or to send forged answers. A UDP answer over
512 bytes goes out cut, with TC set and no records, as real servers do.

Usage: dns_test_server.py --address 127.0.0.61 --state DIR [--port 53]

DIR/ready      written once the socket is bound
DIR/counts     "name type count" lines, rewritten atomically after each query
DIR/mode       read before each answer (absent: "answer"):
                 answer            answer from the zone
                 silent            count the query, send nothing
                 servfail, refused answer with that RCODE
                 spoof-KIND        first a forged answer, then the true one
                 spoof-KIND-only   only the forged answer
               KIND: id (wrong ID), qr (QR bit clear), question (another
               name asked), port (sent from another source port). Forged
               answers claim the address 6.6.6.6.

Exit status 2 when the address cannot be bound. The server stops by itself
when its parent goes away or after --lifetime seconds.
"""

import os
import select
import socket
import time

from dns_test_common import FAILURE_MODES, failure_reply, fit_datagram, serve_tcp_query, start_server
from dnslib import A, CNAME, MX, NS, PTR, QTYPE, RCODE, RR, TXT, DNSQuestion, DNSRecord

FORGED_ADDRESS = "6.6.6.6"
SPOOF_DELAY_SECONDS = 0.05
POLL_SECONDS = 0.2


def long_label(ch):
    return ch * 63


def build_zone():
    """name -> list of (qtype name, rdata). Names are lower case, no final dot."""
    zone = {
        "a.torvane.test": [("A", A("192.0.2.10"))],
        "mx2.torvane.test": [("MX", MX("mail1.torvane.test", 10)), ("MX", MX("mail2.torvane.test", 20))],
        "ns.torvane.test": [("NS", NS("ns1.torvane.test")), ("NS", NS("ns2.torvane.test"))],
        "txt1.torvane.test": [("TXT", TXT("v=spf1 -all"))],
        "txt2.torvane.test": [("TXT", TXT(["ab", "cd"]))],
        # Six records of 100 bytes each: over 512 bytes, so UDP gets TC.
        "big.torvane.test": [("TXT", TXT("%d" % i + "x" * 99)) for i in range(6)],
        "1.2.0.192.in-addr.arpa": [("PTR", PTR("host1.torvane.test"))],
        "hop1.torvane.test": [("CNAME", CNAME("a.torvane.test"))],
        "loop.torvane.test": [("CNAME", CNAME("loop.torvane.test"))],
        # Long exchange names push the shared suffix of the last two past
        # offset 255, so the last one is a pointer above 255.
        "far.torvane.test": [
            ("MX", MX(long_label("a") + "." + long_label("b") + ".torvane.test", 10)),
            ("MX", MX(long_label("c") + "." + long_label("d") + ".far.torvane.test", 20)),
            ("MX", MX("mx." + long_label("d") + ".far.torvane.test", 30)),
        ],
        "many51.torvane.test": [("A", A("10.0.0.%d" % i)) for i in range(1, 52)],
        "many60.torvane.test": [("A", A("10.0.1.%d" % i)) for i in range(1, 61)],
    }
    for hop in range(2, 10):
        zone["hop%d.torvane.test" % hop] = [("CNAME", CNAME("hop%d.torvane.test" % (hop - 1)))]
    return zone


ZONE = build_zone()


def true_answer(request):
    reply = request.reply()
    name = str(request.q.qname).rstrip(".").lower()
    qtype = QTYPE[request.q.qtype]
    if name not in ZONE:
        reply.header.rcode = RCODE.NXDOMAIN
        return reply
    for rtype, rdata in ZONE[name]:
        if rtype == qtype or rtype == "CNAME":
            reply.add_answer(RR(request.q.qname, getattr(QTYPE, rtype), rdata=rdata, ttl=300))
    return reply


def forged_answer(request, kind):
    if kind == "question":
        forged = DNSRecord(request.header, q=DNSQuestion("forged." + str(request.q.qname), request.q.qtype))
        forged = forged.reply()
    else:
        forged = request.reply()
    forged.add_answer(RR(forged.q.qname, QTYPE.A, rdata=A(FORGED_ADDRESS), ttl=300))
    if kind == "id":
        forged.header.id = (request.header.id + 1) & 0xFFFF
    if kind == "qr":
        forged.header.qr = 0
    return forged


def write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as out:
        out.write(text)
        out.flush()
        os.fsync(out.fileno())
    os.replace(tmp, path)


def count_query(request, state, counts):
    key = "%s %d" % (str(request.q.qname).rstrip(".").lower(), request.q.qtype)
    counts[key] = counts.get(key, 0) + 1
    write_atomically(os.path.join(state, "counts"), "".join("%s %d\n" % kv for kv in sorted(counts.items())))


def read_mode(state):
    try:
        with open(os.path.join(state, "mode")) as f:
            return f.read().strip() or "answer"
    except OSError:
        return "answer"


def serve_one(sock, address, state, data, peer, counts):
    try:
        request = DNSRecord.parse(data)
    except Exception:  # a malformed query is only ignored
        return
    count_query(request, state, counts)

    mode = read_mode(state)
    if mode == "silent":
        return
    if mode in FAILURE_MODES:
        sock.sendto(failure_reply(request, mode), peer)
        return
    if mode.startswith("spoof-"):
        kind = mode[len("spoof-"):]
        only = kind.endswith("-only")
        kind = kind[: -len("-only")] if only else kind
        forged = forged_answer(request, kind).pack()
        if kind == "port":
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                other.bind((address, 0))
                other.sendto(forged, peer)
        else:
            sock.sendto(forged, peer)
        if only:
            return
        time.sleep(SPOOF_DELAY_SECONDS)
    sock.sendto(fit_datagram(request, true_answer(request).pack()), peer)


def answer_over_tcp(request, state, counts):
    count_query(request, state, counts)
    return true_answer(request).pack()


def main():
    args, sock, listener = start_server()
    write_atomically(os.path.join(args.state, "ready"), "%d\n" % os.getpid())

    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime
    counts = {}
    while time.monotonic() < deadline and os.getppid() == parent:
        readable, _, _ = select.select([sock, listener], [], [], POLL_SECONDS)
        if sock in readable:
            data, peer = sock.recvfrom(4096)
            serve_one(sock, args.address, args.state, data, peer, counts)
        if listener in readable:
            serve_tcp_query(listener, lambda request: answer_over_tcp(request, args.state, counts))


if __name__ == "__main__":
    main()
