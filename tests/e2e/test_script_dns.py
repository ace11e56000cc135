"""torvane-script builds its resolver from the DNS section of the
configuration given with --config, and has none without one. (The DNS
functions themselves: test_script_session.py and the unit tests.)
"""
import subprocess
import time

from conftest import WAIT_SECONDS, build_dir, ini

SCRIPT = """
int main() {
  CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
  cs.Print("A=" + cs.DNS_Resolve("a.script.test") + "\\n");
  cs.Print("ALIAS=" + cs.DNS_Resolve("alias.script.test") + "\\n");
  cs.Print("MX=" + cs.DNS_MX("a.script.test") + "\\n");
  return 0;
}
"""
RECORDS = {"a.script.test": [["A", "192.0.2.10"], ["MX", "mx.script.test", 10]],
           "alias.script.test": [["CNAME", "a.script.test"]]}


def run_script(tmp_path, *options):
    script = tmp_path / "dns.cs"
    script.write_text(SCRIPT)
    return subprocess.run([str(build_dir() / "torvane-script"), *options, str(script)],
                          cwd=tmp_path, capture_output=True, timeout=60)


def answers(output):
    return dict(line.split("=", 1) for line in output.decode().splitlines() if "=" in line)


def test_dns_functions_answer_from_the_configured_server(tmp_path, start_name_server):
    server = start_name_server(RECORDS)
    # Every slot set: an absent slot would take a default server.
    config = tmp_path / "torvane.conf"
    config.write_bytes(ini({"DNS": {"nameserver_0": server.address, "nameserver_1": "-", "nameserver_2": "-",
                                    "nameserver_3": "-", "timeout_millisecond": "500"}}).encode("latin-1"))
    (tmp_path / "app").mkdir()
    done = run_script(tmp_path, f"--config={config}", f"--app-path={tmp_path / 'app'}")
    assert done.returncode == 0, done.stderr
    assert answers(done.stdout) == {"A": "192.0.2.10", "ALIAS": "192.0.2.10", "MX": "mx.script.test"}


def test_dns_functions_are_empty_without_configuration(tmp_path):
    started = time.monotonic()
    done = run_script(tmp_path)
    assert done.returncode == 0, done.stderr
    assert set(answers(done.stdout).values()) == {""}
    assert time.monotonic() - started < WAIT_SECONDS, "nothing is asked without a resolver"
