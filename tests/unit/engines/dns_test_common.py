"""What the loopback test name servers (dns_test_server.py and
dnsbl_test_server.py) share: the command line, the loopback-only check,
binding the UDP and TCP sockets, cutting long datagram answers and reading a
query over TCP. Imported from the scripts' own directory, which Python puts
first on sys.path when it runs a script, whatever the working directory.
"""

import argparse
import socket
import struct
import sys

from dnslib import RCODE, DNSRecord

# Modes that answer at once with a failure RCODE.
FAILURE_MODES = ("servfail", "refused")

# The largest answer a plain UDP query may get (no EDNS).
UDP_LIMIT = 512
# Longest wait for the rest of a TCP query.
TCP_READ_SECONDS = 2.0


def start_server():
    """Parses --address, --port, --state and --lifetime and binds the UDP
    and the TCP socket; returns (args, udp socket, tcp listener). Exits with
    status 2 when the address cannot be bound, so the launcher tries its
    next address."""
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


def fit_datagram(request, packed):
    """`packed` when it fits a datagram, else the cut answer: the question
    alone with TC set, as real servers send it."""
    if len(packed) <= UDP_LIMIT:
        return packed
    cut = request.reply()
    cut.header.tc = 1
    return cut.pack()


def failure_reply(request, mode):
    """The packed reply to `request` with the RCODE a FAILURE_MODES mode names."""
    reply = request.reply()
    reply.header.rcode = getattr(RCODE, mode.upper())
    return reply.pack()


def _read_exactly(conn, n):
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
            length = struct.unpack("!H", _read_exactly(conn, 2))[0]
            request = DNSRecord.parse(_read_exactly(conn, length))
            packed = answer_for(request)
            if packed is not None:
                conn.sendall(struct.pack("!H", len(packed)) + packed)
        except Exception:  # a broken or abandoned query is only ignored
            pass
