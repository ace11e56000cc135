"""Connection admission end to end: clients connect from chosen loopback
source addresses to a gateway whose name server (dns_test_server.py)
plays several block-list zones; the ban list and the per-address session
limit refuse what they should, and relay clients skip every check."""
import re
import threading
import time

from conftest import wait_until
from smtp_peers import BUSY_REPLY, GREETING, RELAY_RANGE, relay_script, reversed_name

LISTED = ["A", "127.0.0.2"]
ZONE_WEIGHTS = {"bl1.test": "1.450", "bl2.test": "4.850", "bl3.test": "2.000", "quiet.test": "3.000"}
# Total wait of one block-list lookup, and the wait of each read in it.
LOOKUP_TIMEOUT_MS = 700
READ_TIMEOUT_MS = 100
# What a client may wait beyond the lookup itself: dispatch, the script,
# the MTA's greeting.
SLACK_SECONDS = 0.8
REFUSAL = re.compile(rb"554 5\.7\.7 IP in the DNSBL (\S+) (\S+) (\S+) \r\n")

# Notes the block-list verdict the script sees (never for relay clients,
# which are not looked up).
SCORE_ON_START = r'''
int OnStartClientConnection(int id) {
  conn = id;
  string ip = cs.GetClientIP();
  cs.RegisterSessionIp(ip);
  string verdict = "relay";
  if (cs.ClientIsRelay() == 0) verdict = cs.Format("%.3f", cs.DNSBL_Score(ip)) + " [" + cs.DNSBL_Ns(ip) + "]";
  note("START " + ip + " " + verdict);
  cs.ConnectToDefaultMTA();
  return 0;
}'''
BAN_ON_HELO = r'''
int OnHelo(string name, string word) {
  note("HELO " + name);
  if (name == "ban-me.test") cs.AddIpInferno(cs.GetClientIP(), cs.Time() + 600);
  return 0;
}'''


def admission_config(zones, **dnsbl):
    config = {"CS_SCRIPT": {"enable": "1"},
              "DNSBL": {"enable_dnsbl": "1", "reject_dnsbl": "1", "maxhit": "3", "maxreplies": "4",
                        "timeout_millisecond": str(LOOKUP_TIMEOUT_MS),
                        "timeout_millisecond_sc": str(READ_TIMEOUT_MS), **dnsbl}}
    for n, zone in enumerate(zones):
        config["DNSBL"][f"nameserver_{n}"] = f"{zone}|{ZONE_WEIGHTS.get(zone, '1.000')}"
    return {**config, **RELAY_RANGE}


def listings(address, zones):
    return {reversed_name(address, zone): [LISTED] for zone in zones}


def timed_greeting(gw, source):
    """(first bytes the client got, closed, seconds from connect to them)."""
    started = time.monotonic()
    client = gw.connect(source)
    reply = client.reply()
    waited = time.monotonic() - started
    if reply == GREETING:
        client.command("QUIT")
        return reply, False, waited
    rest, closed = client.read_until_closed()
    return reply + rest, closed, waited


def block_list_queries(server, address, zones):
    counts = server.counts()
    return sum(counts.get(reversed_name(address, zone) + " 1", 0) for zone in zones)


def test_block_lists_refuse_at_maxhit_score_the_rest_and_cache(start_mta, start_name_server, start_gateway):
    zones = ["bl1.test", "bl2.test", "bl3.test", "quiet.test"]
    records = {**listings("127.0.30.1", ["bl1.test", "bl2.test", "bl3.test"]),
               **listings("127.0.30.2", ["bl1.test", "bl2.test"]),
               **listings("127.0.31.1", ["bl1.test", "bl2.test", "bl3.test"])}
    dns = start_name_server(records, {"quiet.test": {"mode": "silent"}})
    mta = start_mta()
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnStartClientConnection": SCORE_ON_START})},
                       config=admission_config(zones), name_server=dns.address)

    # Three listings: refused with the zones that listed it.
    reply, closed, _ = timed_greeting(gw, "127.0.30.1")
    refusal = REFUSAL.fullmatch(reply)
    assert refusal and closed, reply
    assert set(refusal.groups()) == {b"bl1.test", b"bl2.test", b"bl3.test"}
    assert gw.wait_for_log("-COMPILED- Drop connection DNSBL IP: 127.0.30.1 LIST: ")

    # Two listings and a silent zone: accepted once the lookup's time is up.
    reply, closed, waited = timed_greeting(gw, "127.0.30.2")
    assert reply == GREETING
    assert waited < LOOKUP_TIMEOUT_MS / 1000 + SLACK_SECONDS, waited
    assert dns.counts().get(reversed_name("127.0.30.2", "quiet.test") + " 1") == 1
    assert timed_greeting(gw, "127.0.30.3")[0] == GREETING

    # The second connection from a known address asks nothing.
    assert block_list_queries(dns, "127.0.30.2", zones) == len(zones)
    reply, _, _ = timed_greeting(gw, "127.0.30.2")
    assert reply == GREETING
    assert block_list_queries(dns, "127.0.30.2", zones) == len(zones)

    # A relay client is never looked up, listed or not.
    assert timed_greeting(gw, "127.0.31.1")[0] == GREETING
    assert block_list_queries(dns, "127.0.31.1", zones) == 0

    starts = {}
    for text in gw.event_texts("START"):
        _, address, verdict = text.split(" ", 2)
        starts.setdefault(address, []).append(verdict)
    assert set(starts) == {"127.0.30.2", "127.0.30.3", "127.0.31.1"}, "the refused client ran no script"
    for verdict in starts["127.0.30.2"]:
        score, names = verdict.split(" ", 1)
        assert score == "6.300" and sorted(names.strip("[]").split(" ")) == ["bl1.test", "bl2.test"]
    assert starts["127.0.30.3"] == ["0.000 []"]
    assert starts["127.0.31.1"] == ["relay"]


SLOW_ZONE_SECONDS = 1.0
CONCURRENT_CLIENTS = 20


def test_slow_zone_delays_clients_in_parallel(start_mta, start_name_server, start_gateway):
    dns = start_name_server({}, {"slow.test": {"delay": SLOW_ZONE_SECONDS}})
    mta = start_mta()
    config = admission_config(["bl1.test", "slow.test"], timeout_millisecond="3000", timeout_millisecond_sc="500")
    config["CONFIG"] = {"n_max_listen": str(CONCURRENT_CLIENTS + 5)}
    gw = start_gateway(mta.port, config=config, name_server=dns.address)
    sources = [f"127.0.30.{100 + n}" for n in range(CONCURRENT_CLIENTS)]
    results = {}

    def client(source):
        results[source] = timed_greeting(gw, source)

    threads = [threading.Thread(target=client, args=(source,)) for source in sources]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=15)
    assert sorted(results) == sorted(sources)
    assert all(reply == GREETING for reply, _, _ in results.values()), results
    waits = sorted(waited for _, _, waited in results.values())
    # Each waited for the slow zone, and they waited side by side: one after
    # another they would have taken the slow zone's time each.
    assert waits[0] > SLOW_ZONE_SECONDS - 0.1, waits
    assert waits[-1] < SLOW_ZONE_SECONDS * CONCURRENT_CLIENTS / 2, waits
    assert sum(block_list_queries(dns, s, ["slow.test"]) for s in sources) == CONCURRENT_CLIENTS


# Sessions count against their address from the HELO on (the script
# registers them there); only a registered session's end gives its place
# back.
COUNT_ON_HELO = {
    "OnStartClientConnection": r'''
int OnStartClientConnection(int id) { conn = id; cs.ConnectToDefaultMTA(); return 0; }''',
    "OnHelo": r'''
int OnHelo(string name, string word) { if (name != "uncounted") cs.RegisterSessionIp(cs.GetClientIP()); return 0; }''',
}


def test_session_limit_per_address(start_mta, start_gateway):
    mta = start_mta()
    config = {"CONFIG": {"n_max_listen": "12"}, "CS_SCRIPT": {"enable": "1"},
              "FIREWALL": {"max_session_ip": "2", **RELAY_RANGE["FIREWALL"]}}
    gw = start_gateway(mta.port, {"core.cs": relay_script(COUNT_ON_HELO)}, config=config)

    def session(source, helo):
        client = gw.connect(source)
        assert client.reply() == GREETING
        assert client.command(f"EHLO {helo}").startswith(b"250")
        return client

    held = [session("127.0.30.50", "counted")]
    session("127.0.30.50", "uncounted").command("QUIT")  # its end must give back nothing
    held.append(session("127.0.30.50", "counted"))
    assert gw.connect("127.0.30.50").read_until_closed() == (BUSY_REPLY, True)
    assert gw.wait_for_log("-COMPILED- Max Session from IP: 127.0.30.50")
    # The limit is per address (relay clients have none: the core's unit test).
    assert timed_greeting(gw, "127.0.30.51")[0] == GREETING
    # A session that ends frees its place.
    held.pop().command("QUIT")
    assert gw.wait_for_log("Remove Session ip:127.0.30.50")
    assert timed_greeting(gw, "127.0.30.50")[0] == GREETING


# That admission switched off admits a banned address is the core's unit test.
def test_banned_address_is_refused_on_its_next_connection(start_mta, start_gateway):
    mta = start_mta()
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnHelo": BAN_ON_HELO})},
                       config={"CS_SCRIPT": {"enable": "1"}})
    client = gw.connect("127.0.30.60")
    assert client.reply() == GREETING
    client.command("EHLO ban-me.test")
    client.command("QUIT")
    assert wait_until(lambda: gw.event_texts("HELO") == ["HELO ban-me.test"])
    assert gw.connect("127.0.30.60").read_until_closed() == (b"554 5.7.7  Embargo \r\n", True)
    assert gw.wait_for_log("-COMPILED- Drop connection IP Inferno: 127.0.30.60")
    assert timed_greeting(gw, "127.0.30.61")[0] == GREETING
