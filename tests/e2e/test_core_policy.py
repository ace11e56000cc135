"""The shipped policy: mail passes; banned, forged or MTA-less sessions get their reply and are closed."""
import struct
import time

import pytest

from smtp_peers import deliver, free_port, merge, shipped_policy

DB_MAGIC = b"DBK2.0"  # the record-store files the engines load
OWN_NAME = "gw.test"  # a name of this server, in the HELO forgery table
BANNED = "127.0.3.9"


def write_store(path, records):
    """A record-store file holding {key: value}."""
    now = int(time.time())
    body = b"".join(struct.pack("<iii", now, len(k), len(v)) + k.encode() + v.encode()
                    for k, v in records.items())
    path.write_bytes(DB_MAGIC + struct.pack("<i", len(records)) + body)


@pytest.fixture
def policy(start_mta, start_gateway):
    """make(overrides) -> (gateway, mta): the shipped policy with the stores above."""
    def with_stores(workdir):
        write_store(workdir / "db" / "helo_forget.db", {OWN_NAME: "192.0.2.1"})
        write_store(workdir / "db" / "ip_imbargo.db", {BANNED: str(int(time.time()) + 3600)})

    def make(overrides=None):
        mta = start_mta()
        return start_gateway(mta.port, shipped_policy(), overrides, prepare=with_stores), mta
    return make


# A pooled worker runs its compiled policy again for the next session.
def test_messages_pass_to_the_mta(policy):
    gateway, mta = policy({"CS_SCRIPT": {"enable_cache_script": "1"}})
    for number in range(3):
        deliver(gateway, f"Subject: hi\r\n\r\nhello {number}\r\n", f"b{number}@example.org")
    messages = mta.wait_for_messages(3)
    assert [(e["mail_from"], e["rcpt_tos"]) for e, _ in messages] == [
        ("a@example.net", [f"b{n}@example.org"]) for n in range(3)]
    assert [c.count(b"hello") for _, c in messages] == [1, 1, 1]
    assert "ERROR SCRIPT" not in gateway.log_text()


# (name, configuration overrides, client address, MTA down, HELO, expected reply)
REFUSALS = [
    ("banned", {}, BANNED, False, None, b"554 5.7.7 "),
    ("no MTA", {}, "127.0.0.1", True, None, b"421 4.3.0 "),
    ("forged HELO", {"HELO": {"helo_forget_reject": "1"}}, "127.0.0.1", False, OWN_NAME.upper(),
     b"550 5.7.1 "),
]


@pytest.mark.parametrize("name,overrides,source,mta_down,helo,expected", REFUSALS,
                         ids=[r[0] for r in REFUSALS])
def test_refused_sessions_get_a_reply_and_are_closed(policy, name, overrides, source, mta_down, helo,
                                                     expected):
    if mta_down:
        overrides = merge(overrides, {"CONFIG": {"smtp_port1": str(free_port())}})
    gateway, mta = policy(overrides)
    client = gateway.connect(source)
    if helo is not None:
        assert client.reply().startswith(b"220")
        client.send(f"HELO {helo}\r\n")
    rest, closed = client.read_until_closed()
    assert rest.startswith(expected) and closed, rest
    if helo is not None:
        assert b"HELO" not in mta.received().upper()


def test_forged_helo_is_passed_on_when_rejecting_is_off(policy):
    gateway, mta = policy({"HELO": {"helo_forget_reject": "0"}})
    client = gateway.connect()
    client.reply()
    assert client.command(f"HELO {OWN_NAME}").startswith(b"250")


# SPF: a Fail is refused at MAIL FROM, never reaching the mail server (a Pass: test_policy's switches).
def test_spf_fail_is_refused(policy, start_name_server):
    server = start_name_server({"fail.test": [["TXT", "v=spf1 -all"]]})
    gateway, mta = policy({"DNS": {"nameserver_0": server.address},
                           "SPF": {"spf_enable": "1", "spf_reject_fail": "1"}})
    client = gateway.connect()
    assert client.reply().startswith(b"220")
    assert client.command("EHLO client.example").startswith(b"250")
    assert client.command("MAIL FROM:<a@fail.test>") == b"550 5.7.23 SPF: fail.test does not allow 127.0.0.1\r\n"
    assert client.command("NOOP").startswith(b"250")  # the session goes on
    assert b"fail.test" not in mta.received()
    assert gateway.wait_for_log("SPF Fail for &lt;a@fail.test&gt;")  # as the XML log escapes it
