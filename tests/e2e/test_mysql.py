"""The MySQL connector from scripts against a private MariaDB, and "--pluginerror" checking its library."""
import base64
import os
import socket
import subprocess

import pytest

from conftest import ini, run_script
from mariadb_server import DATABASE, PASSWORD, USER, client_library, link_client_library
from smtp_peers import reply_code, relay_script

pytestmark = pytest.mark.skipif(client_library() is None or not os.path.exists("/usr/sbin/mariadbd"),
                                reason="needs libmariadb3 and mariadb-server-core (tools/install-deps)")

OPEN = "CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);\n"
NOT_LOADED = "MySQL client library not loaded: "
# Every value scripts must store and read back unchanged.
HOSTILE = ["it's", "back\\slash", 'dou"ble', "ctrl\x1az", "\"'; DROP TABLE t; --", "caf\xe9", ""]


@pytest.fixture
def app(tmp_path):
    link_client_library(tmp_path)
    return tmp_path


def tcp_arguments(server):
    """The Connect arguments that reach `server` over TCP, as script text."""
    return f'"127.0.0.1", "{USER}", "{PASSWORD}", "{DATABASE}", {server.port}'


def connect_line(server, host="tcp"):
    where = tcp_arguments(server) if host == "tcp" else f'"{server.socket}", "{USER}", "{PASSWORD}", "{DATABASE}"'
    return f"CS_MySqlConn db = new CS_MySqlConn();\nint up = db.Connect({where});\n"


def run(app, body, server=None):
    """`body` run in main() by torvane-script, after connecting to `server` when given."""
    source = "int main() {\n" + OPEN + (connect_line(server) if server else "") + body + "\nreturn 0; }\n"
    (app / "job.cs").write_text(source, encoding="latin-1")
    return run_script(f"--app-path={app}", app / "job.cs", cwd=app)


def lines(done):
    assert done.returncode == 0, done.stderr
    return done.stdout.decode("latin-1").splitlines()


@pytest.mark.parametrize("host", ["tcp", "socket"])
def test_rows_nulls_and_errors(mariadb, app, host):
    body = connect_line(mariadb, host) + r'''
cs.Print("connect " + up + " " + db.State() + "\n");
db.Execute("DROP TABLE IF EXISTS t_" + "@HOST@");
db.Execute("CREATE TABLE t_@HOST@ (id INT, name VARCHAR(20), note VARCHAR(20) NULL)");
HashArray p = new HashArray();
p.AddValueS("1", "1"); p.AddValueS("2", "ann"); p.AddValueS("3", "x");
cs.Print("insert " + db.ExecuteParams("INSERT INTO t_@HOST@ VALUES (?, ?, ?)", p) + "\n");
cs.Print("insert " + db.Execute("INSERT INTO t_@HOST@ VALUES (2, 'bob', NULL)") + "\n");
CS_MySqlRecordSet rs = new CS_MySqlRecordSet();
cs.Print("open " + rs.Open("SELECT id, name, note FROM t_@HOST@ ORDER BY id", db) + " " + rs.RecordCount() + "\n");
HashArray row = rs.FetchRow();
while (row != 0) {
  cs.Print("row " + row.GetS("id") + " " + row.GetS("name") + " note=" + row.KeyExists("note") + "\n");
  row = rs.FetchRow();
}
int opened = rs.Open("SELECT @@character_set_connection", db);
row = rs.FetchRow();
cs.Print("charset " + opened + " " + row.GetByIndexS(0) + "\n");
cs.Print("bad " + db.Execute("INSERT INTO no_such_table VALUES (1)") + " " + db.GetError() + "\n");
cs.Print("after " + db.Execute("SELECT 1") + " [" + db.GetError() + "]\n");
'''.replace("@HOST@", host)
    assert lines(run(app, body)) == [
        "connect 1 1", "insert 1", "insert 1", "open 1 2",
        "row 1 ann note=1", "row 2 bob note=0",
        "charset 1 utf8mb4",
        f"bad 0 Table '{DATABASE}.no_such_table' doesn't exist", "after 1 []"]


def test_hostile_and_binary_values_round_trip(mariadb, app):
    (app / "binary.in").write_bytes(b"a\x00b'\\\x1a\"\xff")
    out = app / "out"
    out.mkdir()
    values = "".join(f'p.AddValueS("{i}", cs.Decode64("{value_b64}"));\n'
                     for i, value_b64 in enumerate(base64.b64encode(v.encode("latin-1")).decode() for v in HOSTILE))
    body = values + r'''
CS_File in = new CS_File(); CS_Buffer buf = new CS_Buffer(); buf.Allocate(4096);
in.Open("@APP@/binary.in", 0); int n = in.Read(buf.GetBuffer()); in.Close();
p.AddValueB("bin", buf.GetPointer(), n);
db.Execute("DROP TABLE IF EXISTS t");
db.Execute("CREATE TABLE t (k INT AUTO_INCREMENT PRIMARY KEY, v BLOB)");
int i = 0;
while (i < p.GetRecordCount()) {
  HashArray one = new HashArray();
  one.AddValueB("v", p.GetB(p.GetKeyByIndex(i)), p.GetLenValue(p.GetKeyByIndex(i)));
  if (p.GetLenValue(p.GetKeyByIndex(i)) == 0) one.AddValueS("v", p.GetS(p.GetKeyByIndex(i)));
  db.ExecuteParams("INSERT INTO t (v) VALUES (?)", one);
  db.Execute("INSERT INTO t (v) VALUES ('" + db.Escape(one.GetB("v")) + "')");
  i = i + 1;
}
CS_MySqlRecordSet rs = new CS_MySqlRecordSet();
HashArray q = new HashArray(); q.AddValueS("1", "-1");
rs.OpenParams("SELECT k, v FROM t WHERE k > ? /* ? */ ORDER BY k -- ?", db, q);
cs.Print("rows " + rs.RecordCount() + "\n");
HashArray row = rs.FetchRow();
while (row != 0) {
  CS_File f = new CS_File();
  f.Open("@APP@/out/" + row.GetS("k"), 1);
  int len = row.GetLenValue("v");
  if (len > 0) f.Write(row.GetB("v"), len); else if (cs.StrLen(row.GetS("v")) > 0) f.Write(row.GetS("v"), cs.StrLen(row.GetS("v")));
  f.Close(); delete f;
  row = rs.FetchRow();
}
cs.Print("table " + rs.Open("SELECT COUNT(*) FROM t", db) + "\n");
'''.replace("@APP@", str(app))
    got = lines(run(app, "HashArray p = new HashArray();\n" + body, mariadb))
    assert got == ["rows 16", "table 1"]
    expected = [v.encode("latin-1") for v in HOSTILE] + [b"a\x00b'\\\x1a\"\xff"]
    stored = [(out / str(k)).read_bytes() if (out / str(k)).exists() else b"" for k in range(1, 17)]
    assert stored == [value for value in expected for _ in (0, 1)]


def test_result_bounds_then_connection_still_usable(mariadb, app):
    body = r'''
db.Execute("DROP TABLE IF EXISTS big");
db.Execute("CREATE TABLE big (v VARCHAR(100))");
int i = 0;
while (i < 5) { db.Execute("INSERT INTO big VALUES (REPEAT('x', 100))"); i = i + 1; }
CS_MySqlRecordSet rs = new CS_MySqlRecordSet();
db.SetMaxResult(3, 100000);
cs.Print(rs.Open("SELECT v FROM big", db) + " " + rs.RecordCount() + " " + db.GetError() + "\n");
db.SetMaxResult(10, 250);
cs.Print(rs.Open("SELECT v FROM big", db) + " " + db.GetError() + "\n");
int opened = rs.Open("SELECT 7 AS n", db);
HashArray row = rs.FetchRow();
cs.Print(opened + " " + row.GetS("n") + "\n");
'''
    assert lines(run(app, body, mariadb)) == [
        "0 0 result set larger than 3 rows or 100000 bytes",
        "0 result set larger than 10 rows or 250 bytes", "1 7"]


def test_killed_and_idle_dropped_connections_reconnect(mariadb, app):
    body = r'''
CS_MySqlConn other = new CS_MySqlConn();
other.Connect(@TCP@);
CS_MySqlRecordSet rs = new CS_MySqlRecordSet();
rs.Open("SELECT CONNECTION_ID() AS id", db);
HashArray row = rs.FetchRow();
other.Execute("KILL " + row.GetS("id"));
cs.Print("killed " + db.Execute("SELECT 1") + " " + db.State() + " " + (cs.StrLen(db.GetError()) > 0) + "\n");
cs.Print("next " + db.Execute("SELECT 1") + " " + db.State() + "\n");
other.Execute("SET GLOBAL wait_timeout = 1");
CS_MySqlConn idle = new CS_MySqlConn();
idle.Connect(@TCP@);
other.Execute("SET GLOBAL wait_timeout = 28800");
cs.Sleep(2500);
cs.Print("idle " + idle.Execute("SELECT 1") + " [" + idle.GetError() + "]\n");
'''.replace("@TCP@", tcp_arguments(mariadb))
    assert lines(run(app, body, mariadb)) == ["killed 0 0 1", "next 1 1", "idle 1 []"]


def test_listener_that_never_answers(app):
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        port = silent.getsockname()[1]
        body = f'''CS_MySqlConn db = new CS_MySqlConn(); db.SetTimeOut(1, 1);
int t = cs.GetTickCount();
int up = db.Connect("127.0.0.1", "u", "p", "d", {port});
cs.Print(up + " " + (cs.StrLen(db.GetError()) > 0) + " " + (cs.GetTickCount() - t) + "\\n");'''
        up, has_error, elapsed = lines(run(app, body))[0].split()
    assert (up, has_error) == ("0", "1")
    assert int(elapsed) < 20000


@pytest.mark.parametrize("layout, cause", [
    ("none", "libmysql.so: cannot open shared object file"),
    ("writable", "libdll is writable by group or others"),
])
def test_without_a_usable_library(tmp_path, layout, cause):
    if layout == "writable":
        link_client_library(tmp_path)
        os.chmod(tmp_path / "libdll", 0o777)
    body = r'''CS_MySqlConn db = new CS_MySqlConn();
cs.Print(db.Connect("127.0.0.1", "u", "p", "d", 1) + " " + db.State() + " " + db.Execute("SELECT 1") + "\n");
cs.Print(db.GetError() + "\n");'''
    done = run(tmp_path, body)
    got = lines(done)
    assert got[-2] == "0 0 0"
    assert got[-1].startswith(NOT_LOADED) and cause in got[-1]
    assert done.stderr.decode().count(NOT_LOADED) == 1  # logged once


# ---- The daemon --------------------------------------------------------------------

FAKE_LIBRARY_SYMBOLS = [
    "mysql_init", "mysql_close", "mysql_real_connect", "mysql_query", "mysql_store_result",
    "mysql_num_rows", "mysql_num_fields", "mysql_fetch_row", "mysql_free_result", "mysql_fetch_fields",
    "mysql_fetch_field_direct", "mysql_select_db", "mysql_error", "mysql_real_escape_string"]


@pytest.mark.parametrize("library, status, message", [
    ("real", 0, ""),
    ("none", 1, "plugin dlopen fail: "),
    ("lacking", 1, "plugin dlsym(mysql_real_escape_string) fail\n"),
])
def test_pluginerror_checks_the_library_of_the_configured_app_path(daemon_bin, tmp_path, library, status,
                                                                   message):
    app = tmp_path / "app"
    app.mkdir()
    if library == "real":
        link_client_library(app)
    elif library == "lacking":
        (app / "libdll").mkdir()
        source = tmp_path / "fake.c"
        source.write_text("".join(f"void {name}(void) {{}}\n" for name in FAKE_LIBRARY_SYMBOLS[:-1]))
        subprocess.run(["cc", "-shared", "-fPIC", "-o", str(app / "libdll" / "libmysql.so"), str(source)],
                       check=True, timeout=60)
    config = tmp_path / "t.conf"
    config.write_text(ini({"CONFIG": {"app_path": str(app)}}))
    done = subprocess.run([daemon_bin, "--pluginerror", f"--config={config}"], cwd=tmp_path,
                          capture_output=True, timeout=60)
    assert done.returncode == status, done.stdout
    assert message in done.stdout.decode()
    assert (message == "") == (done.stdout == b"")


SHARED_CONNECTION_HELO = r'''
int OnHelo(string name, string word) {
  CS_MySqlConn db = cs.CreatePersistentOBJ("db", "CS_MySqlConn");
  if (db.State() == 0) db.Connect(@TCP@);
  HashArray p = new HashArray(); p.AddValueS("1", name);
  int done = db.ExecuteParams("INSERT INTO seen SELECT CONNECTION_ID(), ?, SLEEP(0.5)", p);
  note("HELO " + name + " " + done + " " + db.GetError());
  return 0;
}'''


# Without the library every query fails with NOT_LOADED: test_without_a_usable_library.
def test_sessions_share_one_persistent_connection(mariadb, start_mta, start_gateway, tmp_path):
    link_client_library(tmp_path / "gw1")  # the gateway's application folder
    mariadb.sql(f"DROP TABLE IF EXISTS {DATABASE}.seen; CREATE TABLE {DATABASE}.seen "
               "(conn BIGINT, helo VARCHAR(50), pause INT)")
    helo = SHARED_CONNECTION_HELO.replace("@TCP@", tcp_arguments(mariadb))
    gw = start_gateway(start_mta().port, scripts={"core.cs": relay_script({"OnHelo": helo})})
    clients = [gw.connect() for _ in range(2)]
    for client in clients:
        assert reply_code(client.reply()) == 220
    for n, client in enumerate(clients):
        client.send(f"HELO c{n}.test\r\n")
    assert [reply_code(client.reply()) for client in clients] == [250, 250]
    rows = mariadb.sql(f"SELECT conn, helo FROM {DATABASE}.seen ORDER BY helo")
    first, second = [row.split("\t") for row in rows.splitlines()]
    assert (first[1], second[1]) == ("c0.test", "c1.test")
    assert first[0] == second[0]  # one connection for both sessions
    assert sorted(gw.event_texts("HELO")) == ["HELO c0.test 1 ", "HELO c1.test 1 "]
