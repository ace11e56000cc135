"""STARTTLS on both legs: the configured certificate to clients, the configured mode towards the MTA."""
import shutil
import signal
import smtplib
import ssl
import subprocess

import pytest

from smtp_peers import GREETING, dot_stuff, merge, relay_script, reply_code

CONTENT = (b"From: alice@client.test\r\nTo: bob@dest.test\r\nSubject: sealed\r\n\r\n"
           b".a dotted line\r\ncaf\xe9 8-bit \x80\xff\r\n" + b"L" * 900 + b"\r\nlast line\r\n")
READY = b"220 2.0.0 Ready to start TLS\r\n"
TLS_NOTE = r'''
int OnEmailMessagesToAnalyzer() {
  note("TLS " + cs.IsTlsSession() + " " + cs.GetTlsProtocol() + " " + cs.GetTlsCipher());
  return 0;
}'''


def make_certificate(directory, name, *extensions):
    """A self-signed certificate for `name`: (cert path, key path)."""
    directory.mkdir(parents=True, exist_ok=True)
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", f"/CN={name}", *extensions, "-keyout", str(key),
                    "-out", str(cert)], check=True, capture_output=True)
    return cert, key


def client_context():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


@pytest.fixture
def tls_gateway(start_mta, start_gateway, tmp_path):
    """tls_gateway(mta options..., config=...) -> (gateway, mta, cert path)."""
    def start(config=None, **mta_options):
        cert, key = make_certificate(tmp_path / "tls", "gw.test")
        mta = start_mta(**mta_options)
        settings = merge({"TLS": {"enable": "1", "cert_file": str(cert), "key_file": str(key)}}, config)
        gw = start_gateway(mta.port, {"core.cs": relay_script({"OnEmailMessagesToAnalyzer": TLS_NOTE})}, settings)
        return gw, mta, cert
    return start


def starttls(client):
    """STARTTLS on a greeted raw client; the EHLO answer after it."""
    client.command("EHLO client.test")
    assert client.command("STARTTLS") == READY
    client.sock = client_context().wrap_socket(client.sock)
    return client.command("EHLO client.test")


def test_starttls_with_smtplib_relays_byte_for_byte(tls_gateway):
    gw, mta, _ = tls_gateway(starttls=True)  # the MTA offers its own STARTTLS too
    with smtplib.SMTP("127.0.0.1", gw.port, timeout=20) as client:
        client.ehlo("client.test")
        assert client.has_extn("starttls")
        offered = client.ehlo_resp
        client.starttls(context=client_context())
        client.ehlo("client.test")
        assert not client.has_extn("starttls")
        client.sendmail("alice@client.test", ["bob@dest.test"], CONTENT)
    # One STARTTLS line, the gateway's; the MTA never heard of it.
    assert offered.upper().count(b"STARTTLS") == 1
    [(envelope, received)] = mta.wait_for_messages(1)
    assert received == CONTENT and envelope["helo"] == "client.test"
    assert b"STARTTLS" not in mta.received()
    [note] = gw.wait_for_event("TLS ")
    assert note.startswith(("TLS 1 TLSv1.3 ", "TLS 1 TLSv1.2 ")) and len(note.split()) == 4


# RFC 3207: commands pipelined behind STARTTLS in clear text are never run; the client starts over with EHLO.
def test_commands_pipelined_after_starttls_are_discarded(tls_gateway):
    gw, mta, _ = tls_gateway()
    client = gw.connect()
    assert client.reply() == GREETING
    assert reply_code(client.command("EHLO client.test")) == 250
    client.send(b"STARTTLS\r\nMAIL FROM:<evil@inject.test>\r\nRCPT TO:<victim@dest.test>\r\n")
    assert client.reply() == READY
    client.sock = client_context().wrap_socket(client.sock)
    assert client.command("MAIL FROM:<alice@client.test>") == b"503 5.5.1 EHLO first\r\n"
    assert client.command("NOOP") == b"250 OK\r\n"
    assert reply_code(client.command("EHLO client.test")) == 250
    # The injected MAIL never took effect: a recipient has no transaction.
    assert reply_code(client.command("RCPT TO:<bob@dest.test>")) == 503
    assert client.command("STARTTLS") == b"503 5.5.1 TLS already active\r\n"
    assert client.command("QUIT") == b"221 Bye\r\n"
    assert b"inject.test" not in mta.received() and b"victim" not in mta.received()
    assert gw.event_texts("MAIL") == []


def test_reload_takes_a_new_certificate_without_dropping_sessions(tls_gateway, tmp_path):
    gw, mta, cert = tls_gateway()
    old = gw.connect()
    assert old.reply() == GREETING
    starttls(old)
    old_der = old.sock.getpeercert(binary_form=True)
    fresh_cert, fresh_key = make_certificate(tmp_path / "fresh", "gw2.test")
    shutil.copy(fresh_cert, cert)
    shutil.copy(fresh_key, cert.parent / "key.pem")
    gw.send(signal.SIGHUP)
    assert gw.wait_for_log("TLS offered with the certificate", count=2)
    new = gw.connect()
    assert new.reply() == GREETING
    starttls(new)
    assert new.sock.getpeercert(binary_form=True) == ssl.PEM_cert_to_DER_cert(fresh_cert.read_text())
    assert new.sock.getpeercert(binary_form=True) != old_der
    # The session begun before the reload goes on with its own.
    for client in (old, new):
        assert reply_code(client.command("MAIL FROM:<alice@client.test>")) == 250
        assert reply_code(client.command("RCPT TO:<bob@dest.test>")) == 250
        assert reply_code(client.command("DATA")) == 354
        assert reply_code(client.command(dot_stuff(CONTENT)[:-2])) == 250
    assert [body for _, body in mta.wait_for_messages(2)] == [CONTENT, CONTENT]


# A client that never completes its handshake loses only its own session (other failures: tls_test).
def test_a_stalled_handshake_ends_only_that_session(tls_gateway):
    # Two workers: one holds a session throughout, the other serves the stalled handshake, then a good one.
    gw, mta, _ = tls_gateway(config={"CONFIG": {"n_max_listen": "2"}, "FIREWALL": {"command_timeout": "3"}})
    bystander = gw.connect()
    assert bystander.reply() == GREETING
    bad = gw.connect()
    assert bad.reply() == GREETING
    assert reply_code(bad.command("EHLO client.test")) == 250
    assert bad.command("STARTTLS") == READY
    assert bad.read_until_closed(seconds=15)[1], "the gateway kept the stalled session open"
    assert gw.wait_for_log("TLS handshake failed")
    assert reply_code(bystander.command("EHLO client.test")) == 250
    good = gw.connect()
    assert good.reply() == GREETING
    assert reply_code(starttls(good)) == 250
    assert good.command("QUIT") == b"221 Bye\r\n"
    assert bystander.command("QUIT") == b"221 Bye\r\n"


# ---- The MTA's leg -------------------------------------------------------------------

@pytest.mark.parametrize("mode,mta_tls,ca,delivered_over", [
    ("may", True, None, True),
    ("may", False, None, False),
    ("none", True, None, False),
    ("encrypt", True, "own", True),
    ("encrypt", False, None, None),   # no mail over a clear link
    ("may", True, "other", None),     # a certificate that does not verify
], ids=["may-offered", "may-not-offered", "none", "encrypt-verified", "encrypt-clear", "may-unverified"])
def test_mta_leg_modes(start_mta, start_gateway, tmp_path, mode, mta_tls, ca, delivered_over):
    # The recording MTA listens on 127.0.0.1: its certificate names that address.
    cert, key = make_certificate(tmp_path / "mta", "127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1")
    other, _ = make_certificate(tmp_path / "other", "other.test")
    mta = start_mta(**({"tls_cert": str(cert), "tls_key": str(key)} if mta_tls else {}))
    ca_file = {"own": str(cert), "other": str(other), None: ""}[ca]
    gw = start_gateway(mta.port, config={"MTA": {"tls": mode, "tls_ca_file": ca_file}})
    client = gw.connect()
    assert client.reply() == GREETING
    answer = client.command("EHLO client.test")
    if ca == "other":
        assert answer == b"421 4.7.0 TLS with the mail server failed, try later\r\n"
        assert gw.wait_for_log("TLS handshake with the mail server failed")
        return
    assert reply_code(answer) == 250
    mail = client.command("MAIL FROM:<alice@client.test>")
    if delivered_over is None:
        assert mail == b"451 4.7.0 Mail server link not encrypted, try later\r\n"
        assert mta.messages() == []
        return
    assert reply_code(mail) == 250
    assert reply_code(client.command("RCPT TO:<bob@dest.test>")) == 250
    assert reply_code(client.command("DATA")) == 354
    assert reply_code(client.command(dot_stuff(CONTENT)[:-2])) == 250
    [(info, received)] = mta.wait_for_messages(1)
    assert received == CONTENT and info["tls"] == delivered_over and info["helo"] == "client.test"
