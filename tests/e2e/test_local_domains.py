"""Local domains, spam traps and the community service under the shipped
policy dist/scripts/antispam/core.cs: the relay check, the trap's reply and
ban, per-domain white and black lists, score shifts and spam lovers, and a
silent community service that delays one session only. The domain state is
written by torvane-script with the library classes, as an administrator
would; the service is a loopback test service on port 6666.
"""
import pathlib
import smtplib
import subprocess
import time

import pytest

from conftest import WAIT_SECONDS, start_name_server_process, stop_process
from smtp_peers import PYTHON, RELAY_RANGE, Gateway, RecordingMta, base_config, free_port, merge

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORE_SCRIPT = ROOT / "dist" / "scripts" / "antispam" / "core.cs"
TEMPLATE = ROOT / "dist" / "db" / "local_domain_add_config.cstemplate"
SERVICE_SCRIPT = ROOT / "tests" / "unit" / "engines" / "community_test_server.py"
SERVICE_HOSTS = [f"127.0.67.{n}" for n in range(1, 255)]
KEY = "0123456789abcdef0123456789abcdef"
TIMEOUT_MS = 200
# A silent service costs one message four requests of the reply wait plus slack.
SILENT_BOUND = 4 * (TIMEOUT_MS + 50) / 1000.0
CLIENT = "127.0.30.9"  # a plain client, not on a LAN: reports about it are sent
RELAY_CLIENT = "127.0.31.9"

# Domains local.test (score shift 50 %, white and black senders) and
# lover.test (shift 50 %, one spam lover); one trap address.
PREPARE = r'''
int Store(string file, string key, string value) {
  CDB_Ram db = new CDB_Ram();
  db.Open(file);
  db.Load();
  db.Insert(key, value);
  db.Save();
  delete db;
  return 0;
}
int main() {
  CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
  Store("db/domain_local.db", "local.test", "1");
  Store("db/domain_local.db", "lover.test", "1");
  Store("db/local.test.wb", "black@bad.example", "0");
  Store("db/local.test.wb", "white@good.example", "1");
  Store("db/lover.test.lover", "fan@lover.test", "1");
  Store("db/spam_trap.db", cs.MD5("trap@local.test"), "1");
  CS_FileCfg cfg = new CS_FileCfg();
  cfg.LoadByString("[CFG]\r\nperc_user_aggre=50\r\n");
  cfg.Save("@DB@/local.test.cfg");
  cfg.Save("@DB@/lover.test.cfg");
  return 0;
}
'''


class Service:
    """community_test_server.py on the first free address of SERVICE_HOSTS."""

    def __init__(self, state):
        self.state = pathlib.Path(state)
        self.state.mkdir(parents=True)
        self.process, self.address = start_name_server_process(
            [PYTHON, str(SERVICE_SCRIPT), "--port", "6666"], SERVICE_HOSTS, self.state)
        (self.state / "list").write_text(self.address)  # the server list names itself

    def answer(self, word):
        tmp = self.state / "mode.tmp"
        tmp.write_text("reply " + word.encode().hex() if word else "silent")
        tmp.replace(self.state / "mode")

    def requests(self, code):
        try:
            lines = (self.state / "requests").read_text().split()
        except FileNotFoundError:
            return []
        return [line for line in lines if bytes.fromhex(line)[32:35] == code.encode()]

    def stop(self):
        stop_process(self.process)


@pytest.fixture
def site(root_only, daemon_bin, tmp_path):
    """make(overrides, answer) -> (gateway, mta, service): the shipped policy
    with the domains above, in front of a recording MTA, asking a test
    service that answers `answer` ("" for silence)."""
    started = []

    def make(overrides=None, answer="NEUTRALE"):
        service = Service(tmp_path / "service")
        started.append(service)
        service.answer(answer)
        mta = RecordingMta(tmp_path / "mta")
        started.append(mta)
        config = merge(base_config(free_port(), mta.port), RELAY_RANGE)
        config = merge(config, {"COMMUNITY": {"cmy_key": KEY, "cmy_server": service.address,
                                              "cmy_timeout": str(TIMEOUT_MS)}})
        gateway = Gateway(daemon_bin, tmp_path / "gw", merge(config, overrides),
                          {"core.cs": CORE_SCRIPT.read_bytes()})
        db = gateway.workdir / "db"
        (db / TEMPLATE.name).write_bytes(TEMPLATE.read_bytes())
        prepare = tmp_path / "prepare.cs"
        prepare.write_text(PREPARE.replace("@DB@", str(db)))
        subprocess.run([str(pathlib.Path(daemon_bin).parent / "torvane-script"), f"--app-path={gateway.workdir}",
                        str(prepare)], check=True, timeout=WAIT_SECONDS)
        started.append(gateway)
        return gateway.start(), mta, service

    yield make
    for peer in reversed(started):
        peer.stop()


def session(gateway, source=CLIENT, sender="someone@x.example"):
    client = smtplib.SMTP(timeout=WAIT_SECONDS, source_address=(source, 0))
    client.connect("127.0.0.1", gateway.port)
    client.ehlo("client.example")
    client.mail(sender)
    return client


def test_relay_check(site):
    gateway, mta, _ = site({"FIREWALL": {"local_domains_only": "1"}})
    client = session(gateway)
    assert client.rcpt("u@local.test")[0] == 250
    assert client.rcpt("u@foreign.test")[0] == 530
    relay = session(gateway, RELAY_CLIENT)
    assert relay.rcpt("u@foreign.test")[0] == 250
    assert b"foreign.test" not in mta.received(mta.connections()[0])


def test_relaying_stays_the_mtas_business_by_default(site):
    gateway, mta, _ = site()
    assert session(gateway).rcpt("u@foreign.test")[0] == 250


def test_trap_replies_bans_and_reports(site):
    gateway, mta, service = site(answer="OK")
    client = session(gateway)
    code, text = client.rcpt("TRAP@local.test")
    assert code == 550 and text.count(b"\n") == 8, text  # one reply of nine lines
    with pytest.raises(smtplib.SMTPServerDisconnected):
        client.noop()
    later = smtplib.SMTP(timeout=WAIT_SECONDS, source_address=(CLIENT, 0))
    assert later.connect("127.0.0.1", gateway.port)[0] == 554  # banned
    assert len(service.requests("003")) == 1
    assert b"trap@" not in mta.received().lower()


# (sender, recipient, service verdict, expected: "refused", "tagged" or "clean")
VERDICTS = [
    ("black@bad.example", "u@local.test", "NEUTRALE", "refused"),
    ("white@good.example", "u@local.test", "HARDFAIL", "clean"),
    ("someone@x.example", "u@local.test", "HARDFAIL", "tagged"),
    ("someone@x.example", "u@foreign.test", "HARDFAIL", "clean"),  # no shift: 2.5 < 5
    ("someone@x.example", "fan@lover.test", "HARDFAIL", "clean"),
]


@pytest.mark.parametrize("sender,recipient,verdict,expected", VERDICTS)
def test_message_verdicts(site, sender, recipient, verdict, expected):
    # HARDFAIL scores 2.5 here: only a domain's 50 % shift (2.5 of
    # "score_for_spam" 5) takes a message to the spam score.
    gateway, mta, service = site({"COMMUNITY": {"cmy_hardfail": "2.5"}}, answer=verdict)
    client = session(gateway, sender=sender)
    assert client.rcpt(recipient)[0] == 250
    code, _ = client.data(b"Subject: hi\r\n\r\nhello\r\n")
    if expected == "refused":
        assert code == 550
        assert mta.messages() == []
        return
    assert code == 250
    client.quit()
    [(_, content)] = mta.wait_for_messages(1)
    assert (b"X-TORVANE-Spam: YES" in content) == (expected == "tagged"), content


def test_silent_service_delays_only_its_own_session(site):
    gateway, mta, service = site(answer="")
    slow = session(gateway)
    slow.rcpt("u@local.test")
    slow.putcmd("data")
    assert slow.getreply()[0] == 354
    slow.send(b"Subject: hi\r\n\r\nhello\r\n.\r\n")
    sent = time.monotonic()
    other = session(gateway, "127.0.30.10")  # served while the first waits
    assert other.rcpt("u@local.test")[0] == 250
    other_done = time.monotonic()
    assert slow.getreply()[0] == 250
    slow_done = time.monotonic()
    assert other_done < slow_done
    assert len(service.requests("004")) == 4
    assert slow_done - sent <= SILENT_BOUND + 1.0  # the bound, and a second for the rest of the session
