"""The mail path: a raw client, the gateway under noting scripts, and the recording MTA."""
import time

from conftest import wait_until
from smtp_peers import GREETING, RELAY_RANGE, deliver, dot_stuff, merge, relay_script, reply_code, shipped_policy

# Bytes the relay holds before the scripts decide on a message (the prefix the analysis reads).
DATA_LIMIT = 30720


def mta_replies(mta, conn=1):
    """The replies the MTA sent on connection `conn`, one per element."""
    return [e["data"].encode("latin-1") for e in mta.transcript() if e["conn"] == conn and e["dir"] == "out"]


def greeted(client):
    """`client` after the MTA's greeting and a successful EHLO."""
    assert client.reply() == GREETING
    assert reply_code(client.command("EHLO client.test")) == 250
    return client


# ---- Relaying ----------------------------------------------------------------------

# One command at a time, as pipelined: session_worker_test.
def test_message_relayed_byte_for_byte(start_mta, start_gateway):
    mta = start_mta()
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
    # The scripts saw each step.
    assert gw.event_texts("HELO") == ["HELO client.test EHLO"]
    assert gw.event_texts("MAIL") == ["MAIL alice@client.test"]
    assert gw.event_texts("RCPT") == ["RCPT bob@dest.test"]
    assert gw.event_texts("DATA") == [f"DATA {DATA_LIMIT}"]
    assert len(gw.event_texts("ANALYZE")) == 1


# A smuggled envelope behind bare line ends is neither a message nor commands (marks: relay_rules_test).
SMUGGLED = b"MAIL FROM:<x@evil.example>\r\nRCPT TO:<victim@dest.test>\r\nDATA\r\nSubject: smuggled\r\n\r\nevil\r\n"


def test_message_ends_only_where_every_mta_ends_it(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, config={"FIREWALL": {"refuse_bare_line_ends": "0"}})
    client = greeted(gw.connect())
    assert reply_code(client.command("MAIL FROM:<alice@client.test>")) == 250
    assert reply_code(client.command("RCPT TO:<bob@dest.test>")) == 250
    assert reply_code(client.command("DATA")) == 354
    assert reply_code(client.command(b"Subject: 1\r\n\r\nfirst\n.\n" + SMUGGLED + b".")) == 250
    assert client.command("QUIT") == b"221 Bye\r\n"
    [(envelope, body)] = mta.wait_for_messages(1)
    assert envelope["mail_from"] == "alice@client.test" and b"evil" in body
    assert gw.event_texts("MAIL") == ["MAIL alice@client.test"]


# ---- Errors and time-outs ---------------------------------------------------------------

def test_idle_client_times_out_but_relay_client_does_not(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, config=merge(RELAY_RANGE, {"FIREWALL": {"timeout_client": "2"}}))
    idle = gw.connect("127.0.30.20")
    relay = gw.connect("127.0.31.20")
    assert idle.reply() == GREETING and relay.reply() == GREETING
    assert idle.read_until_closed() == (b"451 Connection timeout, try later\r\n", True)
    # Longer silent than the idle client was: the relay client is still served.
    time.sleep(1)
    assert relay.command("NOOP") == b"250 OK\r\n"
    assert gw.event_texts("TIMEOUT") == ["TIMEOUT"]
    assert gw.wait_for_log("Connection Timeout")


# A client that never reads: the gateway stops reading at a bound and ends the session after the idle time.
def test_client_that_never_reads_keeps_the_gateway_small(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, config={"FIREWALL": {"timeout_client": "3"}})
    before = gw.resident_kb()
    client = gw.connect()
    client.sock.setblocking(False)
    sent, grown, stalled_since, cut = 0, None, None, False
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not cut:
        try:
            sent += client.sock.send(b"EHLO never-reads.test\r\n" * 200)
            stalled_since = None
        except BlockingIOError:
            stalled_since = stalled_since or time.monotonic()
            if time.monotonic() - stalled_since > 1:  # the gateway reads no more
                grown = max(grown or 0, gw.resident_kb() - before)
            time.sleep(0.01)
        except OSError:
            cut = True  # the gateway ended the session: the unread bytes reset the connection
    assert sent > 1 << 20, sent
    assert grown is not None and grown < 8 << 10, f"{grown} KB after {sent} bytes of EHLO"
    assert cut


# ---- Scripts ----------------------------------------------------------------------------------

# A session count only a compiled-once script keeps (a rerun top level keeps a same-size array's elements).
COUNT_SESSIONS = r'''
int sessions[1];
int OnHelo(string name, string word) {
  sessions[0] = sessions[0] + 1;
  note("SESSION " + sessions[0]);
  return 0;
}'''
# A cached worker takes the next connection once idle again, right after "OnDestroyThis" ran.
IDLE_SECONDS = 0.3


def lifecycle(gw):
    """The START, SESSION and DESTROY events, in order."""
    return [t for t in gw.event_texts() if t.split(" ")[0] in ("START", "SESSION", "DESTROY")]


def destroyed_since_last_start(gw):
    kinds = [t.split(" ")[0] for t in lifecycle(gw)]
    return "START" in kinds and "DESTROY" in kinds[len(kinds) - kinds[::-1].index("START"):]


def test_cached_scripts_compile_once_and_hear_of_each_connection_end(start_mta, start_gateway):
    mta = start_mta()
    config = {"CONFIG": {"n_max_listen": "1"}, "CS_SCRIPT": {"enable_cache_script": "1"}}
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnHelo": None}, extra=COUNT_SESSIONS)},
                       config=config)
    for _ in range(3):
        client = greeted(gw.connect())
        client.command("QUIT")
        assert client.read_until_closed()[1]
        assert wait_until(lambda: destroyed_since_last_start(gw)), lifecycle(gw)
        time.sleep(IDLE_SECONDS)
    events = lifecycle(gw)
    assert [int(t.split(" ")[1]) for t in events if t.startswith("SESSION")] == [1, 2, 3], events
    # Each connection's end is announced before the next one starts.
    starts = [i for i, t in enumerate(events) if t.startswith("START")]
    assert all("DESTROY" in events[a:b] for a, b in zip(starts, starts[1:] + [len(events)])), events


# ---- What the scripts change in the message ------------------------------------------------

EDIT_MESSAGE = r'''
int OnEmailMessagesToAnalyzer() {
  cs.WriteHeaderMessage("X-Torvane-Test: checked\r\nBcc: injected@evil.example");
  cs.ModifyHeaderSubject("[TAG]");
  return 0;
}'''


# Each edit reaches the MTA as one header line, in the header only (every kind: antispam_script_test).
def test_header_insertion_and_subject_tag_reach_the_mta(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnEmailMessagesToAnalyzer": EDIT_MESSAGE})})
    deliver(gw, "From: a@client.test\r\nSubject: hello\r\n\r\nSubject: body text\r\n")
    [(envelope, received)] = mta.wait_for_messages(1)
    assert received == (b"From: a@client.test\r\nSubject: [TAG]  hello\r\n"
                        b"X-Torvane-Test: checked Bcc: injected@evil.example\r\n\r\nSubject: body text\r\n")
    assert envelope["rcpt_tos"] == ["b@example.org"]


# ---- Command lines -------------------------------------------------------------------------------

def test_starttls_is_refused_and_hidden_by_the_shipped_script(start_mta, start_gateway):
    mta = start_mta(starttls=True)
    gw = start_gateway(mta.port, shipped_policy())
    client = gw.connect()
    assert client.reply() == GREETING
    ehlo = client.command("EHLO client.test")
    offered = mta_replies(mta)[1].split(b"\r\n")[:-1]
    assert any(b"STARTTLS" in line for line in offered)
    # Nothing lost but STARTTLS (the answer's form: smtp_commands_test).
    assert [line[4:] for line in ehlo.split(b"\r\n")[:-1]] == [line[4:] for line in offered if b"STARTTLS" not in line]
    assert client.command("STARTTLS") == b"454 4.7.0 TLS not available due to local problem\r\n"
    assert client.command("NOOP") == b"250 OK\r\n"
    assert b"STARTTLS" not in mta.received()
