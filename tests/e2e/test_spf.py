"""SPFQuery from an antispam script in a real session, the client's source
address checked against a loopback name server's policies."""
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
# Six TXT strings of 100 bytes make an answer too long for a datagram.
BIG_POLICY = ["v=spf1 " + "".join(f"ip4:127.0.40.{n} " for n in range(1, 15))] + ["x" * 100] * 5
RECORDS = {
    "ip4.spf.test": [["TXT", "v=spf1 ip4:127.0.30.0/24 -all"]],
    "deep.spf.test": [["TXT", *pieces("v=spf1 " + " ".join(f"a:h{n}.spf.test" for n in range(31)) + " -all")]],
    "twice.spf.test": [["TXT", "v=spf1 include:x.spf.test include:x.spf.test -all"]],
    "x.spf.test": [["TXT", "v=spf1 -all"]],
    "inc.spf.test": [["TXT", "v=spf1 include:x.spf.test ~all"]],
    # Joined with a dot the address would be 127.0.3.0.7: PermError.
    "split.spf.test": [["TXT", "v=spf1 ip4:127.0.3", "0.7 -all"]],
    "big.spf.test": [["TXT", *BIG_POLICY]],
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
    gateway.config["SPF"]["spf_strict"] = "1" if strict else "0"
    gateway.daemon.config.write_bytes(ini(gateway.config).encode("latin-1"))
    seen = gateway.log_text().count(f"strict:{int(strict)}")
    gateway.daemon.send(signal.SIGHUP)
    assert gateway.wait_for_log(f"strict:{int(strict)}", seen + 1), "the reload was not logged"


# (client, HELO, sender, code) in the default mode; the mechanisms and
# macros themselves are spf_test's.
DEFAULT_CASES = [
    (CLIENT, "c.test", "u@ip4.spf.test", "0"),
    (CLIENT, "c.test", "u@deep.spf.test", "5"),
    (CLIENT, "c.test", "u@twice.spf.test", "2"),
    (CLIENT, "c.test", "u@inc.spf.test", "2"),
    (CLIENT, "c.test", "u@split.spf.test", "0"),
    ("127.0.40.9", "c.test", "u@big.spf.test", "0"),
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
    # The cut answer was fetched again whole; the repeated include logged.
    assert server.counts()["big.spf.test 16"] == 2
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


# Nothing is printed: a repeated include goes to the log, not to the
# daemon's standard output.
def test_silent_name_server_gives_temperror_not_cached(spf_gateway):
    gateway, server = spf_gateway
    for attempt in (1, 2):
        assert verdicts(gateway, CLIENT, "c.test", ["u@quiet.spf.test"]) == [("5", "TempError")]
        assert server.counts()["quiet.spf.test 16"] == attempt
    assert verdicts(gateway, OTHER, "c.test", ["u@twice.spf.test"]) == [("2", "Fail")]
    assert b"cmd " not in printed_so_far(gateway.daemon)


def printed_so_far(daemon):
    """What the daemon wrote to its standard output until now."""
    out = daemon.output
    while select.select([daemon.process.stdout], [], [], 0)[0]:
        chunk = os.read(daemon.process.stdout.fileno(), 65536)
        if not chunk:
            break
        out += chunk
    return out
