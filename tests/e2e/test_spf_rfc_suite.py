"""The RFC 7208 suite (data/spf/rfc7208-tests.yml) through strict torvane-spf; IPv4 clients, results only."""
import pathlib
import subprocess

import pytest

from conftest import build_dir, ini

yaml = pytest.importorskip("yaml")

SUITE = pathlib.Path(__file__).resolve().parent / "data" / "spf" / "rfc7208-tests.yml"
# Passing tests of the 176 with an IPv4 client (this engine passes them all).
REQUIRED_SCORE = 175
# Per-attempt wait: TIMEOUT names cost this much.
DNS_TIMEOUT_MS = 400


def served_records(zonedata):
    """{name: [[kind, value, ...]]} as the test name server takes them."""
    records = {}
    for name, entries in zonedata.items():
        has_txt = any(isinstance(e, dict) and "TXT" in e for e in entries)
        served = []
        for entry in entries:
            if entry == "TIMEOUT":
                served.append(["TIMEOUT"])
                continue
            (kind, value), = entry.items()
            if kind == "SPF" and has_txt:
                continue
            if kind in ("SPF", "TXT"):
                if value != "NONE":
                    served.append(["TXT", *(value if isinstance(value, list) else [value])])
            elif kind == "MX":
                served.append(["MX", value[1] or ".", value[0]])
            else:
                served.append([kind, value])
        records[name.lower().rstrip(".")] = served
    return records


def run_check(app, config, test):
    argv = [str(build_dir() / "torvane-spf"), f"--config={config}", f"--app-path={app}", "--strict",
            "--no-cache", "--trace", test["host"], test.get("mailfrom", ""), test.get("helo", "")]
    done = subprocess.run(argv, capture_output=True, timeout=60)
    lines = done.stdout.decode("utf-8", "replace").splitlines()
    result = lines[-1].split()[0].lower() if done.returncode == 0 and lines else "exit %d" % done.returncode
    explanation = next((line.split("explanation: ", 1)[1] for line in lines if "explanation: " in line), "")
    return result, explanation, lines


def test_rfc7208_suite(tmp_path, start_name_server, capsys):
    server = start_name_server({})
    config = tmp_path / "torvane.conf"
    config.write_bytes(ini({"DNS": {"nameserver_0": server.address, "nameserver_1": "-", "nameserver_2": "-",
                                    "nameserver_3": "-", "timeout_millisecond": str(DNS_TIMEOUT_MS)}}).encode())
    failures, explained_differently, ran, traced = [], [], 0, set()
    for scenario in yaml.safe_load_all(SUITE.read_text(encoding="utf-8")):
        server.set_zones(served_records(scenario.get("zonedata", {})))
        for name, test in scenario["tests"].items():
            if ":" in test["host"]:
                continue
            ran += 1
            app = tmp_path / "app" / name
            app.mkdir(parents=True)
            got, explanation, lines = run_check(app, config, test)
            traced.update(line.split()[0] for line in lines[:-1] if line.strip())
            expected = test["result"] if isinstance(test["result"], list) else [test["result"]]
            if got not in expected:
                failures.append(f"{name}: expected {'/'.join(expected)}, got {got}")
            wanted = test.get("explanation")
            if got == "fail" and wanted not in (None, "DEFAULT") and explanation != wanted:
                explained_differently.append(f"{name}: explanation {explanation!r}, suite {wanted!r}")
    with capsys.disabled():
        print(f"\nRFC 7208 suite, IPv4 clients: {ran - len(failures)} of {ran} passed")
        for line in failures + explained_differently:
            print("  " + line)
    assert ran == 176
    # --trace shows terms, lookups, the counters and a Fail's explanation.
    assert {"check", "record:", "lookup", "term", "counters:", "explanation:"} <= traced, traced
    assert ran - len(failures) >= REQUIRED_SCORE, failures


@pytest.mark.parametrize("argv", [["192.0.2.1"], ["--bogus", "192.0.2.1", "a@b.test"],
                                  ["192.0.2.1", "a@b.test", "h", "extra"]])
def test_usage_errors_exit_2(argv):
    done = subprocess.run([str(build_dir() / "torvane-spf"), *argv], capture_output=True, timeout=60)
    assert done.returncode == 2 and b"usage:" in done.stderr
