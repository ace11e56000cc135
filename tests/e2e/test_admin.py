"""The daemon's remote admin server, driven by torvane-admin and by raw loopback clients."""
import hashlib
import hmac
import os
import pathlib
import re
import shutil
import socket
import subprocess
import threading
import time

from conftest import build_dir, run_script, wait_until
from smtp_peers import free_port, listening

ROOT = pathlib.Path(__file__).resolve().parents[2]
SHIPPED = ROOT / "dist" / "scripts" / "admin"
KEY = "e2e-admin-key"
GREETING_CODE = b"220"


def admin_config(port, **readmin):
    settings = {"enable": "0", "port": str(port), "key": KEY, "max_listen": "4", "auth_timeout": "30"}
    settings.update({key: str(value) for key, value in readmin.items()})
    return {"READMIN": settings, "CS_SCRIPT": {"enable": "1"}}


def start_admin_gateway(start_mta, start_gateway, **readmin):
    port = free_port()
    gw = start_gateway(start_mta().port, config=admin_config(port, **readmin))
    shutil.copytree(SHIPPED, gw.workdir / "scripts" / "admin")
    gw.admin_port = port
    assert wait_until(lambda: listening("127.0.0.1", port))
    return gw


def admin(gw, *words, key=KEY, timeout=10):
    """torvane-admin against the gateway: (exit status, stdout, stderr)."""
    done = subprocess.run([str(build_dir() / "torvane-admin"), f"--port={gw.admin_port}", f"--timeout={timeout}",
                           *words], env={**os.environ, "TORVANE_ADMIN_KEY": key},
                          capture_output=True, timeout=timeout + 20)
    return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")


def rows(output):
    return [line.split("\t") for line in output.splitlines()]


# ---- the wire format, for clients torvane-admin would never be -------------

def encode(key, value):
    sequence = key.encode() + b"\0"
    return "".join("%02x" % (b ^ sequence[i % len(sequence)]) for i, b in enumerate(value.encode()))


def request(cmd, fields=(), key=KEY, ts=None, nonce="n", sign=True):
    body = "<r1>" + "".join(f"<c{i}>{encode(key, f)}</c{i}>" for i, f in enumerate(fields, 1)) + "</r1>" if fields else ""
    cmd_text = "%04d" % cmd
    ts_text = str(int(time.time()) if ts is None else ts)
    header = (f"<cmd>{cmd_text}</cmd><kmd5>{hashlib.md5(key.encode()).hexdigest()}</kmd5>"
              f"<c>{len(fields)}</c><r>{1 if fields else 0}</r>")
    if sign:
        mac = hmac.new(key.encode(), f"{cmd_text}\n{ts_text}\n{nonce}\n{body}".encode(), hashlib.sha256).hexdigest()
        header += f"<ts>{ts_text}</ts><nonce>{nonce}</nonce><mac>{mac}</mac>"
    return f"<torvane><h>{header}</h><b>{body}</b></torvane>".encode()


def connect(gw, source="127.0.0.1"):
    sock = socket.socket()
    sock.bind((source, 0))
    sock.settimeout(10)
    sock.connect(("127.0.0.1", gw.admin_port))
    return sock


def exchange(gw, message, source="127.0.0.1"):
    """Sends one message; the answer, or b"" when the server closed."""
    with connect(gw, source) as sock:
        sock.sendall(message)
        return read_answer(sock)


def read_answer(sock, count=1):
    """Up to `count` whole answers, or what came before the server closed or 10 seconds passed."""
    answer = b""
    deadline = time.monotonic() + 10
    while answer.count(b"</torvane>") < count and time.monotonic() < deadline:
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        answer += chunk
    return answer


def error_of(answer):
    found = re.search(rb"<e>(\d+)</e>", answer)
    return int(found.group(1)) if found else None


# ---- tests -----------------------------------------------------------------

def test_shipped_commands_and_their_effects(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway)
    assert gw.wait_for_log("is readable by other users")  # the test configuration is 0644
    status, out, _ = admin(gw, "list")
    assert status == 0
    names = {row[1]: row[0] for row in rows(out)}
    assert {"list", "status", "config-get", "config-set", "config-save", "ban-list", "ban-add", "ban-delete",
            "cron-list", "cron-add", "cron-delete", "plugins", "plugin-install", "plugin-uninstall", "log-tail",
            "gui-password", "stats-day", "greylist-view", "alwl-view", "alwl-add", "quarantine-list",
            "quarantine-show", "quarantine-learn", "quarantine-delete"} <= set(names)
    assert all(len(row) == 3 and row[2] for row in rows(out))

    status, out, _ = admin(gw, "status")
    assert status == 0 and ["client", "127.0.0.1"] in rows(out)
    status, out, _ = admin(gw, "config-get", "READMIN")
    assert status == 0 and ["key", "********"] in rows(out) and KEY not in out

    # A ban refuses the next client; lifting it lets the client in again.
    assert admin(gw, "ban-add", "127.0.40.1", "600")[0] == 0
    assert ["127.0.40.1"] == [row[0] for row in rows(admin(gw, "ban-list")[1])]
    assert gw.connect("127.0.40.1").read_until_closed() == (b"554 5.7.7  Embargo \r\n", True)
    assert admin(gw, "ban-delete", "127.0.40.1")[0] == 0
    assert gw.connect("127.0.40.1").reply().startswith(GREETING_CODE)
    assert admin(gw, "ban-add", "not-an-address", "600")[0] == 1

    # Cron jobs are written to the crontab.
    crontab = gw.workdir / "scripts" / "cron" / "torvane.crontab"
    crontab.parent.mkdir(parents=True, exist_ok=True)
    assert admin(gw, "cron-add", "5 4 * * * housekeeping.cs", "e2e")[0] == 0
    assert "5 4 * * * housekeeping.cs=e2e" in crontab.read_text()
    assert ["5 4 * * * housekeeping.cs", "e2e"] in rows(admin(gw, "cron-list")[1])
    assert admin(gw, "cron-delete", "5 4 * * * housekeeping.cs", "e2e")[0] == 0
    assert "housekeeping.cs" not in crontab.read_text()

    # A configuration change is applied by the reload config-save asks for.
    assert admin(gw, "config-set", "CONFIG", "loglevel", "3")[0] == 0
    assert admin(gw, "config-save")[0] == 0
    assert gw.wait_for_log("Set Log Level to: 3", seconds=3)
    assert admin(gw, "config-set", "CONFIG", "loglevel", "4\r\n[READMIN]")[0] == 1

    # Engine views and the white list.
    assert admin(gw, "alwl-add", "local@gw.test", "friend@example.org")[0] == 0
    assert any("local@gw.test" in line and "friend@example.org" in line
               for line in admin(gw, "alwl-view")[1].splitlines())
    assert admin(gw, "greylist-view", "10")[0] == 0
    assert admin(gw, "stats-day", "1999-01-01")[0] == 1
    assert admin(gw, "quarantine-list", "spam") == (0, "", "")
    assert admin(gw, "quarantine-show", "spam", "0" * 32)[0] == 1
    assert admin(gw, "quarantine-delete", "spam", "0" * 32)[0] == 1
    assert admin(gw, "quarantine-list", "../../etc")[0] == 1

    status, out, _ = admin(gw, "log-tail", "5")
    assert status == 0 and len(rows(out)) == 5
    assert admin(gw, "gui-password", "s3cret-pass")[0] == 0
    assert hashlib.md5(b"s3cret-pass").hexdigest() in (gw.workdir / "torvane.conf").read_text()


# When the lockout ends is decided on a fake clock by the unit tests.
def test_wrong_keys_lock_an_address_out(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway, max_auth_failures=2)
    assert admin(gw, "call", "1", key="wrong")[0] == 2
    assert admin(gw, "call", "1", key="wrong")[0] == 2
    assert admin(gw, "status")[0] == 2  # locked out: closed at admission
    assert gw.wait_for_log("Locked out after repeated bad keys")


def test_unauthenticated_flood_is_cut_while_others_are_served(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway)
    sent = [0]

    def flood():
        with connect(gw) as sock:
            try:
                for _ in range(100 * 1024):
                    sock.sendall(b"x" * 1024)
                    sent[0] += 1024
            except OSError:
                pass

    thread = threading.Thread(target=flood)
    thread.start()
    assert admin(gw, "status")[0] == 0
    thread.join(timeout=60)
    assert not thread.is_alive() and sent[0] < 100 * 1024 * 1024
    assert gw.wait_for_log("Request without a valid key too long ip: 127.0.0.1")
    assert gw.resident_kb() < 200 * 1024


def test_idle_anonymous_client_is_closed(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway, auth_timeout=1)
    with connect(gw) as sock:
        assert read_answer(sock) == b""
    assert gw.wait_for_log("Connection Timeout ip: 127.0.0.1 NO login Server ADMIN")


def test_server_full_answer_past_max_listen(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway, max_listen=2)
    held = [connect(gw) for _ in range(2)]
    try:
        assert wait_until(lambda: gw.log_text().count("O.K Allow for Remote Admin IP: 127.0.0.1") >= 2)
        with connect(gw) as third:
            assert read_answer(third) == b"<torvane><h><r>0</r><c>0</c><e>0300</e></h></torvane>"
    finally:
        for sock in held:
            sock.close()


# A missing command script: test_scripts_are_clients_through_torvane_server_conn.
def test_broken_script_answers_501(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway)
    (gw.workdir / "scripts" / "admin" / "50.cs").write_text("int Main(CAdminRequest req, CAdminResponse res) { return nope; }")
    status, _, err = admin(gw, "call", "50")
    assert status == 1 and "error 501" in err
    assert gw.wait_for_log("Admin script failed: 50.cs")
    assert admin(gw, "status")[0] == 0


# Folder names that would leave the plugin folder: admin_script_test.
def test_plugins_install_and_uninstall(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway)
    plugin_root = gw.workdir / "scripts" / "admin" / "plugin"
    info = ("<?xml version=\"1.0\"?><plugins><plugin><uniqueID>SAMPLE</uniqueID>"
            "<install_unistall_script>setup.cs</install_unistall_script></plugin></plugins>")
    (plugin_root / "sample").mkdir(parents=True)
    (plugin_root / "sample" / "info.xml").write_text(info)
    (plugin_root / "sample" / "setup.cs").write_text(
        "int install(string id, string dir) { return 1; } int uninstall(string id, string dir) { return 1; }")
    assert admin(gw, "plugin-install", "sample", "SAMPLE")[0] == 0
    assert rows(admin(gw, "plugins")[1]) == [["SAMPLE", "sample"]]
    assert admin(gw, "plugin-uninstall", "sample", "SAMPLE")[0] == 0
    assert rows(admin(gw, "plugins")[1]) == []


def test_other_addresses_only_when_enabled_and_listed(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway, enable=1, listen="127.0.0.1")
    assert exchange(gw, request(1), source="127.0.0.2") == b""
    assert gw.wait_for_log("Disallow Remote Admin Access  IP: 127.0.0.2")
    assert admin(gw, "config-set", "READMIN", "ip_allow_0", "127.0.0.2|127.0.0.2|e2e")[0] == 0
    assert admin(gw, "config-save")[0] == 0
    assert wait_until(lambda: error_of(exchange(gw, request(1, nonce=str(time.time())), source="127.0.0.2")) == 0)


# Replayed and stale requests: admin_server_test.
def test_signed_mode_refuses_unsigned(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway, auth_mode=1)
    assert error_of(exchange(gw, request(1, sign=False))) == 401
    assert admin(gw, "status")[0] == 0  # torvane-admin always signs


def test_scripts_are_clients_through_torvane_server_conn(start_mta, start_gateway, tmp_path):
    gw = start_admin_gateway(start_mta, start_gateway)
    script = tmp_path / "client.cs"
    script.write_text(
        "int main() {\n"
        "CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);\n"
        f'TorvaneServerConn conn = new TorvaneServerConn("localhost", "{gw.admin_port}", "{KEY}");\n'
        "if (conn.Connect() == 0) return 1;\n"
        "TorvaneRecordSet rs = new TorvaneRecordSet(conn);\n"
        'rs.AddNew(); rs.SetFieldAt(1, "READMIN"); rs.SetFieldAt(2, "port");\n'
        "if (rs.Query(2) == 0) return 2;\n"
        "HashArray row = rs.GetRow();\n"
        'cs.Print(cs.IntToChar(rs.GetLastError()) + " " + row.GetS("c1") + "=" + row.GetS("c2") + "\\n");\n'
        "rs.Reset(); if (rs.Query(99) == 0) return 3;\n"
        'cs.Print(cs.IntToChar(rs.GetLastError()) + "\\n");\n'
        "return 0; }\n")
    done = run_script(script)
    assert done.returncode == 0, done
    assert done.stdout == f"0 port={gw.admin_port}\n501\n".encode()


def test_unbindable_admin_port_is_logged_and_mail_flows(start_mta, start_gateway):
    port = free_port()
    with socket.create_server(("127.0.0.1", port)):
        gw = start_gateway(start_mta().port, config=admin_config(port))
        assert gw.wait_for_log("Cannot listen for RemoteAdmin on 127.0.0.1 port %d" % port)
        assert gw.connect().reply().startswith(GREETING_CODE)


def test_split_and_doubled_requests_are_each_answered_once(start_mta, start_gateway):
    gw = start_admin_gateway(start_mta, start_gateway)
    message = request(2, ["READMIN", "port"], nonce="split")
    with connect(gw) as sock:
        sock.sendall(message[:40])
        assert wait_until(lambda: "O.K Allow for Remote Admin IP: 127.0.0.1" in gw.log_text())
        sock.sendall(message[40:] + request(2, ["READMIN", "enable"]) + request(1))
        answers = read_answer(sock, 3)
    parts = answers.split(b"</torvane>")
    assert len(parts) == 4 and parts[3] == b""
    assert f"<c2>{encode(KEY, str(gw.admin_port))}</c2>".encode() in parts[0]
    assert f"<c2>{encode(KEY, '0')}</c2>".encode() in parts[1]
    assert all(error_of(part + b"</torvane>") == 0 for part in parts[:3])
