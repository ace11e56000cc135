#!/usr/bin/python3
"""The downstream mail server of bench/policy: takes every message and
writes one line per delivered message to FILE:

    RECIPIENT<TAB>STATUS

STATUS is the value of the gateway's "X-Torvane-Status" header (empty when
the message has none). Nothing else is kept, so the sink costs the benchmark
as little as possible.

usage: sink.py PORT FILE        (listens on 127.0.0.1; stops on SIGTERM or
                                 when its parent goes away)
"""
import asyncio
import email.parser
import email.policy
import os
import signal
import sys

from aiosmtpd.smtp import SMTP

STATUS_HEADER = "X-Torvane-Status"
PARENT_POLL_SECONDS = 0.5


class LongLineSMTP(SMTP):
    # Mail in the wild has lines far over the standard's 1000 bytes; the
    # gateway relays them, so the sink takes them too.
    line_length_limit = 1 << 20


class Handler:
    def __init__(self, out):
        self.out = out
        self.headers = email.parser.BytesHeaderParser(policy=email.policy.compat32)

    async def handle_DATA(self, server, session, envelope):
        message = self.headers.parsebytes(envelope.original_content)
        status = " ".join((message.get(STATUS_HEADER) or "").split())  # unfolded
        for recipient in envelope.rcpt_tos:
            self.out.write(f"{recipient}\t{status}\n")
        self.out.flush()
        return "250 OK"


async def serve(port, path):
    loop = asyncio.get_running_loop()
    with open(path, "a") as out:
        handler = Handler(out)
        server = await loop.create_server(lambda: LongLineSMTP(handler, hostname="sink.bench", loop=loop),
                                          host="127.0.0.1", port=port)
        stop = asyncio.Event()
        loop.add_signal_handler(signal.SIGTERM, stop.set)
        parent = os.getppid()
        while not stop.is_set() and os.getppid() == parent:
            try:
                await asyncio.wait_for(stop.wait(), PARENT_POLL_SECONDS)
            except asyncio.TimeoutError:
                pass
        server.close()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    asyncio.run(serve(int(sys.argv[1]), sys.argv[2]))
