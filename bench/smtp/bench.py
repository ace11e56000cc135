#!/usr/bin/python3
"""Mail throughput direct to a sink and through the gateway, in one run.

usage: bench/smtp/bench.py --daemon PATH --postfix DIR [--scale F]

DIR is an extracted postfix package (usr/sbin/smtp-source, smtp-sink and
usr/lib/postfix). smtp-sink stands in for the mail server; smtp-source sends
the same load first straight to the sink, then to the gateway in front of
it, for each case (sessions x message size). The gateway runs from a
temporary application folder with the shipped configuration and core.cs.
Everything listens on 127.0.0.1; whatever was started is stopped by its PID.
"""
import argparse
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIST = ROOT / "dist"
# (parallel sessions, messages) per case; each message is one SMTP session
# of smtp-source. The counts are scaled by --scale.
LOADS = [(1, 200), (10, 1000), (50, 2000)]
SIZES = [4096, 30720]  # payload bytes of each message (headers come on top)
WARM_UP_MESSAGES = 20
# How long the gateway's CPU use is watched without load.
IDLE_SECONDS = 2.0
# Longest wait for a program to start or stop, and for one smtp-source run.
START_SECONDS = 15.0
RUN_SECONDS = 600.0
POLL_SECONDS = 0.05
# Gateway workers: room for the 50 parallel sessions and a margin.
GATEWAY_WORKERS = 64
READY_LINE = b"START TORVANE ANTISPAM"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    """True when something listens on 127.0.0.1:port (read from /proc, so
    that no probe connection disturbs the measured program)."""
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[1] == want and row[3] == "0A" for row in rows)  # 0A: LISTEN


def wait_for(predicate, what, seconds=START_SECONDS):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(POLL_SECONDS)
    raise SystemExit(f"bench: timed out waiting for {what}")


def cpu_seconds(pid):
    """User plus system CPU seconds the process has used so far."""
    stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime, stime


def stop(process):
    """SIGTERM (the gateway then stops in order), SIGKILL after a while."""
    if process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=START_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=START_SECONDS)


class Postfix:
    """The two test programs of an extracted postfix package."""

    def __init__(self, root):
        self.sbin = pathlib.Path(root) / "usr/sbin"
        self.env = dict(os.environ, LD_LIBRARY_PATH=str(pathlib.Path(root) / "usr/lib/postfix"))

    def start_sink(self, port):
        command = [str(self.sbin / "smtp-sink")]
        if os.geteuid() == 0:
            command += ["-u", "nobody"]  # it refuses to run as root otherwise
        command += [f"127.0.0.1:{port}", "256"]
        sink = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL)
        wait_for(lambda: listening(port) or sink.poll() is not None, "smtp-sink")
        if sink.poll() is not None:
            raise SystemExit("bench: smtp-sink did not start")
        return sink

    def send(self, port, sessions, messages, size):
        """Wall seconds smtp-source takes for the load; None when it failed."""
        command = [str(self.sbin / "smtp-source"), "-c", "-N", "-s", str(sessions),
                   "-m", str(messages), "-l", str(size), "-M", "bench.example",
                   "-f", "sender@bench.example", "-t", "rcpt@bench.example",
                   f"127.0.0.1:{port}"]
        start = time.perf_counter()
        try:
            result = subprocess.run(command, env=self.env, capture_output=True, timeout=RUN_SECONDS)
        except subprocess.TimeoutExpired:
            print(f"bench: smtp-source timed out: {' '.join(command)}", file=sys.stderr)
            return None
        elapsed = time.perf_counter() - start
        if result.returncode != 0:
            print(f"bench: smtp-source failed: {result.stderr.decode(errors='replace').strip()}",
                  file=sys.stderr)
            return None
        return elapsed


def ini_set(text, changes):
    """`text` (an INI file) with {(section, key): value} applied; keys a
    section lacks are added at its end."""
    out, section, pending = [], None, dict(changes)

    def close_section():
        for (sec, key), value in list(pending.items()):
            if sec == section:
                out.append(f"{key}={value}")
                del pending[(sec, key)]

    for line in text.splitlines() + ["[]"]:
        if line.startswith("[") and line.endswith("]"):
            close_section()
            section = line[1:-1]
        elif (section, line.split("=", 1)[0]) in pending:
            line = line.split("=", 1)[0] + "=" + pending.pop((section, line.split("=", 1)[0]))
        out.append(line)
    return "".join(line + "\r\n" for line in out[:-1])


class Gateway:
    """The daemon in a temporary application folder, in front of the sink."""

    def __init__(self, daemon, port, sink_port, extra=None, prepare=None):
        """`prepare(dir)`, when given, finishes the application folder
        before the daemon starts."""
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="torvane-bench-"))
        for sub in ("scripts", "db"):
            if (DIST / sub).is_dir():
                shutil.copytree(DIST / sub, self.dir / sub)
        for sub in ("db", "logs"):  # the daemon keeps its stores and old logs there
            (self.dir / sub).mkdir(exist_ok=True)
        changes = {
            ("CONFIG", "app_path"): str(self.dir), ("CONFIG", "loglevel"): "1",
            ("CONFIG", "listen_ip"): "127.0.0.1", ("CONFIG", "listen_port"): str(port),
            ("CONFIG", "n_max_listen"): str(GATEWAY_WORKERS),
            ("CONFIG", "smtp_server1"): "127.0.0.1", ("CONFIG", "smtp_port1"): str(sink_port),
            ("CONFIG", "smtp_type"): "1", ("CONFIG", "adapter_ip"): "127.0.0.1",
            ("CS_SCRIPT", "enable_cache_script"): "1",
            # Every session comes from 127.0.0.1.
            ("FIREWALL", "max_session_ip"): str(2 * GATEWAY_WORKERS),
            # The client is white-listed for the block lists: this measures
            # the relay and the script, not DNS answers.
            ("DNSBL", "wip_0"): "127.0.0.1|127.0.0.1|bench client",
            **(extra or {}),
        }
        self.config = self.dir / "torvane_antispam.conf"
        example = (DIST / "torvane_antispam.conf").read_text(encoding="latin-1")
        self.config.write_text(ini_set(example, changes), encoding="latin-1")
        if prepare is not None:
            prepare(self.dir)
        self.process = subprocess.Popen([daemon, "-D", f"--config={self.config}"], cwd=self.dir,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        os.set_blocking(self.process.stdout.fileno(), False)
        output = b""

        def ready():
            nonlocal output
            output += self.process.stdout.read() or b""
            return (READY_LINE in output and listening(port)) or self.process.poll() is not None

        try:
            wait_for(ready, "the gateway")
            if self.process.poll() is not None:
                raise SystemExit(f"bench: the gateway did not start: {output.decode(errors='replace')}")
        except SystemExit:
            self.close()
            raise

    def close(self):
        stop(self.process)
        shutil.rmtree(self.dir, ignore_errors=True)


def measure(postfix, port, pid, scale):
    """{(sessions, size): (messages, seconds or None, CPU seconds of pid)}."""
    postfix.send(port, 1, WARM_UP_MESSAGES, SIZES[0])
    results = {}
    for sessions, messages in LOADS:
        messages = max(sessions, int(messages * scale))
        for size in SIZES:
            before = cpu_seconds(pid)
            seconds = postfix.send(port, sessions, messages, size)
            results[(sessions, size)] = (messages, seconds, cpu_seconds(pid) - before)
    return results


def idle_cpu_ms_per_second(pid):
    """CPU milliseconds the process uses per second while no mail comes."""
    before = cpu_seconds(pid)
    time.sleep(IDLE_SECONDS)
    return 1000.0 * (cpu_seconds(pid) - before) / IDLE_SECONDS


def print_table(direct, gateway):
    header = ("sessions", "size", "msgs", "direct/s", "gw/s", "ratio/s", "direct ms",
              "gw ms", "ratio ms", "gw cpu ms")
    print("%8s %6s %6s %9s %9s %8s %9s %9s %8s %9s" % header)
    for key in direct:
        sessions, size = key
        messages, direct_s, _ = direct[key]
        _, gateway_s, gateway_cpu = gateway[key]
        if direct_s is None or gateway_s is None:
            print("%8d %6d %6d   failed (see above)" % (sessions, size, messages))
            continue
        # ms per message: the time one session spends on one message.
        direct_ms = 1000.0 * direct_s * sessions / messages
        gateway_ms = 1000.0 * gateway_s * sessions / messages
        print("%8d %6d %6d %9.1f %9.1f %8.3f %9.2f %9.2f %8.2f %9.3f" % (
            sessions, size, messages, messages / direct_s, messages / gateway_s,
            direct_s / gateway_s, direct_ms, gateway_ms, gateway_ms / direct_ms,
            1000.0 * gateway_cpu / messages))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--daemon", required=True, help="the built torvane-antispam")
    parser.add_argument("--postfix", required=True, help="the extracted postfix package")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the message counts")
    args = parser.parse_args()

    postfix = Postfix(args.postfix)
    sink_port, gateway_port = free_port(), free_port()
    sink = postfix.start_sink(sink_port)
    gateway = None
    try:
        direct = measure(postfix, sink_port, sink.pid, args.scale)
        gateway = Gateway(args.daemon, gateway_port, sink_port)
        through = measure(postfix, gateway_port, gateway.process.pid, args.scale)
        idle = idle_cpu_ms_per_second(gateway.process.pid)
        print_table(direct, through)
        print("gateway idle: %.1f ms CPU per second" % idle)
    finally:
        if gateway is not None:
            gateway.close()
        stop(sink)
    return 0


if __name__ == "__main__":
    sys.exit(main())
