"""The gateway's mail path end to end: real clients (raw sockets, swaks,
smtplib) talk to torvane-antispam, which relays to a recording MTA
(recording_mta.py) under antispam scripts written by each test. The scripts
note every event they see in an event file; the MTA records every byte it
received and every message it accepted."""
import re
import shutil
import smtplib
import subprocess
import time

import pytest

from conftest import WAIT_SECONDS, wait_until
from smtp_peers import (BUSY_REPLY, GREETING, HERE, RELAY_RANGE, dot_stuff, free_port, merge, relay_script,
                        reply_code)

SHIPPED_CORE_SCRIPT = HERE.parents[1] / "dist" / "scripts" / "antispam" / "core.cs"
# Bytes the relay holds before the scripts decide on a message, and the
# prefix of them the analysis reads.
DATA_LIMIT = 30720


def mta_replies(mta, conn=1):
    """The replies the MTA sent on connection `conn`, one per element."""
    return [e["data"].encode("latin-1") for e in mta.transcript() if e["conn"] == conn and e["dir"] == "out"]


def send_message(client, content, sender="alice@client.test", recipients=("bob@dest.test",)):
    """MAIL, RCPT and DATA for `content`; returns the replies in order."""
    replies = [client.command(f"MAIL FROM:<{sender}>")]
    replies += [client.command(f"RCPT TO:<{rcpt}>") for rcpt in recipients]
    replies.append(client.command("DATA"))
    client.send(dot_stuff(content))
    replies.append(client.reply())
    return replies


def greeted(client):
    """`client` after the MTA's greeting and a successful EHLO."""
    assert client.reply() == GREETING
    assert reply_code(client.command("EHLO client.test")) == 250
    return client


# ---- Relaying ----------------------------------------------------------------------

def test_message_relayed_byte_for_byte_one_command_at_a_time(start_mta, start_gateway):
    # Each MTA reply is held back a little, so a command sent before the
    # previous reply would reach the MTA first.
    mta = start_mta(reply_delay=0.15)
    gw = start_gateway(mta.port)
    client = gw.connect()
    got = [client.reply(), client.command("EHLO client.test")]
    client.send("MAIL FROM:<alice@client.test>\r\nRCPT TO:<bob@dest.test>\r\n")  # one packet
    got += [client.reply(), client.reply()]
    content = (b"From: alice@client.test\r\nTo: bob@dest.test\r\nSubject: byte for byte\r\n\r\n"
               b".a line that starts with a dot\r\n..two dots\r\n.\r\n"
               b"caf\xe9 8-bit \x80\xff bytes\r\n" + b"L" * 900 + b"\r\n\r\nlast line\r\n")
    got.append(client.command("DATA"))
    stuffed = dot_stuff(content)
    for start in range(0, len(stuffed), 333):  # in pieces, as a slow client sends
        client.send(stuffed[start:start + 333])
        time.sleep(0.01)
    got += [client.reply(), client.command("QUIT")]

    # Every reply the client got is exactly what the MTA sent.
    assert got[0] == GREETING
    assert [reply_code(r) for r in got] == [220, 250, 250, 250, 354, 250, 221]
    assert got == mta_replies(mta)
    # The message and its envelope arrived unchanged.
    [(envelope, received)] = mta.wait_for_messages(1)
    assert received == content
    assert envelope["mail_from"] == "alice@client.test" and envelope["rcpt_tos"] == ["bob@dest.test"]
    assert envelope["helo"] == "client.test"
    raw = mta.received()
    data_start = raw.index(b"DATA\r\n") + len(b"DATA\r\n")
    assert raw[data_start:data_start + len(stuffed)] == stuffed, "the dot-stuffed bytes on the wire"
    # The pipelined RCPT TO left only after the MTA had answered MAIL FROM.
    events = [(e["dir"], e["data"]) for e in mta.transcript() if e["dir"] in ("in", "out")]
    mail = next(i for i, (d, text) in enumerate(events) if d == "in" and "MAIL FROM" in text)
    rcpt = next(i for i, (d, text) in enumerate(events) if d == "in" and "RCPT TO" in text)
    assert mail < rcpt and ("out", "250 OK\r\n") in events[mail + 1:rcpt], events
    # The scripts saw each step.
    assert gw.event_texts("HELO") == ["HELO client.test EHLO"]
    assert gw.event_texts("MAIL") == ["MAIL alice@client.test"]
    assert gw.event_texts("RCPT") == ["RCPT bob@dest.test"]
    assert gw.event_texts("DATA") == [f"DATA {DATA_LIMIT}"]
    assert len(gw.event_texts("ANALYZE")) == 1


def test_large_message_is_analysed_on_its_prefix_and_streamed(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port)
    client = greeted(gw.connect())
    line = b"0123456789" * 7 + b"abcdef\r\n"  # 78 bytes
    content = b"Subject: large\r\n\r\n" + line * 2600  # about 200 KB
    assert reply_code(client.command("MAIL FROM:<alice@client.test>")) == 250
    assert reply_code(client.command("RCPT TO:<bob@dest.test>")) == 250
    assert reply_code(client.command("DATA")) == 354
    stuffed = dot_stuff(content)
    half = len(stuffed) // 2
    client.send(stuffed[:half])
    # Past the data limit the message flows on while the client still sends.
    assert wait_until(lambda: len(mta.received()) > DATA_LIMIT + 1000), len(mta.received())
    client.send(stuffed[half:])
    assert reply_code(client.reply()) == 250
    [(_, received)] = mta.wait_for_messages(1)
    assert received == content
    assert gw.event_texts("ANALYZE") == [f"ANALYZE {DATA_LIMIT}"]


@pytest.mark.parametrize("mta_takes_bdat", [True, False], ids=["bdat-mta", "plain-mta"])
def test_bdat_chunk_lowers_the_limit_and_returns_to_commands(start_mta, start_gateway, mta_takes_bdat):
    mta = start_mta(bdat=mta_takes_bdat)
    gw = start_gateway(mta.port)
    client = greeted(gw.connect())
    assert reply_code(client.command("MAIL FROM:<alice@client.test>")) == 250
    assert reply_code(client.command("RCPT TO:<bob@dest.test>")) == 250
    first = b"Subject: chunked\r\n" + b"a" * 80 + b"\r\n"  # 100 bytes, ending a line
    assert len(first) == 100
    client.send(b"BDAT 100\r\n" + first)
    if mta_takes_bdat:
        assert client.reply() == b"250 OK chunk of 100 bytes\r\n"
        last = b"end\r\n"
        client.send(b"BDAT 5 LAST\r\n" + last)
        assert reply_code(client.reply()) == 250
        [(_, received)] = mta.wait_for_messages(1)
        assert received == first + last
        assert gw.event_texts("DATA") == ["DATA 99", "DATA 4"]
    else:
        # The MTA takes "BDAT" and then each line of the chunk for unknown commands.
        replies = [client.reply() for _ in range(1 + first.count(b"\r\n"))]
        assert [reply_code(r) for r in replies] == [500, 500, 500], replies
        assert gw.event_texts("DATA") == ["DATA 99"]
    # Back in command mode whatever the MTA answered.
    assert client.command("NOOP") == b"250 OK\r\n"
    assert client.command("QUIT") == b"221 Bye\r\n"


DROP_ON_MARK = r'''
int OnEmailMessagesToAnalyzer() {
  note("ANALYZE " + cs.GetEmailLen());
  if (cs.REeq(cs.GetEmailRaw(), "^X-Drop-Me:", 3)) {
    cs.DropBufferToMTA();
    cs.SendToClient("550 5.7.1 Message refused by policy\r\n");
    note("DROPPED");
  }
  return 0;
}'''


def test_message_dropped_by_the_script_never_reaches_the_mta(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnEmailMessagesToAnalyzer": DROP_ON_MARK})})
    kept = greeted(gw.connect())
    assert reply_code(send_message(kept, b"Subject: keep\r\n\r\nkept body\r\n")[-1]) == 250
    kept.command("QUIT")

    dropped = greeted(gw.connect())
    replies = send_message(dropped, b"Subject: drop\r\nX-Drop-Me: yes\r\n\r\nsecret body\r\n")
    assert replies[-1] == b"550 5.7.1 Message refused by policy\r\n"
    dropped.send("QUIT\r\n")
    # Whatever the client sent before QUIT is at the MTA once QUIT is.
    assert wait_until(lambda: b"QUIT" in mta.received(conn=2))
    assert b"secret body" not in mta.received() and b"X-Drop-Me" not in mta.received()
    assert [content for _, content in mta.messages()] == [b"Subject: keep\r\n\r\nkept body\r\n"]
    assert gw.event_texts("DROPPED") == ["DROPPED"]


# ---- Recipients ------------------------------------------------------------------------

# (line, what a plain client's script sees, what a relay client's sees)
RCPT_CASES = [
    ("RCPT TO:<bob@dest.test>", "RCPT bob@dest.test", "RCPT bob@dest.test"),
    # A percent hack and a source route: only relay clients may use them.
    ("RCPT TO:<user%other.test@dest.test>",
     "RCPTERROR RCPT TO:<user%other.test@dest.test>", "RCPT user%other.test@dest.test"),
    ("RCPT TO:<@hop.test:user@dest.test>",
     "RCPTERROR RCPT TO:<@hop.test:user@dest.test>", "RCPT @hop.test:user@dest.test"),
    # A bang path host!user names user@host, bare or in angle brackets.
    ("RCPT TO: host!user", "RCPT user@host", "RCPT user@host"),
    ("RCPT TO:<host!user>", "RCPT user@host", "RCPT user@host"),
]


def test_source_routes_and_bang_paths_by_client_kind(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, config=RELAY_RANGE)
    for source, column in (("127.0.30.10", 1), ("127.0.31.10", 2)):
        client = greeted(gw.connect(source))
        client.command("MAIL FROM:<alice@client.test>")
        before = len(gw.events())
        for case in RCPT_CASES:
            client.command(case[0])
        client.command("QUIT")
        wait_until(lambda: len(gw.events()) >= before + len(RCPT_CASES))
        seen = [line.split(" ", 2)[2] for line in gw.events()[before:]]
        assert seen[:len(RCPT_CASES)] == [case[column] for case in RCPT_CASES], source
    starts = gw.event_texts("START")
    assert starts == ["START 127.0.30.10 relay=0 mta=1", "START 127.0.31.10 relay=1 mta=1"]


# ---- Errors and time-outs ---------------------------------------------------------------

@pytest.mark.parametrize("rcpt_reply, counted", [("501 5.1.3 Bad recipient address syntax", True),
                                                   ("550 5.1.1 No such user", False)], ids=["50x", "550"])
def test_too_many_mta_errors_end_the_session(start_mta, start_gateway, rcpt_reply, counted):
    mta = start_mta(rcpt_reply=rcpt_reply)
    gw = start_gateway(mta.port, config={"FIREWALL": {"error_max": "2"}})
    client = greeted(gw.connect())
    assert reply_code(client.command("MAIL FROM:<alice@client.test>")) == 250
    expected = (rcpt_reply + "\r\n").encode()
    assert client.command("RCPT TO:<a@dest.test>") == expected
    assert client.command("RCPT TO:<b@dest.test>") == expected
    client.send("RCPT TO:<c@dest.test>\r\n")
    if counted:
        # The third 50x error is over the limit: the session ends without passing it on.
        assert client.read_until_closed() == (b"", True)
        assert gw.wait_for_log("max errors exceeded... close connection !!!")
    else:
        # Only 500..509 count as errors.
        assert client.reply() == expected
        assert client.command("NOOP") == b"250 OK\r\n"


def test_idle_client_times_out_but_relay_client_does_not(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, config=merge(RELAY_RANGE, {"FIREWALL": {"timeout_client": "2"}}))
    idle = gw.connect("127.0.30.20")
    relay = gw.connect("127.0.31.20")
    assert idle.reply() == GREETING and relay.reply() == GREETING
    started = time.monotonic()
    data, closed = idle.read_until_closed(seconds=6)
    waited = time.monotonic() - started
    assert (data, closed) == (b"451 Connection timeout, try later\r\n", True)
    assert 1.9 < waited < 4.5, waited
    time.sleep(max(0.0, 3.5 - (time.monotonic() - started)))
    assert relay.command("NOOP") == b"250 OK\r\n"
    assert gw.event_texts("TIMEOUT") == ["TIMEOUT"]
    assert gw.wait_for_log("Connection Timeout")


def test_client_past_the_worker_count_gets_the_busy_reply(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, config={"CONFIG": {"n_max_listen": "2"}})
    first, second = gw.connect(), gw.connect()
    assert first.reply() == GREETING and second.reply() == GREETING
    third = gw.connect()
    assert third.read_until_closed() == (BUSY_REPLY, True)
    assert first.command("NOOP") == b"250 OK\r\n"


# ---- MTA selection -------------------------------------------------------------------------

def connect_lines(log_text):
    """("FAILED"|"OK", port) for each MTA connect attempt in the log, in order."""
    found = re.finditer(r"(FAILED to Connect a|O\.K\. Connect To): 127\.0\.0\.1 port: (\d+)", log_text)
    return [("FAILED" if m.group(1).startswith("FAILED") else "OK", int(m.group(2))) for m in found]


# Servers are "live" (the recording MTA) or a dead port d1..d3; "expected"
# lists the attempts of all connections in order.
MTA_MODE_CASES = [
    ("first-only", 1, ["d1", "live"], 1, [("FAILED", "d1")]),
    ("failover", 2, ["d1", "live"], 1, [("FAILED", "d1"), ("OK", "live")]),
    ("failover-all-dead", 2, ["d1", "d2", "d3"], 1, [("FAILED", "d1"), ("FAILED", "d2"), ("FAILED", "d3")]),
    ("round-robin", 3, ["live", "d1"], 2, [("OK", "live"), ("FAILED", "d1"), ("OK", "live")]),
    ("round-robin-all-dead", 3, ["d1", "d2"], 2,
     [("FAILED", "d1"), ("FAILED", "d2"), ("FAILED", "d1"), ("FAILED", "d2"), ("FAILED", "d1"), ("FAILED", "d2")]),
]


@pytest.mark.parametrize("name, mode, servers, connections, expected", MTA_MODE_CASES,
                         ids=[case[0] for case in MTA_MODE_CASES])
def test_mta_selection_modes(start_mta, start_gateway, name, mode, servers, connections, expected):
    mta = start_mta()
    ports = {"live": mta.port}
    while len(set(ports.values())) < 4:  # three distinct ports nobody listens on
        ports.update({name: free_port() for name in ("d1", "d2", "d3")})
    config = {"CONFIG": {"smtp_type": str(mode)}}
    for n, server in enumerate(servers, start=1):
        config["CONFIG"][f"smtp_server{n}"] = "127.0.0.1"
        config["CONFIG"][f"smtp_port{n}"] = str(ports[server])
    gw = start_gateway(mta.port, config=config)
    reaches_mta = expected[-1][0] == "OK"
    for _ in range(connections):
        client = gw.connect()
        if reaches_mta:
            assert client.reply() == GREETING
            client.command("QUIT")
        else:
            assert client.read_until_closed() == (b"421 4.3.0 no mail server\r\n", True)
    assert wait_until(lambda: len(connect_lines(gw.log_text())) >= len(expected))
    assert connect_lines(gw.log_text()) == [(result, ports[server]) for result, server in expected]


# ---- Scripts ----------------------------------------------------------------------------------

# b.cs: ends connections from 127.0.30.41 at once; hears global variables.
LISTENER_SCRIPT = r'''
int OnStartClientConnection(int id) {
  conn = id;
  note("START");
  if (cs.GetClientIP() == "127.0.30.41") return 2;
  return 0;
}
int OnHelo(string name, string word) { note("HELO"); return 0; }
int NotificationGlobalVariable(string name, string value) { note("NOTIFY " + name + "=" + value); return 0; }
'''
# a.cs: relays, shares a verdict with the other scripts after HELO.
SHARING_HANDLERS = {
    "OnHelo": r'''
int OnHelo(string name, string word) {
  note("HELO");
  cs.RegisterGlobalVariable("verdict");
  cs.SetGlobalVariable("verdict", "helo:" + name);
  cs.SetGlobalVariable("unregistered", "x");
  return 0;
}''',
}
SELF_NOTIFICATION = 'int NotificationGlobalVariable(string n, string v) { note("SELF " + n); return 0; }'


def test_scripts_run_in_list_order_share_variables_and_end_connections(start_mta, start_gateway):
    mta = start_mta()
    scripts = {"a.cs": relay_script(SHARING_HANDLERS, extra=SELF_NOTIFICATION), "b.cs": LISTENER_SCRIPT}
    # Listed in reverse: the sorted list runs a.cs first.
    gw = start_gateway(mta.port, scripts, config={"CS_SCRIPT": {"cs_0": "2|b.cs", "cs_1": "1|a.cs"}})
    client = greeted(gw.connect("127.0.30.40"))
    client.command("QUIT")
    assert gw.wait_for_event("HELO", count=2)
    assert [line.split(" ", 1)[1] for line in gw.events()] == [
        "a.cs START 127.0.30.40 relay=0 mta=1", "b.cs START",
        "a.cs HELO", "b.cs NOTIFY verdict=helo:client.test", "b.cs HELO"]

    # b.cs returns 2 from OnStartClientConnection: the connection ends at once.
    ended = gw.connect("127.0.30.41")
    assert ended.read_until_closed() == (b"", True)
    assert gw.event_texts("START")[-1] == "START"  # b.cs ran, then nothing more
    assert not gw.event_texts("HELO")[2:]


BROKEN_SYNTAX = b"int OnHelo(string name, string word) { return 1 +; }\n"
RUNTIME_FAILURE = r'''
int OnHelo(string name, string word) { int zero = 0; note("HELO"); return 1 % zero; }
int OnMailFrom(string from) { note("MAIL"); return 0; }
'''


def test_broken_scripts_are_skipped_while_mail_flows(start_mta, start_gateway):
    mta = start_mta()
    scripts = {"core.cs": relay_script(), "broken.cs": BROKEN_SYNTAX, "failing.cs": RUNTIME_FAILURE}
    config = {"CS_SCRIPT": {"cs_0": "1|core.cs", "cs_1": "2|broken.cs", "cs_2": "3|failing.cs"}}
    gw = start_gateway(mta.port, scripts, config=config)
    client = greeted(gw.connect())
    assert reply_code(send_message(client, b"Subject: flows\r\n\r\nbody\r\n")[-1]) == 250
    client.command("QUIT")
    assert len(mta.wait_for_messages(1)) == 1
    # failing.cs failed in OnHelo and was skipped from then on.
    assert [line.split(" ", 2)[1:] for line in gw.events() if " failing.cs " in line] == [["failing.cs", "HELO"]]
    assert gw.wait_for_log("-- ERROR SCRIPT: /scripts/antispam/broken.cs --")


def test_broken_core_script_ends_every_session(start_mta, start_gateway):
    mta = start_mta()
    scripts = {"core.cs": BROKEN_SYNTAX, "other.cs": relay_script()}
    gw = start_gateway(mta.port, scripts, config={"CS_SCRIPT": {"cs_0": "1|core.cs", "cs_1": "2|other.cs"}})
    for _ in range(2):
        assert gw.connect().read_until_closed() == (b"", True)
    assert gw.wait_for_log("-- ERROR SCRIPT: /scripts/antispam/core.cs --", count=2)
    assert gw.events() == [] and mta.connections() == []


# A connection counter that only a cached, compiled-once script keeps: when
# the top level runs again for the next connection, an indexed array of the
# same size keeps its elements, but a fresh compilation starts from 0.
COUNT_SESSIONS = r'''
int sessions[1];
int OnHelo(string name, string word) {
  sessions[0] = sessions[0] + 1;
  note("SESSION " + sessions[0]);
  return 0;
}'''
# A cached worker takes the next connection only once it is idle again,
# which it is right after "OnDestroyThis" ran.
IDLE_SECONDS = 0.3


def lifecycle(gw):
    """The START, SESSION and DESTROY events, in order."""
    return [t for t in gw.event_texts() if t.split(" ")[0] in ("START", "SESSION", "DESTROY")]


def destroyed_since_last_start(gw):
    kinds = [t.split(" ")[0] for t in lifecycle(gw)]
    return "START" in kinds and "DESTROY" in kinds[len(kinds) - kinds[::-1].index("START"):]


@pytest.mark.parametrize("cache, counts, destroyed", [("1", [1, 2, 3], True), ("0", [1, 1, 1], False)],
                         ids=["cached", "not-cached"])
def test_cached_scripts_compile_once_and_hear_of_each_connection_end(start_mta, start_gateway, cache,
                                                                      counts, destroyed):
    mta = start_mta()
    config = {"CONFIG": {"n_max_listen": "1"}, "CS_SCRIPT": {"enable_cache_script": cache}}
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnHelo": None}, extra=COUNT_SESSIONS)},
                       config=config)
    for _ in range(3):
        client = greeted(gw.connect())
        client.command("QUIT")
        assert client.read_until_closed()[1]
        if destroyed:
            assert wait_until(lambda: destroyed_since_last_start(gw)), lifecycle(gw)
        time.sleep(IDLE_SECONDS)
    events = lifecycle(gw)
    assert [int(t.split(" ")[1]) for t in events if t.startswith("SESSION")] == counts, events
    if destroyed:
        # Each connection's end is announced before the next one starts.
        starts = [i for i, t in enumerate(events) if t.startswith("START")]
        assert all("DESTROY" in events[a:b] for a, b in zip(starts, starts[1:] + [len(events)])), events
    else:
        assert "DESTROY" not in events


# ---- What the scripts change in the message ------------------------------------------------

EDIT_MESSAGE = r'''
int OnEmailMessagesToAnalyzer() {
  cs.WriteHeaderMessage("X-Torvane-Test: checked");
  cs.ModifyHeaderSubject("[TAG]");
  return 0;
}'''
EDIT_CASES = [
    (b"From: a@client.test\r\nSubject: hello\r\n\r\nbody line\r\n",
     b"From: a@client.test\r\nSubject: [TAG]  hello\r\nX-Torvane-Test: checked\r\n\r\nbody line\r\n"),
    (b"Subject: \r\nFrom: a@client.test\r\n\r\nbody\r\n",
     b"Subject: [TAG]\r\nFrom: a@client.test\r\nX-Torvane-Test: checked\r\n\r\nbody\r\n"),
    (b"From: a@client.test\r\n\r\nbody\r\n",
     b"Subject: [TAG]\r\nFrom: a@client.test\r\nX-Torvane-Test: checked\r\n\r\nbody\r\n"),
    (b"no header at all\r\n",
     b"Subject: [TAG]\r\nX-Torvane-Test: checked\r\n\r\nno header at all\r\n"),
]


def test_header_insertion_and_subject_tag_reach_the_mta(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnEmailMessagesToAnalyzer": EDIT_MESSAGE})})
    client = greeted(gw.connect())
    for content, _ in EDIT_CASES:
        assert reply_code(send_message(client, content)[-1]) == 250
    client.command("QUIT")
    received = [content for _, content in mta.wait_for_messages(len(EDIT_CASES))]
    assert received == [edited for _, edited in EDIT_CASES]


# ---- Command lines -------------------------------------------------------------------------------

def test_overlong_command_line_is_refused_and_the_session_goes_on(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port)
    client = greeted(gw.connect())
    assert client.command("NOOP " + "x" * 5000) == b"500 5.5.2 Line too long\r\n"
    assert client.command("NOOP") == b"250 OK\r\n"
    assert client.command("QUIT") == b"221 Bye\r\n"
    assert b"xxxx" not in mta.received()


@pytest.mark.parametrize("position", ["first", "last"])
def test_starttls_is_refused_and_hidden_by_the_shipped_script(start_mta, start_gateway, position):
    mta = start_mta(starttls=position)
    gw = start_gateway(mta.port, {"core.cs": SHIPPED_CORE_SCRIPT.read_bytes()})
    client = gw.connect()
    assert client.reply() == GREETING
    ehlo = client.command("EHLO client.test")
    offered = mta_replies(mta)[1].split(b"\r\n")[:-1]
    assert any(b"STARTTLS" in line for line in offered)
    lines = ehlo.split(b"\r\n")
    assert lines[-1] == b"" and lines[:-1], ehlo
    lines = lines[:-1]
    # Well formed: continuation lines, then one last line; nothing lost but STARTTLS.
    assert all(line.startswith(b"250-") for line in lines[:-1]) and lines[-1].startswith(b"250 "), ehlo
    assert [line[4:] for line in lines] == [line[4:] for line in offered if b"STARTTLS" not in line]
    assert client.command("STARTTLS") == b"454 4.7.0 TLS not available due to local problem\r\n"
    assert client.command("NOOP") == b"250 OK\r\n"
    assert b"STARTTLS" not in mta.received()


# ---- Real clients --------------------------------------------------------------------------------

def test_swaks_and_smtplib_send_through_the_gateway(start_mta, start_gateway):
    if shutil.which("swaks") is None:
        pytest.fail("swaks is not installed (tools/install-deps installs it)")
    mta = start_mta()
    gw = start_gateway(mta.port)
    done = subprocess.run(["swaks", "--server", f"127.0.0.1:{gw.port}", "--from", "swaks@client.test",
                           "--to", "bob@dest.test", "--header", "Subject: from swaks",
                           "--body", "sent by swaks", "--timeout", "10"],
                          capture_output=True, timeout=30)
    assert done.returncode == 0, done.stdout.decode(errors="replace")

    with smtplib.SMTP("127.0.0.1", gw.port, timeout=WAIT_SECONDS) as smtp:
        smtp.ehlo("smtplib.client.test")
        refused = smtp.sendmail("lib@client.test", ["carol@dest.test", "dave@dest.test"],
                                b"Subject: from smtplib\r\n\r\n.leading dot\r\nsent by smtplib\r\n")
        assert refused == {}
    messages = mta.wait_for_messages(2)
    (swaks_env, swaks_msg), (lib_env, lib_msg) = messages
    assert swaks_env["mail_from"] == "swaks@client.test" and swaks_env["rcpt_tos"] == ["bob@dest.test"]
    assert b"Subject: from swaks\r\n" in swaks_msg and b"sent by swaks" in swaks_msg
    assert lib_env["rcpt_tos"] == ["carol@dest.test", "dave@dest.test"]
    assert lib_msg == b"Subject: from smtplib\r\n\r\n.leading dot\r\nsent by smtplib\r\n"
