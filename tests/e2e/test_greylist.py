"""Greylisting (a two-second embargo) and the correspondents' white list under the shipped policy."""
import re
import signal
import subprocess
import time

import pytest

from conftest import WAIT_SECONDS
from smtp_peers import RELAY_RANGE, dot_stuff, merge, shipped_policy

DEFERRED = b"451 4.7.1 GREY LIST try again later\r\n"
CLIENT = "127.0.30.1"  # a stranger
RELAY_CLIENT = "127.0.31.1"  # one of ours (RELAY_RANGE)
# Retries every RETRY_SECONDS, far more often than a real server's, add nothing to the score: none is tagged.
GREYLISTING = merge(RELAY_RANGE, {
    "GREYLIST": {"enable_greylist": "1", "grey_embargo_time": "2", "grey_embargo_type": "1",
                 "grey_forged_score": "0"},
    "ALWL": {"enable_alwl": "1", "alwl_max_records": "400000"},
})
CONTENT = b"From: alice@example.com\r\nSubject: greylisted\r\n\r\n.leading dot\r\nbody\r\n"
RETRY_SECONDS = 0.25


@pytest.fixture
def policy(start_mta, start_gateway):
    """make(overrides, name_server) -> (gateway, mta) running the shipped policy."""
    def make(overrides=None, name_server=None):
        mta = start_mta()
        gateway = start_gateway(mta.port, shipped_policy(), merge(GREYLISTING, overrides), name_server)
        return gateway, mta
    return make


def envelope(gateway, source, sender):
    """A session from `source` that has given MAIL FROM `sender`."""
    client = gateway.connect(source)
    assert client.reply().startswith(b"220")
    assert client.command("EHLO client.test").startswith(b"250")
    assert client.command(f"MAIL FROM:<{sender}>").startswith(b"250")
    return client


def until_taken(client, command):
    """Retries `command` while it is deferred (bounded); the first other reply."""
    deadline = time.monotonic() + WAIT_SECONDS
    while True:
        reply = client.command(command)
        if reply != DEFERRED or time.monotonic() > deadline:
            return reply
        time.sleep(RETRY_SECONDS)


def send_from_relay_client(gateway, sender, recipient):
    """A message from one of our own clients, by swaks."""
    done = subprocess.run(
        ["swaks", "--server", "127.0.0.1", "--port", str(gateway.port), "--local-interface", RELAY_CLIENT,
         "--from", sender, "--to", recipient, "--ehlo", "desk.our.test", "--timeout", "10"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    assert done.returncode == 0


def test_first_attempt_is_deferred_and_the_retry_delivered(policy):
    gateway, mta = policy()
    client = envelope(gateway, CLIENT, "Alice@Example.COM")
    assert client.command("RCPT TO:<Bob@Example.ORG>") == DEFERRED
    client.close()
    assert gateway.stop(signal.SIGTERM)[0] == 0
    gateway.start()

    # After a restart and the embargo, a recipient new to this sender is deferred; the known one gets it.
    client = envelope(gateway, CLIENT, "alice@example.com")
    assert until_taken(client, "RCPT TO:<bob@example.org>").startswith(b"250")
    assert client.command("RCPT TO:<carol@example.org>") == DEFERRED
    assert client.command("DATA").startswith(b"354")
    assert client.command(dot_stuff(CONTENT)[:-2]).startswith(b"250")
    [(sent, content)] = mta.wait_for_messages(1)
    # The message as sent, with the policy's status header added.
    assert sent["rcpt_tos"] == ["bob@example.org"]
    assert re.sub(rb"X-Torvane-Status: [^\r]*\r\n", b"", content, count=1) == CONTENT
    assert b"carol" not in mta.received() and b"Bob@Example.ORG" not in mta.received()


def test_bounce_waits_at_data_and_address_probes_never_wait(policy):
    gateway, mta = policy()
    client = envelope(gateway, CLIENT, "")
    assert client.command("RCPT TO:<bob@example.org>").startswith(b"250")  # a probe stops here
    assert client.command("DATA") == DEFERRED
    assert until_taken(client, "DATA").startswith(b"354")
    assert client.command(dot_stuff(CONTENT)[:-2]).startswith(b"250")
    [(sent, _)] = mta.wait_for_messages(1)
    assert sent["mail_from"] == "<>" and sent["rcpt_tos"] == ["bob@example.org"]  # as aiosmtpd keeps it


# (name, overrides, reply to the learned pair)
SWITCHES = [
    ("both on", {}, b"250"),
    ("white list off", {"ALWL": {"enable_alwl": "0"}}, DEFERRED),
    ("greylisting off", {"GREYLIST": {"enable_greylist": "0"}}, b"250"),
]


@pytest.mark.parametrize("name,overrides,expected", SWITCHES, ids=[s[0] for s in SWITCHES])
def test_pair_learned_from_our_client_passes_at_once(policy, name, overrides, expected):
    gateway, mta = policy(overrides)
    send_from_relay_client(gateway, "me@our.test", "friend@far.test")
    assert mta.wait_for_messages(1)
    client = envelope(gateway, CLIENT, "Friend@Far.test")
    assert client.command("RCPT TO:<me@our.test>").startswith(expected)
    greylisting = overrides.get("GREYLIST", {}).get("enable_greylist") != "0"
    assert client.command("RCPT TO:<other@our.test>").startswith(DEFERRED if greylisting else b"250")


def test_white_range_needs_a_confirmed_host_name(policy, start_name_server):
    server = start_name_server({
        "20.30.0.127.in-addr.arpa": [["PTR", "mx1.provider.test"]],
        "mx1.provider.test": [["A", "127.0.30.20"]],
        "21.30.0.127.in-addr.arpa": [["PTR", "mx2.provider.test"]],
        "mx2.provider.test": [["A", "127.0.30.99"]],
    })
    gateway, _ = policy({"GREYLIST": {"wip_0": "provider.test||"}}, server.address)
    for source, expected in (("127.0.30.20", b"250"), ("127.0.30.21", DEFERRED)):
        client = envelope(gateway, source, "alice@example.com")
        assert client.command("RCPT TO:<bob@example.org>").startswith(expected), source
