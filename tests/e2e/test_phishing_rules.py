"""Content rules and the phishing list: a scripted rule's and an imitating message are tagged, a clean one not."""

import pytest

from conftest import run_script
from smtp_peers import deliver, shipped_policy

PHISHING_LIST = ("[SETTING]\r\nfirm=3\r\ndate=2026-12-01\r\n"
                 "[DOMAIN]\r\ncount=1\r\nD0=bank.example\r\n"
                 "[VERIFY_TXT]\r\ncount=1\r\nR0=#D#\r\nR0n=1\r\nR0e=i\r\n"
                 "[VERIFY_HTML]\r\ncount=1\r\nR0=href\\W+(http[^\"'> ]+)\r\nR0c=1\r\nR0e=i\r\n"
                 "[FAKE_HTML]\r\ncount=0\r\n[FAKE_TXT]\r\ncount=0\r\n")
ADD_RULE = """int main() {
  CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
  CS_RulesDB rules = cs.GetRulesDB();
  if (rules.AddRule("pills", "cheap\\\\s+pills", 2, 6.0, 1) != 1) return 2;
  if (rules.Save() != 1) return 3;
  return 0;
}
"""


def message(subject, body):
    return f"From: news@mailer.example\r\nTo: b@example.org\r\nSubject: {subject}\r\n\r\n{body}\r\n"


@pytest.fixture
def gateway(start_mta, start_gateway, tmp_path):
    def add_rule_and_list(workdir):
        (workdir / "db" / "phishing.db").write_text(PHISHING_LIST)
        script = tmp_path / "add_rule.cs"
        script.write_text(ADD_RULE)
        added = run_script(f"--app-path={workdir}", script)
        assert added.returncode == 0, added.stdout + added.stderr

    mta = start_mta()
    config = {"CONFIG": {"score_for_spam": "5.0"}, "PHISHING": {"phishing_score": "10.0", "euristica": "1"},
              "HEADER_MSG": {"x_subject": "***SPAM***", "x_torvane_spam": "X-TORVANE-Spam: YES"}}
    return start_gateway(mta.port, shipped_policy(), config, prepare=add_rule_and_list), mta


def test_rule_and_phishing_hits_are_tagged_clean_mail_is_not(gateway):
    gw, mta = gateway
    deliver(gw, message("offer", "Cheap   pills for everyone"))
    deliver(gw, message("your account", "Dear bank.example customer, log in at http://evil.example/login"))
    deliver(gw, message("minutes", "The meeting moved to Tuesday, see www.bank.example for the agenda"))
    received = [data for _, data in mta.wait_for_messages(3)]
    assert len(received) == 3
    rule_hit, phishing, clean = received
    for tagged in (rule_hit, phishing):
        assert b"Subject: ***SPAM***" in tagged and b"X-TORVANE-Spam: YES" in tagged, tagged
    assert b"***SPAM***" not in clean and b"X-TORVANE-Spam" not in clean
    assert gw.wait_for_log("phishing message imitating bank.example from 127.0.0.1")
    assert gw.log_text().count("phishing message imitating") == 1
