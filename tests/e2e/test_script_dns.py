"""The DNS functions of a cron script, run by hand with torvane-script against
the test name server (tests/unit/engines/dns_test_server.py) on a loopback
address; the configuration given with --config names it as the only server.
"""
import os
import pathlib
import subprocess
import time

import pytest

from conftest import WAIT_SECONDS, build_dir, ini, start_name_server_process, stop_process

ROOT = pathlib.Path(__file__).resolve().parents[2]
NAME_SERVER = ROOT / "tests" / "unit" / "engines" / "dns_test_server.py"
# Loopback addresses tried for the name server (the resolver unit tests use
# lower ones, so both can run at once).
FIRST_HOST, LAST_HOST = 121, 140


@pytest.fixture
def name_server(tmp_path):
    """Starts the test name server on the first free address; yields it."""
    if os.geteuid() != 0:
        pytest.skip("port 53 needs root")
    state = tmp_path / "dns_state"
    state.mkdir()
    addresses = [f"127.0.0.{host}" for host in range(FIRST_HOST, LAST_HOST + 1)]
    process, address = start_name_server_process(
        ["/usr/bin/python3", str(NAME_SERVER), "--lifetime", "120"], addresses, state)
    yield address
    stop_process(process)


def run_script(tmp_path, source, config_text):
    script = tmp_path / "dns.cs"
    script.write_text(source)
    config = tmp_path / "torvane.conf"
    config.write_bytes(config_text.encode("latin-1"))
    app = tmp_path / "app"
    app.mkdir(exist_ok=True)
    return subprocess.run(
        [str(build_dir() / "torvane-script"), f"--config={config}", f"--app-path={app}", str(script)],
        cwd=tmp_path, capture_output=True, timeout=60)


def resolver_config(address):
    # Every slot set: an absent slot would take a default server.
    return ini({"DNS": {"nameserver_0": address, "nameserver_1": "-", "nameserver_2": "-",
                        "nameserver_3": "-", "timeout_millisecond": "500"}})


SCRIPT = """
int main() {
  CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
  cs.Print("A=" + cs.DNS_Resolve("a.torvane.test") + "\\n");
  cs.Print("ALIAS=" + cs.DNS_Resolve("hop1.torvane.test") + "\\n");
  cs.Print("PTR=" + cs.DNS_Reverse("192.0.2.1") + "\\n");
  cs.Print("MX=" + cs.DNS_MX("mx2.torvane.test") + "\\n");
  cs.Print("NS=" + cs.DNS_NS("ns.torvane.test") + "\\n");
  cs.Print("TXT=" + cs.DNS_TXT("txt1.torvane.test") + "\\n");
  cs.Print("NONE=" + cs.DNS_Resolve("nothing.torvane.test") + "\\n");
  cs.Print("TIMEOUT=" + cs.GetConfig("timeout_millisecond", "DNS") + "\\n");
  return 0;
}
"""


def answers(output):
    return dict(line.split("=", 1) for line in output.decode().splitlines() if "=" in line)


def test_dns_functions_answer_from_the_configured_server(tmp_path, name_server):
    done = run_script(tmp_path, SCRIPT, resolver_config(name_server))
    assert done.returncode == 0, done.stderr
    got = answers(done.stdout)
    assert got["A"] == "192.0.2.10"
    assert got["ALIAS"] == "192.0.2.10"
    assert got["PTR"] == "host1.torvane.test"
    assert got["MX"].split(";") == ["mail1.torvane.test", "mail2.torvane.test"]
    assert sorted(got["NS"].split(";")) == ["ns1.torvane.test", "ns2.torvane.test"]
    assert got["TXT"] == "v=spf1 -all"
    assert got["NONE"] == ""
    assert got["TIMEOUT"] == "500", "GetConfig reads the --config file"


def test_dns_functions_are_empty_without_configuration(tmp_path):
    script = tmp_path / "dns.cs"
    script.write_text(SCRIPT)
    started = time.monotonic()
    done = subprocess.run([str(build_dir() / "torvane-script"), str(script)],
                          cwd=tmp_path, capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert set(answers(done.stdout).values()) == {""}
    assert time.monotonic() - started < WAIT_SECONDS, "nothing is asked without a resolver"
