#!/usr/bin/python3
"""TLS row of the SMTP benchmark: the same load of STARTTLS sessions (Python's
smtplib, one session per message) sent straight to a TLS sink and then
through the gateway in front of that sink, in one run. smtp-source cannot
speak TLS. The sink (aiosmtpd, STARTTLS with a throw-away certificate)
discards every message; the gateway encrypts both legs (its own certificate
towards the client, STARTTLS towards the sink). Never run by CI.

Usage: tls_bench.py --daemon build/torvane-antispam [--scale 1]
"""
import argparse
import asyncio
import concurrent.futures
import pathlib
import shutil
import smtplib
import ssl
import subprocess
import sys
import tempfile
import time

import bench

LOADS = [(1, 100), (10, 400)]  # (parallel sessions, messages)
SIZE = 4096
SINK = r'''
import asyncio, ssl, sys
from aiosmtpd.smtp import SMTP
class Discard:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"
async def main():
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.load_cert_chain(sys.argv[2], sys.argv[3])
    loop = asyncio.get_running_loop()
    await loop.create_server(lambda: SMTP(Discard(), tls_context=tls, hostname="sink.bench"),
                             host="127.0.0.1", port=int(sys.argv[1]))
    await asyncio.Event().wait()
asyncio.run(main())
'''


def certificate(directory, name):
    cert, key = directory / f"{name}.pem", directory / f"{name}.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", f"/CN={name}", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    return cert, key


def one_message(port, body):
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    with smtplib.SMTP("127.0.0.1", port, timeout=60) as client:
        client.ehlo("load.bench")
        client.starttls(context=context)
        client.ehlo("load.bench")
        client.sendmail("sender@bench.example", ["rcpt@bench.example"], body)


def send(port, sessions, messages):
    """Wall seconds for `messages` STARTTLS sessions, `sessions` at a time."""
    body = b"Subject: bench\r\n\r\n" + (b"x" * 78 + b"\r\n") * (SIZE // 80)
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(sessions) as pool:
        for result in [pool.submit(one_message, port, body) for _ in range(messages)]:
            result.result()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    folder = pathlib.Path(tempfile.mkdtemp(prefix="torvane-tls-bench-"))
    sink_cert, sink_key = certificate(folder, "sink")
    gw_cert, gw_key = certificate(folder, "gateway")
    sink_port, gw_port = bench.free_port(), bench.free_port()
    sink = subprocess.Popen([sys.executable, "-c", SINK, str(sink_port), str(sink_cert), str(sink_key)])
    gateway = None
    try:
        bench.wait_for(lambda: bench.listening(sink_port), "the TLS sink")
        gateway = bench.Gateway(str(pathlib.Path(args.daemon).resolve()), gw_port, sink_port, {
            ("TLS", "enable"): "1", ("TLS", "cert_file"): str(gw_cert), ("TLS", "key_file"): str(gw_key),
            ("MTA", "tls"): "may", ("GREYLIST", "enable_greylist"): "0"})
        pid = gateway.process.pid
        send(gw_port, 1, 10)  # warm-up: scripts compiled, workers started
        send(sink_port, 1, 10)
        print("%8s %6s %9s %9s %8s %9s" % ("sessions", "msgs", "direct/s", "gw/s", "ratio/s", "gw cpu ms"))
        for sessions, messages in LOADS:
            messages = max(sessions, int(messages * args.scale))
            direct = send(sink_port, sessions, messages)
            before = bench.cpu_seconds(pid)
            through = send(gw_port, sessions, messages)
            cpu = bench.cpu_seconds(pid) - before
            print("%8d %6d %9.1f %9.1f %8.3f %9.3f" % (sessions, messages, messages / direct, messages / through,
                                                      direct / through, 1000.0 * cpu / messages), flush=True)
    finally:
        if gateway is not None:
            gateway.close()
        bench.stop(sink)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
