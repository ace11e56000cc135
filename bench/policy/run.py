#!/usr/bin/python3
"""The shipped policy on real mail: accuracy and cost, against peers
measured in the same run.

    bench/policy/run.py BUILD_DIR [CORPUS_DATA_DIR] [--sessions N] [--rounds R]

The corpus and its split are bench/bayes's (SpamAssassin public corpus,
even ids train, odd ids test). The gateway runs from a temporary folder with
the shipped configuration and dist/scripts/antispam/core.cs, changed only
where a benchmark must: loopback addresses and ports, greylisting off (each
message comes once, from 127.0.0.1), a session limit for the parallel
client. Its Bayes stores are trained with torvane-bayes on the even half
before it starts. Every DNS question goes to a local name server with no
zones (each name answers NXDOMAIN): block lists list nobody, SPF finds no
policy, the community service is not configured.

The odd half is then sent through the gateway, one SMTP session per message,
N sessions at a time (default 4), each message to its own recipient so the
downstream sink (sink.py) can say what became of it: delivered with status
"No", delivered tagged "Yes", or refused (counted by the client). The same
load goes through a second gateway whose script only relays (relay_only.cs);
the two take turns, R rounds each (default 3): the policy's first round
gives the verdicts, each gateway's fastest round its speed. The test half
is also classified by bogofilter alone, trained on the same half (as
bench/bayes does it; its speed is its classifying time, no SMTP).

Printed: FP (ham tagged or refused) and FN (spam delivered untagged) in %,
messages per second, the gateway's CPU milliseconds per message, and the
policy's throughput as a share of the relay-only one.
"""
import argparse
import concurrent.futures
import importlib.util
import json
import os
import pathlib
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
RECIPIENT_DOMAIN = "bench.example"
ENVELOPE_SENDER = "sender@bench.example"
SMTP_SECONDS = 60.0
WARM_UP = 20  # messages sent before each measured replay
EMPTY_ZONES = {"records": {}}


def load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The gateway set-up and the process helpers are bench/smtp's; the corpus
# split and the peer classifier are bench/bayes's.
smtp_bench = load_module("smtp_bench", ROOT / "bench" / "smtp" / "bench.py")
bayes_bench = load_module("bayes_bench", ROOT / "bench" / "bayes" / "run.py")


def message_bytes(path):
    """The corpus file as SMTP carries it: CRLF line ends, no mbox "From "
    line in front."""
    data = path.read_bytes()
    if data.startswith(b"From "):
        data = data.split(b"\n", 1)[1] if b"\n" in data else b""
    lines = data.replace(b"\r\n", b"\n").split(b"\n")
    return b"\r\n".join(lines)


def send_one(port, recipient, data):
    """'refused' when the gateway refused the message, else 'sent'."""
    try:
        with smtplib.SMTP("127.0.0.1", port, timeout=SMTP_SECONDS) as client:
            client.ehlo("client.bench.example")
            client.sendmail(ENVELOPE_SENDER, [f"{recipient}@{RECIPIENT_DOMAIN}"], data)
        return "sent"
    except smtplib.SMTPDataError as error:
        if 500 <= error.smtp_code < 600:
            return "refused"
        raise
    except smtplib.SMTPRecipientsRefused:
        return "refused"


def replay(port, messages, sessions, prefix):
    """Sends message i to recipient PREFIXi; {i: 'sent'|'refused'} and the
    wall seconds."""
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(sessions) as pool:
        futures = {pool.submit(send_one, port, f"{prefix}{i}", data): i for i, data in enumerate(messages)}
        outcome = {futures[f]: f.result() for f in concurrent.futures.as_completed(futures)}
    return outcome, time.monotonic() - start


def delivered_status(sink_file, prefix):
    """{i: status} of the messages to recipients PREFIX<i> the sink received."""
    status = {}
    for line in sink_file.read_text().splitlines():
        recipient, _, value = line.partition("\t")
        local = recipient.strip("<>").split("@")[0]
        if local.startswith(prefix) and local[len(prefix):].isdigit():
            status[int(local[len(prefix):])] = value
    return status


class Sink:
    def __init__(self, workdir):
        self.port = smtp_bench.free_port()
        self.file = workdir / f"sink-{self.port}.txt"
        self.file.write_text("")
        self.process = subprocess.Popen([sys.executable, str(HERE / "sink.py"), str(self.port), str(self.file)])
        smtp_bench.wait_for(lambda: smtp_bench.listening(self.port) or self.process.poll() is not None,
                            "the sink")

    def close(self):
        smtp_bench.stop(self.process)


class NameServer:
    """tests' name server on the first 127.0.53.x whose port 53 is free."""

    def __init__(self, workdir):
        server = ROOT / "tests" / "unit" / "engines" / "dns_test_server.py"
        state = workdir / "dns"
        state.mkdir()
        (state / "zones.json").write_text(json.dumps(EMPTY_ZONES))
        for last in range(1, 20):
            self.address = f"127.0.53.{last}"
            self.process = subprocess.Popen([sys.executable, str(server), "--address", self.address,
                                             "--state", str(state), "--lifetime", "7200"])
            smtp_bench.wait_for(lambda: (state / "ready").exists() or self.process.poll() is not None,
                                "the name server")
            if self.process.poll() is None:
                return
        raise SystemExit("bench: no 127.0.53.x address has port 53 free")

    def close(self):
        smtp_bench.stop(self.process)


def gateway_changes(name_server, sessions, script):
    return {
        ("CONFIG", "loglevel"): "0",
        ("DNS", "nameserver_0"): name_server.address,
        ("GREYLIST", "enable_greylist"): "0",
        ("FIREWALL", "max_session_ip"): str(2 * sessions),
        ("CS_SCRIPT", "cs_0"): f"1|{script}",
        # bench/smtp white-lists the client for the block lists; here they
        # are asked like any client's.
        ("DNSBL", "wip_0"): "",
    }


def train(build, split, workdir):
    """Trains a fresh set of Bayes stores on the even half; their db/ folder."""
    stores = workdir / "trained"
    (stores / "db").mkdir(parents=True)
    spam = bayes_bench.link_folder(split[("train", "spam")], workdir / "train-spam")
    ham = bayes_bench.link_folder(split[("train", "ham")], workdir / "train-ham")
    config = workdir / "train.conf"
    config.write_text((ROOT / "dist" / "torvane_antispam.conf").read_text(encoding="latin-1"),
                      encoding="latin-1")
    subprocess.run([str(build / "torvane-bayes"), f"--config={config}", f"--app-path={stores}", "train",
                    "--spam", str(spam), "--ham", str(ham)], check=True, capture_output=True)
    return stores / "db"


class Lane:
    """A gateway in front of its own sink."""

    def __init__(self, build, changes, trained_db):
        self.sink = Sink(pathlib.Path(tempfile.mkdtemp(prefix="torvane-policy-sink-")))
        self.gateway = None

        def prepare(app_dir):
            if trained_db is not None:
                shutil.copytree(trained_db, app_dir / "db", dirs_exist_ok=True)
            shutil.copy(HERE / "relay_only.cs", app_dir / "scripts" / "antispam" / "relay_only.cs")

        try:
            self.port = smtp_bench.free_port()
            self.gateway = smtp_bench.Gateway(str(build / "torvane-antispam"), self.port, self.sink.port,
                                              changes, prepare=prepare)
        except BaseException:
            self.close()
            raise

    def run(self, messages, sessions, prefix):
        """Replays `messages` to recipients PREFIX<i>; (outcome, status,
        seconds, gateway CPU seconds)."""
        pid = self.gateway.process.pid
        cpu_before = smtp_bench.cpu_seconds(pid)
        outcome, seconds = replay(self.port, messages, sessions, prefix)
        cpu = smtp_bench.cpu_seconds(pid) - cpu_before
        sent = sum(1 for v in outcome.values() if v == "sent")
        smtp_bench.wait_for(lambda: len(delivered_status(self.sink.file, prefix)) >= sent,
                            "the sink's records", seconds=SMTP_SECONDS)
        return outcome, delivered_status(self.sink.file, prefix), seconds, cpu

    def close(self):
        if self.gateway is not None:
            self.gateway.close()
        self.sink.close()
        shutil.rmtree(self.sink.file.parent, ignore_errors=True)


def verdicts(outcome, status, count):
    """Per message: True when the gateway called it spam (tagged or refused)."""
    called = []
    for i in range(count):
        if outcome[i] == "refused":
            called.append(True)
        elif i not in status:
            raise SystemExit(f"bench: message {i} was accepted but never delivered")
        else:
            called.append(status[i].lower().startswith("yes"))
    return called


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("corpus", nargs="?", default=str(bayes_bench.DEFAULT_CORPUS))
    parser.add_argument("--sessions", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    if shutil.which("bogofilter") is None:
        sys.exit("bogofilter is not installed (apt-get install bogofilter)")
    split = bayes_bench.corpus_split(pathlib.Path(args.corpus))
    tests = split[("test", "spam")] + split[("test", "ham")]
    truth = [True] * len(split[("test", "spam")]) + [False] * len(split[("test", "ham")])
    messages = [message_bytes(path) for path in tests]

    with tempfile.TemporaryDirectory(prefix="torvane-policy-") as temp:
        workdir = pathlib.Path(temp)
        name_server = NameServer(workdir)
        lanes = {}
        try:
            trained = train(build, split, workdir)
            lanes["policy"] = Lane(build, gateway_changes(name_server, args.sessions, "core.cs"), trained)
            lanes["relay"] = Lane(build, gateway_changes(name_server, args.sessions, "relay_only.cs"), None)
            runs = {name: [] for name in lanes}
            for round_no in range(args.rounds):
                # Alternating the order shares the machine's noise out evenly.
                order = list(lanes) if round_no % 2 == 0 else list(reversed(lanes))
                for name in order:
                    lanes[name].run(messages[:WARM_UP], args.sessions, f"warm{round_no}-")
                    runs[name].append(lanes[name].run(messages, args.sessions, f"r{round_no}-"))
        finally:
            for lane in lanes.values():
                lane.close()
            name_server.close()
        peer = bayes_bench.run_peer(split, workdir)

    # The verdicts of the first round; the fastest round of each lane.
    policy = runs["policy"][0]
    best = {name: min(rounds, key=lambda run: run[2]) for name, rounds in runs.items()}
    called = verdicts(policy[0], policy[1], len(messages))
    spam, ham = sum(truth), len(truth) - sum(truth)
    fp = 100 * sum(1 for c, t in zip(called, truth) if c and not t) / ham
    fn = 100 * sum(1 for c, t in zip(called, truth) if not c and t) / spam
    refused = sum(1 for v in policy[0].values() if v == "refused")
    rate = {name: len(messages) / run[2] for name, run in best.items()}
    cpu_ms = {name: 1000 * run[3] / len(messages) for name, run in best.items()}
    print(f"test half: {spam} spam, {ham} ham; {args.sessions} sessions at a time; {refused} refused; "
          f"best of {args.rounds} rounds")
    print(f"{'what':<28} {'FP %':>6} {'FN %':>6} {'msg/s':>8} {'cpu ms/msg':>11}")
    print(f"{'gateway, shipped policy':<28} {fp:6.2f} {fn:6.2f} {rate['policy']:8.1f} {cpu_ms['policy']:11.2f}")
    print(f"{'gateway, relay only':<28} {'':>6} {'':>6} {rate['relay']:8.1f} {cpu_ms['relay']:11.2f}")
    print(f"{'bogofilter alone (peer)':<28} {peer.fp:6.2f} {peer.fn:6.2f} "
          f"{1000 / peer.ms_per_message:8.1f} {peer.ms_per_message:11.2f}")
    print(f"policy throughput / relay-only throughput: {rate['policy'] / rate['relay']:.2f}")


if __name__ == "__main__":
    main()
