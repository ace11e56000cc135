"""Connection admission: block lists and the per-address session limit (bans: test_session_soak, test_admin)."""
import re
import threading

from smtp_peers import BUSY_REPLY, GREETING, RELAY_RANGE, relay_script, reversed_name

LISTED = ["A", "127.0.0.2"]
ZONE_WEIGHTS = {"bl1.test": "1.450", "bl2.test": "4.850", "bl3.test": "2.000", "quiet.test": "3.000"}
# Total wait of one block-list lookup and of each read in it; a zone answering after LATE_SECONDS is too late.
LOOKUP_TIMEOUT_MS = 700
READ_TIMEOUT_MS = 100
LATE_SECONDS = 2.5
REFUSAL = re.compile(rb"554 5\.7\.7 IP in the DNSBL (\S+) (\S+) (\S+) \r\n")

# Notes the block-list verdict the script sees (relay clients are not looked up).
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


def greeting(gw, source):
    """(first bytes the client got, closed)."""
    client = gw.connect(source)
    reply = client.reply()
    if reply == GREETING:
        client.command("QUIT")
        return reply, False
    rest, closed = client.read_until_closed()
    return reply + rest, closed


def block_list_queries(server, address, zones):
    counts = server.counts()
    return sum(counts.get(reversed_name(address, zone) + " 1", 0) for zone in zones)


def test_block_lists_refuse_at_maxhit_and_score_the_rest(start_mta, start_name_server, start_gateway):
    zones = ["bl1.test", "bl2.test", "bl3.test", "quiet.test"]
    # quiet.test lists 127.0.30.2 too late to count: counted, its third listing would refuse it.
    records = {**listings("127.0.30.1", ["bl1.test", "bl2.test", "bl3.test"]),
               **listings("127.0.30.2", ["bl1.test", "bl2.test", "quiet.test"]),
               **listings("127.0.31.1", ["bl1.test", "bl2.test", "bl3.test"])}
    dns = start_name_server(records, {"quiet.test": {"delay": LATE_SECONDS}})
    mta = start_mta()
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnStartClientConnection": SCORE_ON_START})},
                       config=admission_config(zones), name_server=dns.address)

    # Three listings: refused with the zones that listed it.
    reply, closed = greeting(gw, "127.0.30.1")
    refusal = REFUSAL.fullmatch(reply)
    assert refusal and closed, reply
    assert set(refusal.groups()) == {b"bl1.test", b"bl2.test", b"bl3.test"}
    assert gw.wait_for_log("-COMPILED- Drop connection DNSBL IP: 127.0.30.1 LIST: ")

    # Two listings in time and one late: accepted once the lookup's time is up.
    assert greeting(gw, "127.0.30.2")[0] == GREETING
    assert dns.counts().get(reversed_name("127.0.30.2", "quiet.test") + " 1") == 1
    assert greeting(gw, "127.0.30.3")[0] == GREETING

    # A relay client is never looked up, listed or not.
    assert greeting(gw, "127.0.31.1")[0] == GREETING
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


CONCURRENT_CLIENTS = 20


# gate.test answers only once all lookups wait at once: lookups made in turn would each time out unlisted.
def test_block_list_lookups_wait_side_by_side(start_mta, start_name_server, start_gateway):
    sources = [f"127.0.30.{100 + n}" for n in range(CONCURRENT_CLIENTS)]
    records = {reversed_name(source, "gate.test"): [LISTED] for source in sources}
    dns = start_name_server(records, {"gate.test": {"gate": CONCURRENT_CLIENTS}})
    mta = start_mta()
    config = admission_config(["gate.test"], timeout_millisecond="6000", timeout_millisecond_sc="6000")
    config["CONFIG"] = {"n_max_listen": str(CONCURRENT_CLIENTS + 5)}
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnStartClientConnection": SCORE_ON_START})},
                       config=config, name_server=dns.address)
    results = {}

    def client(source):
        results[source] = greeting(gw, source)

    threads = [threading.Thread(target=client, args=(source,)) for source in sources]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=15)
    assert sorted(results) == sorted(sources)
    assert all(reply == GREETING for reply, _ in results.values()), results
    assert sorted(gw.event_texts("START")) == sorted(f"START {s} 1.000 [gate.test]" for s in sources)
    assert sum(block_list_queries(dns, s, ["gate.test"]) for s in sources) == CONCURRENT_CLIENTS


# Sessions count against their address from the HELO on; only a registered session's end gives its place back.
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
    # A session that ends frees its place.
    held.pop().command("QUIT")
    assert gw.wait_for_log("Remove Session ip:127.0.30.50")
    assert greeting(gw, "127.0.30.50")[0] == GREETING
