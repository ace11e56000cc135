"""Start-up shared by the loopback test name servers (dns_test_server.py and
dnsbl_test_server.py): the command line, the loopback-only check and binding
the UDP socket. Imported from the scripts' own directory, which Python puts
first on sys.path when it runs a script, whatever the working directory.
"""

import argparse
import socket
import sys


def start_server():
    """Parses --address, --port, --state and --lifetime and binds the UDP
    socket; returns (args, socket). Exits with status 2 when the address
    cannot be bound, so the launcher tries its next address."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=53)
    parser.add_argument("--state", required=True)
    parser.add_argument("--lifetime", type=float, default=300.0)
    args = parser.parse_args()
    if not args.address.startswith("127."):
        sys.exit("loopback addresses only")

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind((args.address, args.port))
    except OSError as err:
        print("cannot bind %s:%d: %s" % (args.address, args.port, err), file=sys.stderr)
        sys.exit(2)
    return args, sock
