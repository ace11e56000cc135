"""Sessions of every kind, then a stop while a worker waits on a silent MTA: the daemon exits 0."""
import socket

from smtp_peers import GREETING, dot_stuff, relay_script, reply_code

ROUNDS = 30
# Drops a marked message; on HELO "loop" loops, "ban-me" bans, "silent" connects to an MTA that never answers.
HANDLERS = {
    "OnHelo": r'''
int OnHelo(string name, string word) {
  if (name == "loop") { while (1) { } }
  if (name == "ban-me") { cs.AddIpInferno(cs.GetClientIP(), cs.Time() + 600); }
  if (name == "silent") { note("SILENT"); cs.ConnectToMTA("127.0.0.2", "@SILENT@"); }
  return 0;
}''',
    "OnEmailMessagesToAnalyzer": r'''
int OnEmailMessagesToAnalyzer() {
  if (cs.REeq(cs.GetEmailRaw(), "^X-Drop-Me:", 3)) { cs.DropBufferToMTA(); cs.SendToClient("550 dropped\r\n"); }
  return 0;
}''',
}


def message(client, content):
    client.command("MAIL FROM:<a@client.test>")
    client.command("RCPT TO:<b@dest.test>")
    assert reply_code(client.command("DATA")) == 354
    client.send(content)
    return client.reply()


def one_round(gw):
    """Messages delivered, dropped, refused (bare LF); a runaway script, a vanished, idle and banned client."""
    client = gw.connect()
    assert client.reply() == GREETING and reply_code(client.command("EHLO ok.test")) == 250
    assert reply_code(message(client, dot_stuff(b"Subject: ok\r\n\r\nbody\r\n"))) == 250
    assert message(client, dot_stuff(b"X-Drop-Me: 1\r\n\r\nbody\r\n")) == b"550 dropped\r\n"
    assert reply_code(message(client, b"a\n.\nMAIL FROM:<x@evil>\r\n.\r\n")) == 550
    client.command("QUIT")
    looping = gw.connect()
    looping.reply()
    assert looping.command("EHLO loop").startswith(b"421 4.3.0")
    gone = gw.connect()
    gone.reply()
    gone.command("MAIL FROM:<a@client.test>")
    gone.command("RCPT TO:<b@dest.test>")
    gone.command("DATA")
    gone.send(b"Subject: cut\r\n\r\nhalf a mess")
    gone.close()
    idle = gw.connect()
    assert idle.read_until_closed()[0].endswith(b"451 Connection timeout, try later\r\n")
    assert gw.connect("127.0.30.9").read_until_closed()[0].startswith(b"554")


def test_sessions_of_every_kind_then_a_stop_in_a_silent_connect(start_mta, start_gateway):
    silent = socket.socket()  # accepts no connection: its backlog is full
    silent.bind(("127.0.0.2", 0))
    silent.listen(0)
    fillers = [socket.socket() for _ in range(4)]
    for filler in fillers:
        filler.setblocking(False)
        filler.connect_ex(silent.getsockname())
    mta = start_mta()
    handlers = {name: source.replace("@SILENT@", str(silent.getsockname()[1])) for name, source in HANDLERS.items()}
    gw = start_gateway(mta.port, {"core.cs": relay_script(handlers)},
                       config={"CONFIG": {"n_max_listen": "4", "loglevel": "3"}, "FIREWALL": {"timeout_client": "2"},
                               "CS_SCRIPT": {"enable": "1", "enable_cache_script": "1", "event_cpu_ms": "100"}})
    banned = gw.connect("127.0.30.9")
    banned.reply()
    banned.command("EHLO ban-me")
    banned.command("QUIT")
    for _ in range(ROUNDS):
        one_round(gw)
    assert len(mta.wait_for_messages(ROUNDS)) == ROUNDS

    waiting = gw.connect()
    waiting.reply()
    waiting.send("HELO silent\r\n")
    assert gw.wait_for_event("SILENT")
    status, errors = gw.terminate()
    assert status == 0, errors
    assert "ERROR: AddressSanitizer" not in errors and "LeakSanitizer" not in errors, errors
    assert "runtime error" not in errors, errors
    log = gw.log_text()
    assert log.rfind("Save DB O.K") > log.rfind("SHUTDOWN in PROGRESS") > 0
    for filler in fillers:
        filler.close()
    silent.close()
