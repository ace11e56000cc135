#!/usr/bin/python3
"""demo-mta.py - the downstream mail server of the quick start (tools/run).

Listens on a loopback address, accepts every message and prints what it got:
the envelope, the header lines and the size. Nothing is stored or forwarded.

    demo-mta.py [--host 127.0.0.1] [--port 2526]

It runs until SIGINT or SIGTERM.
"""
import argparse
import signal
import sys
import threading

from aiosmtpd.controller import Controller

# A message's header block is printed up to this many lines, each cut to
# this many characters: what a client sends is not to be trusted.
MAX_HEADER_LINES = 40
MAX_LINE_CHARS = 200


def printable(data):
    """Text or bytes as one printable line (control characters become '?')."""
    text = (data.decode("latin-1") if isinstance(data, bytes) else data)[:MAX_LINE_CHARS]
    return "".join(c if c.isprintable() else "?" for c in text)


def header_lines(content):
    """The header lines of a message, continuation lines kept apart."""
    head = content.split(b"\r\n\r\n", 1)[0]
    return head.split(b"\r\n")


class PrintingHandler:
    """Accepts every message and prints a summary of it."""

    async def handle_DATA(self, server, session, envelope):
        content = envelope.original_content or envelope.content
        lines = [f"demo-mta: message from {session.peer[0]}",
                 f"  MAIL FROM: <{printable(envelope.mail_from)}>"]
        lines += [f"  RCPT TO:   <{printable(rcpt)}>" for rcpt in envelope.rcpt_tos]
        headers = header_lines(content)
        lines += ["  | " + printable(line) for line in headers[:MAX_HEADER_LINES]]
        if len(headers) > MAX_HEADER_LINES:
            lines.append(f"  | ... {len(headers) - MAX_HEADER_LINES} more header lines")
        lines.append(f"  size: {len(content)} bytes")
        print("\n".join(lines), flush=True)
        return "250 2.0.0 Ok: accepted by the demo MTA"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=2526)
    args = parser.parse_args()

    controller = Controller(PrintingHandler(), hostname=args.host, port=args.port)
    controller.start()
    print(f"demo-mta: listening on {args.host}:{args.port}", flush=True)
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    stop.wait()
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
