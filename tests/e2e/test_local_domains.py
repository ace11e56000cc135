"""Local domains, spam traps and the community service under the shipped policy."""
import pathlib
import smtplib

import pytest

from conftest import WAIT_SECONDS, run_script, start_name_server_process, stop_process
from smtp_peers import PYTHON, RELAY_RANGE, merge, shipped_policy

ROOT = pathlib.Path(__file__).resolve().parents[2]
TEMPLATE = ROOT / "dist" / "db" / "local_domain_add_config.cstemplate"
SERVICE_SCRIPT = ROOT / "tests" / "unit" / "engines" / "community_test_server.py"
SERVICE_HOSTS = [f"127.0.67.{n}" for n in range(1, 255)]
KEY = "0123456789abcdef0123456789abcdef"
# A silent service holds a message for four such waits: long enough to serve another whole session.
TIMEOUT_MS = 1000
CLIENT = "127.0.30.9"  # a plain client, not on a LAN: reports about it are sent
RELAY_CLIENT = "127.0.31.9"

# Domains local.test (shift 50 %, white and black senders), lover.test (50 %, a spam lover); one trap.
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
def site(start_mta, start_gateway, tmp_path):
    """make(overrides, answer="" for silence) -> (gateway, mta, service) with the domains above."""
    started = []

    def prepare(workdir):
        (workdir / "db" / TEMPLATE.name).write_bytes(TEMPLATE.read_bytes())
        script = tmp_path / "prepare.cs"
        script.write_text(PREPARE.replace("@DB@", str(workdir / "db")))
        assert run_script(f"--app-path={workdir}", script).returncode == 0

    def make(overrides=None, answer="NEUTRALE"):
        service = Service(tmp_path / "service")
        started.append(service)
        service.answer(answer)
        mta = start_mta()
        config = merge(RELAY_RANGE, {"COMMUNITY": {"cmy_key": KEY, "cmy_server": service.address,
                                                   "cmy_timeout": str(TIMEOUT_MS)}})
        return start_gateway(mta.port, shipped_policy(), merge(config, overrides), prepare=prepare), mta, service

    yield make
    for service in started:
        service.stop()


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
    assert b"foreign.test" not in mta.received(1)  # the plain client's session


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
    ("someone@x.example", "u@foreign.test", "HARDFAIL", "clean"),  # no shift, and relaying is the MTA's business
    ("someone@x.example", "fan@lover.test", "HARDFAIL", "clean"),
]


def test_message_verdicts(site):
    # HARDFAIL scores 2.5 here: only a domain's 50 % shift (of "score_for_spam" 5) makes it spam.
    gateway, mta, service = site({"COMMUNITY": {"cmy_hardfail": "2.5"}})
    delivered = 0
    for sender, recipient, verdict, expected in VERDICTS:
        service.answer(verdict)
        client = session(gateway, sender=sender)
        assert client.rcpt(recipient)[0] == 250, recipient
        code, _ = client.data(b"Subject: hi\r\n\r\nhello\r\n")
        client.quit()
        if expected == "refused":
            assert code == 550, sender
            continue
        assert code == 250, (sender, recipient)
        delivered += 1
        content = mta.wait_for_messages(delivered)[-1][1]
        assert (b"X-TORVANE-Spam: YES" in content) == (expected == "tagged"), (sender, recipient, content)
    assert len(mta.messages()) == delivered


def test_silent_service_delays_only_its_own_session(site):
    gateway, mta, service = site(answer="")
    slow = session(gateway)
    slow.rcpt("u@local.test")
    slow.putcmd("data")
    assert slow.getreply()[0] == 354
    slow.send(b"Subject: hi\r\n\r\nhello\r\n.\r\n")
    other = session(gateway, "127.0.30.10")  # served while the first waits
    assert other.rcpt("u@local.test")[0] == 250
    assert len(service.requests("004")) < 4, "the other session waited for the silent service"
    # The slow session goes on once its requests went unanswered, and says so.
    assert slow.getreply()[0] == 250
    assert len(service.requests("004")) == 4
    slow.quit()
    [(_, content)] = mta.wait_for_messages(1)
    assert b"COMMUNITY_TEMPERROR" in content, content
