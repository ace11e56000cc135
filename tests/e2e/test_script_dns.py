"""torvane-script's resolver comes from the DNS section of --config (lookups: lib_dns_test)."""

from conftest import ini, run_script

SCRIPT = """
int main() {
  CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
  cs.Print("A=" + cs.DNS_Resolve("a.script.test") + "\\n");
  return 0;
}
"""


def test_dns_functions_answer_from_the_configured_server(tmp_path, start_name_server):
    server = start_name_server({"a.script.test": [["A", "192.0.2.10"]]})
    # Every slot set: an absent slot would take a default server.
    config = tmp_path / "torvane.conf"
    config.write_bytes(ini({"DNS": {"nameserver_0": server.address, "nameserver_1": "-", "nameserver_2": "-",
                                    "nameserver_3": "-", "timeout_millisecond": "500"}}).encode("latin-1"))
    (tmp_path / "app").mkdir()
    script = tmp_path / "dns.cs"
    script.write_text(SCRIPT)
    done = run_script(f"--config={config}", f"--app-path={tmp_path / 'app'}", script, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == b"A=192.0.2.10\n"
