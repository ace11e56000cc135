"""torvane-bayes trains a gateway; the shipped policy tags and quarantines a like spam and passes a ham."""
import subprocess

import pytest

from conftest import build_dir
from smtp_peers import deliver, merge, shipped_policy

SPAM_WORDS = "cheap pills discount pharmacy order viagra offer limited click winner"
HAM_WORDS = "meeting agenda minutes project review schedule notes tuesday budget team"


def message(subject, words, number):
    return (f"From: someone{number}@example.net\r\nTo: b@example.org\r\nSubject: {subject} {number}\r\n"
            f"\r\n{words} {number}\r\nmore {words}\r\n")


def write_corpus(folder, subject, words, count):
    folder.mkdir(parents=True)
    for number in range(count):
        (folder / f"{number}.eml").write_text(message(subject, words, number))


def run_bayes(workdir, *args):
    return subprocess.run([str(build_dir() / "torvane-bayes"), f"--app-path={workdir}", *args],
                          capture_output=True, text=True, timeout=60)


BAYES = {"BAYES": {"bayes_method": "1", "bayes_min_trained": "5", "p_bayes_spam": "5.1", "p_bayes_ham": "-3.99"},
         "CONFIG": {"score_for_spam": "5.0"}}


def trainer(corpora):
    """A prepare step that trains the gateway's stores on ten spams and ten hams in `corpora`."""
    write_corpus(corpora / "spam", "special offer", SPAM_WORDS, 10)
    write_corpus(corpora / "ham", "weekly meeting", HAM_WORDS, 10)

    def train(workdir):
        trained = run_bayes(workdir, "train", "--spam", str(corpora / "spam"), "--ham", str(corpora / "ham"))
        assert trained.returncode == 0, trained.stderr
    return train


@pytest.fixture
def trained_gateway(start_mta, start_gateway, tmp_path):
    mta = start_mta()
    config = merge(BAYES, {"HEADER_MSG": {"x_subject": "***SPAM***", "x_torvane_spam": "X-TORVANE-Spam: YES"}})
    return start_gateway(mta.port, shipped_policy(), config, prepare=trainer(tmp_path)), mta


def test_trained_spam_is_tagged_and_quarantined_whole_ham_is_not(trained_gateway):
    gateway, mta = trained_gateway
    spams = [message("special offer", SPAM_WORDS, 99) + ".leading dot\r\n",
             # Analysed long before its end: the copy waits for the rest.
             message("special offer", SPAM_WORDS, 97) +
             "".join(f"{'.' if n % 100 == 0 else ''}line {n:04d} {'x' * 70}\r\n" for n in range(1300))]
    ham = message("weekly meeting", HAM_WORDS, 98)
    for spam in spams:
        deliver(gateway, spam.replace("\r\n.", "\r\n.."))  # dot-stuffed as SMTP sends it
    deliver(gateway, ham)
    (_, tagged), (_, long_tagged), (_, clean) = mta.wait_for_messages(3)
    assert b"Subject: ***SPAM***  special offer 99" in tagged and b"X-TORVANE-Spam: YES" in tagged
    assert b"Subject: ***SPAM***  special offer 97" in long_tagged and len(long_tagged) > 100_000
    assert b"***SPAM***" not in clean and b"X-TORVANE-Spam" not in clean
    # As the client wrote them: without our tags, un-stuffed, whole.
    quarantined = (gateway.workdir / "quarantine" / "spam").glob("*.eml")
    assert sorted(path.read_bytes() for path in quarantined) == sorted(spam.encode() for spam in spams)


def test_training_is_refused_while_the_daemon_holds_the_stores(trained_gateway, tmp_path):
    gateway, _ = trained_gateway
    refused = run_bayes(gateway.workdir, "train", "--spam", str(tmp_path / "spam"))
    assert refused.returncode == 1
    assert "bayes.lock" in refused.stderr
    # Reading needs no lock: the daemon's own configuration picks the method.
    verdicts = run_bayes(gateway.workdir, f"--config={gateway.config}", "classify",
                         str(tmp_path / "spam" / "1.eml"), str(tmp_path / "ham" / "1.eml"))
    assert verdicts.returncode == 0, verdicts.stderr
    assert [line.split()[1] for line in verdicts.stdout.splitlines()] == ["1", "2"]
