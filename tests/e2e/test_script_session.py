"""A live session's script DNS functions reach the gateway's resolver; the reverse name is the source's PTR."""
from smtp_peers import GREETING, relay_script

RECORDS = {
    "host.session.test": [["A", "192.0.2.10"]],
    "mx.session.test": [["MX", "mail1.session.test", 10], ["MX", "mail2.session.test", 20]],
    "70.30.0.127.in-addr.arpa": [["PTR", "client70.session.test"]],
}

LOOKUPS_ON_START = r'''
int OnStartClientConnection(int id) {
  conn = id;
  note("REVERSE=" + cs.GetClientReverseDns());
  note("A=" + cs.DNS_Resolve("host.session.test"));
  note("MX=" + cs.DNS_MX("mx.session.test"));
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
    assert named == {"REVERSE": "client70.session.test", "A": "192.0.2.10",
                     "MX": "mail1.session.test;mail2.session.test"}
    # Without a PTR record no reverse name; the other answers come from the resolver's cache.
    assert unnamed == {**named, "REVERSE": ""}
    assert dns.counts()["host.session.test 1"] == 1
    assert dns.counts()["70.30.0.127.in-addr.arpa 12"] == 1
