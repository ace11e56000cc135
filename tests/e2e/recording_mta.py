#!/usr/bin/python3
"""A recording downstream MTA (aiosmtpd) on 127.0.0.1: DIR/ready, transcript.jsonl, msg-N.json and msg-N.eml."""

import argparse
import asyncio
import json
import logging
import os
import signal
import ssl
import time

from aiosmtpd.smtp import SMTP

HOSTNAME = "mta.recording.test"
IDENT = "recording MTA ready"
PARENT_POLL_SECONDS = 0.5
# A BDAT chunk larger than this is refused rather than buffered.
MAX_BDAT_CHUNK = 64 << 20


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as out:
        out.write(data)
    os.replace(tmp, path)


class Recorder:
    """Appends transcript events and stores messages under one directory."""

    def __init__(self, directory):
        self.directory = directory
        self.transcript = open(os.path.join(directory, "transcript.jsonl"), "a")
        self.connections = 0
        self.messages = 0

    def event(self, conn, direction, data):
        record = {"conn": conn, "dir": direction, "data": data.decode("latin-1")}
        self.transcript.write(json.dumps(record) + "\n")
        self.transcript.flush()

    def message(self, conn, envelope, content, helo, xclient, tls):
        self.messages += 1
        stem = os.path.join(self.directory, "msg-%d" % self.messages)
        write_atomically(stem + ".eml", content)
        info = {"conn": conn, "mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos, "helo": helo,
                "xclient": xclient, "tls": tls}
        write_atomically(stem + ".json", json.dumps(info).encode())


class Handler:
    def __init__(self, options):
        self.options = options

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.options.bdat:
            responses.insert(1, "250-CHUNKING")
        if self.options.xclient:
            responses.insert(1, "250-XCLIENT NAME ADDR PROTO HELO")
        if self.options.starttls:
            responses[-1] = "250-" + responses[-1][4:]
            responses.append("250 STARTTLS")
        return responses

    async def handle_DATA(self, server, session, envelope):
        server.recorder.message(server.conn, envelope, envelope.original_content, session.host_name,
                                server.xclient, session.ssl is not None)
        return "250 OK queued as %d" % server.recorder.messages


class RecordingSMTP(SMTP):
    def __init__(self, recorder, options, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.recorder = recorder
        self.options = options
        recorder.connections += 1
        self.conn = recorder.connections
        self.pending_reply = b""
        self.chunks = []
        self.xclient = {}

    def data_received(self, data):
        self.recorder.event(self.conn, "in", data)
        super().data_received(data)

    async def push(self, status):
        line = status.encode("latin-1") if isinstance(status, str) else status
        self.pending_reply += line + b"\r\n"
        if line[3:4] == b"-":  # a continuation line: wait for the last one
            return
        reply, self.pending_reply = self.pending_reply, b""
        self.recorder.event(self.conn, "out", reply)
        self._writer.write(reply)
        await self._writer.drain()

    async def smtp_XCLIENT(self, arg):
        if not self.options.xclient:
            await self.push('500 Error: command "XCLIENT" not recognized')
            return
        if self.options.xclient.startswith("2"):
            self.xclient = dict(word.split("=", 1) for word in (arg or "").split() if "=" in word)
            self.session.host_name = None
            self._set_rset_state()
        await self.push(self.options.xclient)

    async def smtp_BDAT(self, arg):
        if not self.options.bdat:
            await self.push('500 Error: command "BDAT" not recognized')
            return
        words = (arg or "").split()
        if not words or not words[0].isdigit() or int(words[0]) > MAX_BDAT_CHUNK:
            await self.push("501 Syntax: BDAT size [LAST]")
            return
        self.chunks.append(await self._reader.readexactly(int(words[0])))
        if len(words) > 1 and words[1].upper() == "LAST":
            content, self.chunks = b"".join(self.chunks), []
            self.recorder.message(self.conn, self.envelope, content, self.session.host_name, self.xclient,
                                  self.session.ssl is not None)
            await self.push("250 OK queued as %d" % self.recorder.messages)
            self._set_post_data_state()
        else:
            await self.push("250 OK chunk of %s bytes" % words[0])


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--bdat", action="store_true")
    parser.add_argument("--starttls", action="store_true")
    parser.add_argument("--lifetime", type=float, default=300.0)
    parser.add_argument("--xclient", default="")
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    return parser.parse_args()


async def serve(options):
    loop = asyncio.get_running_loop()
    recorder = Recorder(options.dir)
    handler = Handler(options)
    tls = None
    if options.tls_cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(options.tls_cert, options.tls_key)
    server = await loop.create_server(
        lambda: RecordingSMTP(recorder, options, handler, hostname=HOSTNAME, ident=IDENT, loop=loop,
                              tls_context=tls),
        host="127.0.0.1", port=0)
    port = server.sockets[0].getsockname()[1]
    write_atomically(os.path.join(options.dir, "ready"), b"%d\n" % port)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    parent = os.getppid()
    deadline = time.monotonic() + options.lifetime
    while not stop.is_set() and time.monotonic() < deadline and os.getppid() == parent:
        try:
            await asyncio.wait_for(stop.wait(), PARENT_POLL_SECONDS)
        except asyncio.TimeoutError:
            pass
    server.close()


def main():
    # The library logs every unknown command a test sends on purpose.
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    asyncio.run(serve(parse_args()))


if __name__ == "__main__":
    main()
