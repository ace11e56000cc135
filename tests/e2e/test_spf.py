"""SPFQuery from an antispam script in a real session, against a loopback name server's policies."""
import os
import select
import signal

import pytest

from conftest import ini
from smtp_peers import relay_script

# The script notes "SPF <code> <word> <sender>" for every MAIL FROM.
SPF_HANDLERS = {
    "OnHelo": 'string helo = "";\nint OnHelo(string name, string word) { helo = name; return 0; }',
    "OnMailFrom": r'''
int OnMailFrom(string from) {
  note("MISSING " + cs.SPFQuery(0, from, helo) + " [" + cs.SPFResultString(-1) + cs.SPFResultString(7) + "]");
  int code = cs.SPFQuery(cs.GetClientIP(), from, helo);
  note("SPF " + code + " " + cs.SPFResultString(code) + " " + from);
  return 0;
}''',
}

def pieces(text, size=200):
    """`text` as the strings of one TXT record (at most 255 bytes each)."""
    return [text[i:i + size] for i in range(0, len(text), size)]


CLIENT = "127.0.30.7"
OTHER = "127.0.33.1"
RECORDS = {
    "ip4.spf.test": [["TXT", "v=spf1 ip4:127.0.30.0/24 -all"]],
    "deep.spf.test": [["TXT", *pieces("v=spf1 " + " ".join(f"a:h{n}.spf.test" for n in range(31)) + " -all")]],
    "twice.spf.test": [["TXT", "v=spf1 include:x.spf.test include:x.spf.test -all"]],
    "x.spf.test": [["TXT", "v=spf1 -all"]],
    "inc.spf.test": [["TXT", "v=spf1 include:x.spf.test ~all"]],
    "quiet.spf.test": [["TXT", "v=spf1 -all"]],
}


@pytest.fixture
def spf_gateway(start_mta, start_name_server, start_gateway, tmp_path):
    """(gateway, name server, configuration writer) with the SPF script."""
    server = start_name_server(RECORDS, {"quiet.spf.test": {"mode": "silent"}})
    mta = start_mta()
    overrides = {"CONFIG": {"loglevel": "4"}, "SPF": {"spf_strict": "0", "spf_max_recursion": "30"}}
    gateway = start_gateway(mta.port, {"core.cs": relay_script(SPF_HANDLERS)}, overrides, server.address)
    return gateway, server


def verdicts(gateway, source, helo, senders):
    """[(code, word)] the script noted for each sender, one session."""
    before = len(gateway.event_texts("SPF "))
    client = gateway.connect(source)
    assert client.reply().startswith(b"220")
    client.command(f"HELO {helo}")
    for sender in senders:
        client.command(f"MAIL FROM:<{sender}>")
        client.command("RSET")
    client.command("QUIT")
    client.close()
    noted = gateway.wait_for_event("SPF ", before + len(senders))[before:]
    return [tuple(line.split()[1:3]) for line in noted]


def switch_mode(gateway, strict):
    gateway.settings["SPF"]["spf_strict"] = "1" if strict else "0"
    gateway.config.write_bytes(ini(gateway.settings).encode("latin-1"))
    seen = gateway.log_text().count(f"strict:{int(strict)}")
    gateway.send(signal.SIGHUP)
    assert gateway.wait_for_log(f"strict:{int(strict)}", seen + 1), "the reload was not logged"


# (client, HELO, sender, code) in the default mode (mechanisms: spf_test; long and split TXT: dns_server_test).
DEFAULT_CASES = [
    (CLIENT, "c.test", "u@ip4.spf.test", "0"),
    (CLIENT, "c.test", "u@deep.spf.test", "5"),
    (CLIENT, "c.test", "u@twice.spf.test", "2"),
    (CLIENT, "c.test", "u@inc.spf.test", "2"),
]
# What strict mode says where it differs.
STRICT_CASES = [
    (CLIENT, "c.test", "u@inc.spf.test", "1"),
    (CLIENT, "c.test", "u@deep.spf.test", "6"),
]


def test_verdicts_in_both_modes_with_a_reload_between(spf_gateway):
    gateway, server = spf_gateway
    for source, helo, sender, code in DEFAULT_CASES:
        assert verdicts(gateway, source, helo, [sender])[0][0] == code, (source, sender)
    assert set(gateway.event_texts("MISSING ")) == {"MISSING 3 []"}
    assert gateway.wait_for_log("cmd include | x.spf.test")

    asked = server.counts()
    assert verdicts(gateway, CLIENT, "c.test", ["u@ip4.spf.test", "u@inc.spf.test"]) == [("0", "Pass"),
                                                                                      ("2", "Fail")]
    assert server.counts() == asked, "cached verdicts send no query"

    switch_mode(gateway, True)
    for source, helo, sender, code in STRICT_CASES:
        assert verdicts(gateway, source, helo, [sender])[0][0] == code, (source, sender)
    switch_mode(gateway, False)
    assert verdicts(gateway, CLIENT, "c.test", ["u@inc.spf.test"]) == [("2", "Fail")]


# A repeated include goes to the log, not to the daemon's standard output.
def test_silent_name_server_gives_temperror_not_cached(spf_gateway):
    gateway, server = spf_gateway
    for attempt in (1, 2):
        assert verdicts(gateway, CLIENT, "c.test", ["u@quiet.spf.test"]) == [("5", "TempError")]
        assert server.counts()["quiet.spf.test 16"] == attempt
    assert verdicts(gateway, OTHER, "c.test", ["u@twice.spf.test"]) == [("2", "Fail")]
    assert b"cmd " not in printed_so_far(gateway)


def printed_so_far(daemon):
    """What the daemon wrote to its standard output until now."""
    out = daemon.output
    while select.select([daemon.process.stdout], [], [], 0)[0]:
        chunk = os.read(daemon.process.stdout.fileno(), 65536)
        if not chunk:
            break
        out += chunk
    return out
