#!/usr/bin/python3
"""bench/web/run.py BUILD_DIR [BEFORE_BUILD_DIR]: the daemon's web server
against Python's threading http.server, serving the same files in the same
run, under `ab -k -c 10` (apache2-utils): a 1 KB file, a 1 MB file, and a
trivial page script (whose rate is compared with the daemon's own 1 KB
rate). Prints requests per second and the ratios; with a second build
(an earlier version), its daemon is measured in the same run as well.
Loopback only; everything it starts is stopped by its PID."""
import http.server
import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CONCURRENCY = 10
REQUESTS = {"1k.bin": 20000, "1m.bin": 500, "page.htmcc": 5000}
PAGE = ('CS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\n'
        'int html() { cs.echo("<p>hello</p>"); return 1; }\n')


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    sys.exit(f"nothing listens on port {port}")


def ab(port, name):
    done = subprocess.run(["ab", "-q", "-k", "-c", str(CONCURRENCY), "-n", str(REQUESTS[name]),
                           f"http://127.0.0.1:{port}/{name}"], capture_output=True, text=True, timeout=600)
    out = done.stdout
    if "Failed requests" not in out:
        sys.exit(f"ab failed for {name} on port {port}: {done.stderr.strip()}")
    failed = int(re.search(r"Failed requests:\s+(\d+)", out).group(1))
    rate = float(re.search(r"Requests per second:\s+([\d.]+)", out).group(1))
    if failed:
        sys.exit(f"ab: {failed} failed requests for {name} on port {port}")
    return rate


class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 64  # ab opens its connections at once


class Handler(http.server.SimpleHTTPRequestHandler):
    # HTTP/1.0 and a close after each answer: the handler does not answer
    # ab's HTTP/1.0 keep-alive request with the header ab waits for.
    def log_message(self, *args):
        pass


def measure_daemon(binary, work, www):
    """ab's rates of each file of REQUESTS served by the daemon `binary`."""
    web_port, smtp_port = free_port(), free_port()
    config = {"CONFIG": {"app_path": str(work), "krnversion": "3.0.1", "loglevel": "1", "listen_ip": "127.0.0.1",
                         "listen_port": str(smtp_port)},
              "WEBGUI": {"listen": "127.0.0.1", "port": str(web_port), "maxconn": "64", "path": str(www)},
              "CS_SCRIPT": {"enable": "0"}}
    (work / "torvane.conf").write_text("".join(f"[{s}]\r\n" + "".join(f"{k}={v}\r\n" for k, v in keys.items())
                                               for s, keys in config.items()))
    daemon = subprocess.Popen([str(binary), "-D", f"--config={work / 'torvane.conf'}"],
                              cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_listening(web_port)
        return {name: ab(web_port, name) for name in REQUESTS}
    finally:
        os.kill(daemon.pid, signal.SIGTERM)
        daemon.wait(timeout=30)


def main():
    builds = [pathlib.Path(arg).resolve() for arg in sys.argv[1:3]] or [pathlib.Path("build").resolve()]
    base = pathlib.Path(tempfile.mkdtemp(prefix="web-bench-"))
    www = base / "www"
    www.mkdir()
    (www / "1k.bin").write_bytes(os.urandom(1024))
    (www / "1m.bin").write_bytes(os.urandom(1024 * 1024))
    (www / "page.htmcc").write_text(PAGE)
    rates = []
    for number, build in enumerate(builds):
        work = base / f"daemon{number}"
        (work / "db").mkdir(parents=True)
        rates.append(measure_daemon(build / "torvane-antispam", work, www))
    python_port = free_port()
    peer = Server(("127.0.0.1", python_port), lambda *a: Handler(*a, directory=str(www)))
    threading.Thread(target=peer.serve_forever, daemon=True).start()
    try:
        theirs = {name: ab(python_port, name) for name in ("1k.bin", "1m.bin")}
    finally:
        peer.shutdown()
    print(f"| what (ab -k -c {CONCURRENCY}) | daemon | daemon req/s | Python http.server req/s | ratio | goal |")
    print("|---|---|---|---|---|---|")
    labels = ["this build", "before"] if len(builds) > 1 else ["this build"]
    for ours, label in zip(rates, labels):
        for name, goal in (("1k.bin", 2.0), ("1m.bin", 1.0)):
            print(f"| {name} | {label} | {ours[name]:.0f} | {theirs[name]:.0f} | {ours[name] / theirs[name]:.2f} "
                  f"| >= {goal} |")
        print(f"| page.htmcc | {label} | {ours['page.htmcc']:.0f} | (daemon 1k.bin {ours['1k.bin']:.0f}) | "
              f"{ours['page.htmcc'] / ours['1k.bin']:.2f} | >= 0.5 |")


if __name__ == "__main__":
    main()
