"""Shipped policy verdicts: the status header, GTUBE tagged or refused, the switches, the counters."""
import shutil
import select
import struct

import pytest

from smtp_peers import DIST, merge, reversed_name, shipped_policy

GTUBE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"
CLEAN = "From: a@pass.test\r\nTo: b@example.org\r\nSubject: lunch\r\n\r\nSee you at noon.\r\n"
SPAM = f"From: a@pass.test\r\nTo: b@example.org\r\nSubject: test\r\n\r\n{GTUBE}\r\n"
LARGE_SPAM = SPAM + "padding line of a long message\r\n" * 1500  # past the 30 KiB judged first


@pytest.fixture
def policy(start_mta, start_gateway):
    """make(overrides, name_server) -> (gateway, mta)."""
    def with_rules(workdir):
        shutil.copy(DIST / "db" / "rules.db", workdir / "db" / "rules.db")

    def make(overrides=None, name_server=None):
        mta = start_mta()
        return start_gateway(mta.port, shipped_policy(), overrides, name_server, prepare=with_rules), mta
    return make


def begin_message(client):
    for line in ("MAIL FROM:<a@pass.test>", "RCPT TO:<b@example.org>", "DATA"):
        assert client.command(line)[:1] in (b"2", b"3"), line
    return client


def open_message(gateway):
    client = gateway.connect()
    assert client.reply().startswith(b"220") and client.command("HELO c.example").startswith(b"250")
    return begin_message(client)


def send(gateway, text):
    client = open_message(gateway)
    return client.command(text + "."), client


def status_lines(content):
    return [line for line in content.split(b"\r\n") if line.lower().startswith(b"x-torvane-status")]


# (name, configuration, message, reply, status header: None when refused)
VERDICTS = [
    ("clean", {}, CLEAN, b"250", b"X-Torvane-Status: No, score=0.0 required=5.0 tests=none"),
    ("forged status replaced", {},
     "x-torvane-status: No,\r\n\tscore=-99\r\n" + SPAM, b"250",
     b"X-Torvane-Status: Yes, score=15.0 required=5.0 tests=RULE_GTUBE"),
    ("GTUBE refused at max hit", {"CONFIG": {"score_for_spam_max_hit": "15.0"}}, SPAM, b"550 5.7.1 ", None),
]


@pytest.mark.parametrize("name,overrides,text,reply,status", VERDICTS, ids=[v[0] for v in VERDICTS])
def test_verdicts(policy, name, overrides, text, reply, status):
    gateway, mta = policy(overrides)
    answer, client = send(gateway, text)
    assert answer.startswith(reply), answer
    assert begin_message(client).command(CLEAN + ".").startswith(b"250")  # the session goes on
    if status is None:
        assert b"RULE_GTUBE" in answer
        [(_, content)] = mta.wait_for_messages(1)
        assert GTUBE.encode() not in mta.received() and b"See you at noon." in content
        return
    (_, content), _ = mta.wait_for_messages(2)
    assert status_lines(content) == [status] and b"-99" not in content
    for mark in (b"Subject: ***SPAM***", b"X-TORVANE-Spam: YES"):
        assert (mark in content) == (b"Yes" in status)


def day_counters(folder):
    """{name: value} of the day files (u32 stamp, u32 count; per counter u32 size, name, u16, u16, f32)."""
    counters = {}
    for data in (path.read_bytes() for path in folder.glob("DAY_*.stc")):
        at = 8
        for _ in range(struct.unpack_from("<I", data, 4)[0]):
            size = struct.unpack_from("<I", data, at)[0]
            name = data[at + 4:at + 4 + size].decode()
            counters[name] = counters.get(name, 0) + struct.unpack_from("<f", data, at + 8 + size)[0]
            at += 12 + size
    return counters


def test_large_spam_gets_one_reply_after_its_end_and_verdicts_are_counted(policy):
    gateway, mta = policy({"CONFIG": {"score_for_spam_max_hit": "15.0"}})
    client = open_message(gateway)
    data = LARGE_SPAM.encode()
    client.send(data[:40000])  # the policy judges the first 30 KiB before the end
    assert gateway.wait_for_log("message refused")
    # No reply while the client still sends (one would be on its way already).
    assert select.select([client.sock], [], [], 0)[0] == [] and client.pending == b""
    client.send(data[40000:] + b".\r\n")
    assert client.reply().startswith(b"550 5.7.1 ")
    assert client.command("RSET").startswith(b"250")  # the next reply is the next command's
    assert begin_message(client).command(CLEAN + ".").startswith(b"250")
    [(_, content)] = mta.wait_for_messages(1)
    assert GTUBE.encode() not in mta.received() and b"See you at noon." in content
    assert gateway.terminate()[0] == 0  # saves the statistics
    counters = day_counters(gateway.workdir / "db")
    assert {k: v for k, v in counters.items() if k.startswith(("f12_", "f13_"))} == {
        "f12_verdict_clean": 1, "f12_verdict_refused": 1, "f13_test_[RULE_GTUBE]": 1}


# (section, switch, the test name it controls)
SWITCHES = [
    ("RULES", "enable_rules", "RULE_GTUBE"),
    ("SPF", "spf_enable", "SPF_PASS"),
    ("DNSBL", "enable_dnsbl", "DNSBL"),
]


@pytest.mark.parametrize("section,switch,test_name", SWITCHES)
def test_each_switch_removes_its_check(policy, start_name_server, section, switch, test_name):
    server = start_name_server({"pass.test": [["TXT", "v=spf1 ip4:127.0.0.0/8 -all"]],
                                reversed_name("127.0.0.1", "bl.test"): [["A", "127.0.0.2"]]})
    switches = {"SPF": {"spf_enable": "1"}, "DNSBL": {"enable_dnsbl": "1", "nameserver_0": "bl.test|1.0"}}
    for value, fired in (("1", True), ("0", False)):
        config = merge(switches, {section: {switch: value}})
        gateway, mta = policy(config, server.address)
        assert send(gateway, SPAM)[0].startswith(b"250")
        [(_, content)] = mta.wait_for_messages(1)
        [status] = status_lines(content)
        assert (test_name.encode() in status) == fired, status



def test_unanswered_block_list_is_named_and_adds_nothing(policy, start_name_server):
    server = start_name_server({reversed_name("127.0.0.1", "bl.test"): [["A", "127.0.0.2"]]},
                               zones={"quiet.test": {"mode": "silent"}})
    config = {"DNSBL": {"enable_dnsbl": "1", "nameserver_0": "bl.test|1.0", "nameserver_1": "quiet.test|9.0",
                        "timeout_millisecond": "500"}}
    gateway, mta = policy(config, server.address)
    assert send(gateway, CLEAN)[0].startswith(b"250")
    [(_, content)] = mta.wait_for_messages(1)
    assert status_lines(content) == [b"X-Torvane-Status: No, score=1.0 required=5.0 tests=DNSBL,DNSBL_TEMPERROR"]
