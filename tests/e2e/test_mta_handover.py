"""What the MTA learns of the client: the Received trace header and, where offered and allowed, XCLIENT."""
import datetime
import email.utils
import re

import pytest

from smtp_peers import GREETING, dot_stuff, reply_code

CONTENT = b"From: alice@client.test\r\nTo: bob@dest.test\r\nSubject: traced\r\n\r\nbody line\r\n"
TRACE = re.compile(rb"Received: from client\.test \(unknown \[127\.0\.0\.1\]\)\r\n"
                   rb"\tby gw\.test \(Torvane Antispam\) with (\w+) id [0-9A-F]+-\d+;\r\n"
                   rb"\t([^\r\n]+)\r\n")


def open_session(gw):
    client = gw.connect()
    assert client.reply() == GREETING
    answer = client.command("EHLO client.test")
    assert reply_code(answer) == 250
    return client, answer


def envelope(client):
    assert reply_code(client.command("MAIL FROM:<alice@client.test>")) == 250
    assert reply_code(client.command("RCPT TO:<bob@dest.test>")) == 250


def by_data(client):
    envelope(client)
    assert reply_code(client.command("DATA")) == 354
    assert reply_code(client.command(dot_stuff(CONTENT)[:-2])) == 250


def by_bdat(client):
    envelope(client)
    half = len(CONTENT) // 2
    rest = CONTENT[half:]
    for chunk in (b"BDAT %d\r\n" % half + CONTENT[:half], b"BDAT %d LAST\r\n" % len(rest) + rest):
        client.send(chunk)
        assert reply_code(client.reply()) == 250


# The protocol names (HELO: "SMTP") are mta_handover_test's table.
@pytest.mark.parametrize("send", [by_data, by_bdat], ids=["data", "bdat"])
def test_every_relayed_message_gets_a_well_formed_trace_header(start_mta, start_gateway, send):
    mta = start_mta(bdat=True)
    gw = start_gateway(mta.port, config={"MTA": {"trace_header": "1"}})
    client, _ = open_session(gw)
    send(client)
    send(client)  # the second message of the session is traced too
    assert client.command("QUIT") == b"221 Bye\r\n"
    messages = mta.wait_for_messages(2)
    assert len(messages) == 2
    for _, received in messages:
        trace = TRACE.match(received)
        assert trace, received[:300]
        assert trace.group(1) == b"ESMTP"
        stamped = email.utils.parsedate_to_datetime(trace.group(2).decode())
        assert abs(datetime.datetime.now(datetime.timezone.utc) - stamped) < datetime.timedelta(minutes=10)
        # The header is the message's own first field; the message follows unchanged.
        assert received[trace.end():] == CONTENT


@pytest.mark.parametrize("switch,mta_answer,seen", [
    ("1", "220 mta.recording.test ready", {"ADDR": "127.0.0.1", "NAME": "[UNAVAILABLE]",
                                           "HELO": "client.test", "PROTO": "ESMTP"}),
    ("1", "550 5.7.0 not authorized", {}),
    ("0", "220 mta.recording.test ready", {}),
], ids=["handed-over", "refused-by-mta", "switched-off"])
def test_mta_learns_the_client_through_xclient(start_mta, start_gateway, switch, mta_answer, seen):
    mta = start_mta(xclient=mta_answer)
    gw = start_gateway(mta.port, config={"MTA": {"xclient": switch}})
    client, answer = open_session(gw)
    # The MTA's XCLIENT offer is hidden: a client's own XCLIENT would pass as the gateway's.
    assert b"XCLIENT" not in answer.upper()
    assert client.command("XCLIENT ADDR=10.9.9.9") == b"502 5.5.1 Command not implemented\r\n"
    by_data(client)
    assert client.command("QUIT") == b"221 Bye\r\n"
    [(info, received)] = mta.wait_for_messages(1)
    assert info["xclient"] == seen and info["helo"] == "client.test"
    assert received == CONTENT
    wire = mta.received()
    assert b"10.9.9.9" not in wire
    assert wire.count(b"XCLIENT ") == (0 if switch == "0" else 1)
