"""The peers of the mail-path tests: recording MTA, name server, gateway and raw SMTP client."""
import json
import os
import pathlib
import socket
import subprocess
import time

from conftest import START_SECONDS, WAIT_SECONDS, Daemon, ini, start_name_server_process, stop_process, wait_until

HERE = pathlib.Path(__file__).resolve().parent
MTA_SCRIPT = HERE / "recording_mta.py"
NAME_SERVER_SCRIPT = HERE.parents[1] / "tests" / "unit" / "engines" / "dns_test_server.py"
DIST = HERE.parents[1] / "dist"
PYTHON = "/usr/bin/python3"
# Where the name servers of these tests may listen (other suites use others).
NAME_SERVER_HOSTS = [f"127.0.20.{n}" for n in range(1, 255)] + [f"127.0.21.{n}" for n in range(1, 255)]
# A loopback address where no name server listens: lookups fail at once.
NO_NAME_SERVER = "127.0.21.255"
# Seconds a peer may live; they also stop when the test process goes away.
PEER_LIFETIME = 300
# Most bytes the client holds while waiting for one whole reply.
MAX_REPLY_BYTES = 1 << 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(address, port):
    """True when a TCP socket listens on address:port (checked without a session)."""
    packed = socket.inet_aton(address)
    local = "%08X:%04X" % (int.from_bytes(packed, "little"), port)
    wildcard = "00000000:%04X" % port
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            if len(fields) > 3 and fields[3] == "0A" and fields[1] in (local, wildcard):
                return True
    return False


class RecordingMta:
    """One recording_mta.py process; see that file for what it records."""

    def __init__(self, directory, **options):
        self.directory = pathlib.Path(directory)
        self.directory.mkdir(parents=True)
        argv = [PYTHON, str(MTA_SCRIPT), "--dir", str(self.directory), "--lifetime", str(PEER_LIFETIME)]
        for name, value in options.items():
            flag = "--" + name.replace("_", "-")
            if value is True:
                argv.append(flag)
            elif value not in (None, False):
                argv += [flag, str(value)]
        self.process = subprocess.Popen(argv)
        ready = self.directory / "ready"
        if not wait_until(lambda: ready.exists() or self.process.poll() is not None):
            stop_process(self.process)
        assert ready.exists(), "the recording MTA did not start"
        self.port = int(ready.read_text())

    def transcript(self):
        try:
            lines = (self.directory / "transcript.jsonl").read_text().splitlines()
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in lines if line.endswith("}")]

    def received(self, conn=None):
        return b"".join(e["data"].encode("latin-1") for e in self.transcript()
                        if e["dir"] == "in" and (conn is None or e["conn"] == conn))

    def messages(self):
        """[(envelope dict, content bytes)]."""
        found, n = [], 1
        while (self.directory / f"msg-{n}.json").exists():
            envelope = json.loads((self.directory / f"msg-{n}.json").read_text())
            found.append((envelope, (self.directory / f"msg-{n}.eml").read_bytes()))
            n += 1
        return found

    def wait_for_messages(self, count, seconds=WAIT_SECONDS):
        wait_until(lambda: len(self.messages()) >= count, seconds)
        return self.messages()

    def stop(self):
        stop_process(self.process)


class NameServer:
    """dns_test_server.py on the first free address of NAME_SERVER_HOSTS."""

    def __init__(self, state):
        self.state = pathlib.Path(state)
        self.state.mkdir(parents=True)
        self.process, self.address = start_name_server_process(
            [PYTHON, str(NAME_SERVER_SCRIPT), "--lifetime", str(PEER_LIFETIME)], NAME_SERVER_HOSTS,
            self.state)

    def set_zones(self, records, zones=None):
        """records: {name: [[kind, value, ...]]}; zones: {zone: behaviour}."""
        tmp = self.state / "zones.json.tmp"
        tmp.write_text(json.dumps({"records": records, "zones": zones or {}}))
        os.replace(tmp, self.state / "zones.json")

    def counts(self):
        """{"name type": queries received}."""
        try:
            lines = (self.state / "counts").read_text().splitlines()
        except FileNotFoundError:
            return {}
        pairs = (line.rsplit(" ", 1) for line in lines if line.count(" ") >= 2)
        return {key: int(value) for key, value in pairs}

    def stop(self):
        stop_process(self.process)


def reversed_name(address, zone):
    return ".".join(reversed(address.split("."))) + "." + zone


# What the recording MTA greets with; the gateway passes it on unchanged.
GREETING = b"220 mta.recording.test recording MTA ready\r\n"
# The listener's reply to a client it has no room for.
BUSY_REPLY = b"421 <gw.test> Service not available, closing transmission channel \r\n"
# Client source addresses: 127.0.30.x are plain clients, 127.0.31.x relay clients under this setting.
RELAY_RANGE = {"FIREWALL": {"relayip_0": "127.0.31.1|127.0.31.254|test relay clients"}}

# Every script starts with this: note() appends "<conn> <script> <line>" to the event file, in order.
SCRIPT_PRELUDE = r'''
CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT($_this);
int conn = 0;
int note(string line) {
  CS_File f = new CS_File();
  if (f.Open("@EVENTS@", 1)) {
    string text = "" + conn + " @NAME@ " + line + "\n";
    f.Write(text, cs.StrLen(text));
    f.Close();
  }
  delete f;
  return 0;
}
'''

# The handlers of a relaying script, each noting what it saw.
RELAY_HANDLERS = {
    "OnStartClientConnection": r'''
int OnStartClientConnection(int id) {
  conn = id;
  cs.RegisterSessionIp(cs.GetClientIP());
  int connected = cs.ConnectToDefaultMTA();
  note("START " + cs.GetClientIP() + " relay=" + cs.ClientIsRelay() + " mta=" + connected);
  if (connected == 0) {
    cs.SendToClient("421 4.3.0 no mail server\r\n");
    cs.CloseClientConnAfterSendingQueue();
  }
  return 0;
}''',
    "OnHelo": 'int OnHelo(string name, string word) { note("HELO " + name + " " + word); return 0; }',
    "OnMailFrom": 'int OnMailFrom(string from) { note("MAIL " + from); return 0; }',
    "OnRcptTo": 'int OnRcptTo(string to) { note("RCPT " + to); return 0; }',
    "OnCommandData": 'int OnCommandData(int limit) { note("DATA " + limit); return 0; }',
    "OnEmailMessagesToAnalyzer":
        'int OnEmailMessagesToAnalyzer() { note("ANALYZE " + cs.GetEmailLen()); return 0; }',
    "OnClientTimeOut": 'int OnClientTimeOut() { note("TIMEOUT"); return 0; }',
    "OnDestroyThis": 'int OnDestroyThis() { note("DESTROY"); return 0; }',
}


def relay_script(handlers=None, extra=""):
    """RELAY_HANDLERS with `handlers` replacing them by name (None drops one), then `extra`."""
    chosen = dict(RELAY_HANDLERS)
    for name, source in (handlers or {}).items():
        if source is None:
            chosen.pop(name, None)
        else:
            chosen[name] = source
    return "\n".join(chosen.values()) + "\n" + extra + "\n"


def base_config(port, mta_port, name_server=None):
    """Loopback, one MTA, short waits; no admission checks, greylisting nor white list."""
    dns_servers = [name_server or NO_NAME_SERVER, "-", "-", "-"]  # "-": slot set but unused
    return {
        "CONFIG": {"loglevel": "2", "krnversion": "3.0.1", "listen_ip": "127.0.0.1",
                   "listen_port": str(port), "n_max_listen": "5", "myname": "gw.test",
                   "smtp_server1": "127.0.0.1", "smtp_port1": str(mta_port),
                   "smtp_server2": "", "smtp_port2": "0", "smtp_server3": "", "smtp_port3": "0",
                   "smtp_server4": "", "smtp_port4": "0", "smtp_type": "1",
                   "socket_select_time": "20", "buffer_socket_size": "4096"},
        "DNS": {**{f"nameserver_{i}": s for i, s in enumerate(dns_servers)},
                "timeout_millisecond": "300"},
        "DNSBL": {"nameserver_0": "none.test|0", "enable_dnsbl": "0", "reject_dnsbl": "0"},
        "FIREWALL": {"max_session_ip": "50", "error_max": "50", "timeout_client": "30"},
        "GREYLIST": {"enable_greylist": "0"},
        "ALWL": {"enable_alwl": "0"},
        "CS_SCRIPT": {"enable": "0", "enable_cache_script": "0", "cs_0": "1|core.cs"},
        # Messages arrive byte for byte: trace header and MTA TLS are tested apart.
        "MTA": {"trace_header": "0", "tls": "none"},
    }


def shipped_policy():
    """The scripts of a gateway running the shipped policy."""
    return {"core.cs": (DIST / "scripts" / "antispam" / "core.cs").read_bytes()}


def merge(config, overrides):
    """`config` with `overrides` laid over it key by key."""
    merged = {section: dict(pairs) for section, pairs in config.items()}
    for section, pairs in (overrides or {}).items():
        merged.setdefault(section, {}).update(pairs)
    return merged


class Gateway(Daemon):
    """A daemon serving SMTP with `workdir` as its application folder, configured by `settings`."""

    def __init__(self, binary, workdir, settings, scripts):
        (pathlib.Path(workdir) / "db").mkdir(parents=True, exist_ok=True)
        super().__init__(binary, workdir, ini(settings))
        self.settings = settings
        self.events_file = self.workdir / "events.log"
        self.port = int(settings["CONFIG"]["listen_port"])
        self.write_scripts(scripts)
        self.stopped = False  # by the test, on purpose

    def write_scripts(self, scripts):
        """{file name: source}; a str source gets the prelude, bytes are written as they are."""
        directory = self.workdir / "scripts" / "antispam"
        directory.mkdir(parents=True, exist_ok=True)
        for name, source in scripts.items():
            if isinstance(source, bytes):
                (directory / name).write_bytes(source)
                continue
            prelude = SCRIPT_PRELUDE.replace("@EVENTS@", str(self.events_file)).replace("@NAME@", name)
            (directory / name).write_text(prelude + source)

    def start(self):
        super().start()
        started = lambda: listening("127.0.0.1", self.port) or self.process.poll() is not None
        assert wait_until(started, START_SECONDS) and self.process.poll() is None, (
            "the gateway does not listen on port %d:\n%s" % (self.port, self.log_text()[-3000:]))
        return self

    def connect(self, source="127.0.0.1"):
        return SmtpClient(self.port, source)

    def events(self):
        try:
            return self.events_file.read_text(encoding="latin-1").splitlines()
        except FileNotFoundError:
            return []

    def event_texts(self, prefix=""):
        """The texts of the events that start with `prefix`."""
        texts = [line.split(" ", 2)[2] for line in self.events() if line.count(" ") >= 2]
        return [t for t in texts if t.startswith(prefix)]

    def wait_for_event(self, prefix, count=1, seconds=WAIT_SECONDS):
        wait_until(lambda: len(self.event_texts(prefix)) >= count, seconds)
        return self.event_texts(prefix)

    def terminate(self):
        """SIGTERM, as a service manager stops it: (exit status, stderr text)."""
        self.stopped = True
        status, _ = self.stop()
        return status, self.errors.read_text(encoding="latin-1")


class SmtpClient:
    """A raw SMTP client socket from a chosen loopback source address."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.socket()
        self.sock.bind((source, 0))
        self.sock.settimeout(WAIT_SECONDS)
        self.sock.connect(("127.0.0.1", port))
        self.pending = b""
        self.closed = False

    def send(self, data):
        self.sock.sendall(data.encode("latin-1") if isinstance(data, str) else data)

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or self.closed:
            return False
        self.sock.settimeout(remaining)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return False
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.closed = True
            return False
        self.pending += chunk
        return True

    def reply(self, seconds=WAIT_SECONDS):
        """The next whole reply (CR LF kept); b"" when none came in time."""
        deadline = time.monotonic() + seconds
        while True:
            end = complete_reply_length(self.pending)
            if end:
                reply, self.pending = self.pending[:end], self.pending[end:]
                return reply
            if len(self.pending) > MAX_REPLY_BYTES or not self._fill(deadline):
                return b""

    def command(self, line, seconds=WAIT_SECONDS):
        self.send(line + "\r\n" if isinstance(line, str) else line + b"\r\n")
        return self.reply(seconds)

    def read_until_closed(self, seconds=WAIT_SECONDS):
        """Everything up to the end of the stream; (bytes, closed in time)."""
        deadline = time.monotonic() + seconds
        while self._fill(deadline):
            pass
        data, self.pending = self.pending, b""
        return data, self.closed

    def close(self):
        self.sock.close()


def complete_reply_length(data):
    """Length of the first whole reply in `data`, 0 while it is incomplete."""
    start = 0
    while True:
        end = data.find(b"\r\n", start)
        if end < 0:
            return 0
        line = data[start:end]
        if len(line) < 4 or line[3:4] != b"-":
            return end + 2
        start = end + 2


def deliver(gateway, text, recipient="b@example.org"):
    """One message from a@example.net; `text` ends with CR LF, no line starts with a dot."""
    client = gateway.connect()
    assert client.reply().startswith(b"220")
    for line in ("HELO client.example", "MAIL FROM:<a@example.net>", f"RCPT TO:<{recipient}>"):
        assert client.command(line).startswith(b"250"), line
    assert client.command("DATA").startswith(b"354")
    assert client.command(text + ".").startswith(b"250")
    client.command("QUIT")
    client.close()


def reply_code(reply):
    return int(reply[:3]) if reply[:3].isdigit() else 0


def dot_stuff(content):
    """The DATA bytes of a message: leading dots doubled, the end mark appended."""
    lines = content.split(b"\r\n")
    stuffed = b"\r\n".join(b"." + line if line.startswith(b".") else line for line in lines)
    return stuffed + b".\r\n" if stuffed.endswith(b"\r\n") else stuffed + b"\r\n.\r\n"


