"""The DNS functions of an antispam script in a live session: the script asks
the gateway's resolver, which asks the test name server, and notes what it
got; the client's reverse name comes from the PTR record of its source
address."""
from smtp_peers import GREETING, relay_script

RECORDS = {
    "host.session.test": [["A", "192.0.2.10"]],
    "mx.session.test": [["MX", "mail1.session.test", 10], ["MX", "mail2.session.test", 20]],
    "ns.session.test": [["NS", "ns1.session.test"], ["NS", "ns2.session.test"]],
    "txt.session.test": [["TXT", "v=spf1 -all"]],
    "txt2.session.test": [["TXT", "ab", "cd"]],
    "77.2.0.192.in-addr.arpa": [["PTR", "named.session.test"]],
    "70.30.0.127.in-addr.arpa": [["PTR", "client70.session.test"]],
}

LOOKUPS_ON_START = r'''
int OnStartClientConnection(int id) {
  conn = id;
  note("REVERSE=" + cs.GetClientReverseDns());
  note("A=" + cs.DNS_Resolve("host.session.test"));
  note("PTR=" + cs.DNS_Reverse("192.0.2.77"));
  note("MX=" + cs.DNS_MX("mx.session.test"));
  note("NS=" + cs.DNS_NS("ns.session.test"));
  note("TXT=" + cs.DNS_TXT("txt.session.test"));
  note("TXT2=" + cs.DNS_TXT("txt2.session.test"));
  note("NONE=" + cs.DNS_Resolve("missing.session.test"));
  cs.ConnectToDefaultMTA();
  return 0;
}'''


def lookups_of(gw, conn):
    """{name: answer} noted in connection `conn`'s session."""
    found = {}
    for line in gw.events():
        number, _, text = line.split(" ", 2)
        if number == str(conn) and "=" in text:
            name, answer = text.split("=", 1)
            found[name] = answer
    return found


def test_dns_functions_and_reverse_name_in_a_session(start_mta, start_name_server, start_gateway):
    dns = start_name_server(RECORDS)
    mta = start_mta()
    gw = start_gateway(mta.port, {"core.cs": relay_script({"OnStartClientConnection": LOOKUPS_ON_START})},
                       name_server=dns.address)
    conns = []
    for source in ("127.0.30.70", "127.0.30.71"):
        client = gw.connect(source)
        assert client.reply() == GREETING
        client.command("QUIT")
        conns.append(gw.events()[-1].split(" ", 1)[0])

    named, unnamed = (lookups_of(gw, conn) for conn in conns)
    assert named == {
        "REVERSE": "client70.session.test",
        "A": "192.0.2.10",
        "PTR": "named.session.test",
        "MX": "mail1.session.test;mail2.session.test",
        "NS": named["NS"],
        "TXT": "v=spf1 -all",
        "TXT2": "ab.cd",
        "NONE": "",
    }
    assert sorted(named["NS"].split(";")) == ["ns1.session.test", "ns2.session.test"]
    # A source address without a PTR record has no reverse name; the other
    # answers are the same, and come from the resolver's cache.
    assert unnamed == {**named, "REVERSE": ""}
    assert dns.counts()["host.session.test 1"] == 1
    assert dns.counts()["70.30.0.127.in-addr.arpa 12"] == 1
