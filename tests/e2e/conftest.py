"""End-to-end fixtures: foreground daemons in private folders, bounded waits, children stopped by PID."""
import os
import pathlib
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

# Longest wait for any one thing the daemon should do.
WAIT_SECONDS = 10.0
# Longest wait for a start (large stores on a busy machine; a death shows at once).
START_SECONDS = 60.0
POLL_SECONDS = 0.05
# What a foreground daemon prints once its signal handlers are installed.
READY_LINE = b"START TORVANE ANTISPAM\n"


def build_dir():
    return pathlib.Path(os.environ.get("TORVANE_BUILD", "build"))


@pytest.fixture(scope="session")
def daemon_bin():
    path = build_dir() / "torvane-antispam"
    if not path.is_file():
        pytest.fail(f"{path} not built (set TORVANE_BUILD to the build directory)")
    return str(path)


@pytest.fixture(scope="session")
def public_daemon_bin(daemon_bin):
    """A copy of the daemon an unprivileged user can reach."""
    folder = tempfile.mkdtemp(prefix="torvane-bin-")
    os.chmod(folder, 0o755)
    copy = os.path.join(folder, "torvane-antispam")
    shutil.copy(daemon_bin, copy)
    os.chmod(copy, 0o755)
    yield copy
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def root_only():
    if os.geteuid() != 0:
        pytest.skip("the daemon refuses to start without root")


def ini(sections):
    """An INI text with CR LF line ends from {section: {key: value}}."""
    lines = []
    for section, pairs in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in pairs.items())
    return "".join(line + "\r\n" for line in lines)


def run_script(*arguments, cwd=None):
    """torvane-script with `arguments` (options, then the script): the finished process, output in bytes."""
    return subprocess.run([str(build_dir() / "torvane-script"), *map(str, arguments)], cwd=cwd, capture_output=True,
                          timeout=120)


def wait_until(predicate, seconds=WAIT_SECONDS):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(POLL_SECONDS)
    return predicate()


def stop_process(process, seconds=WAIT_SECONDS):
    """Stops a child by its PID: SIGTERM, then SIGKILL when it lingers."""
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(timeout=WAIT_SECONDS)


# The resolver asks port 53 only: every test name server has an address of its own.
DNS_PORT = 53


def dns_port_free(address):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind((address, DNS_PORT))
        except OSError:
            return False
    return True


def start_name_server_process(command, addresses, state):
    """(process, address) of `command` on the first of `addresses` where it writes STATE/ready."""
    for address in addresses:
        if not dns_port_free(address):
            continue
        process = subprocess.Popen([*command, "--address", address, "--state", str(state)])
        ready = wait_until(lambda: (state / "ready").exists() or process.poll() is not None)
        if ready and process.poll() is None:
            return process, address
        process.wait(timeout=WAIT_SECONDS)
    pytest.fail("no loopback address free for the test name server")


class Daemon:
    """One foreground daemon in `workdir`, configured by `config`."""

    def __init__(self, binary, workdir, config):
        self.binary = binary
        self.workdir = pathlib.Path(workdir)
        self.config = self.workdir / "torvane.conf"
        self.log = self.workdir / "torvane_log.xml"
        # Standard error, kept: a sanitizer build reports there.
        self.errors = self.workdir / "stderr.txt"
        self.process = None
        if config is not None:
            self.config.write_bytes(config.encode("latin-1"))

    def start(self, env=None):
        """Starts the daemon and waits for its start line (signal handlers in place)."""
        self.output = b""
        with open(self.errors, "ab") as errors:
            self.process = subprocess.Popen([self.binary, f"--config={self.config}", "-D"], cwd=self.workdir,
                                            stdout=subprocess.PIPE, stderr=errors, env={**os.environ, **(env or {})})
        deadline = time.monotonic() + WAIT_SECONDS
        while READY_LINE not in self.output and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], POLL_SECONDS)
            if ready:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    break
                self.output += chunk
        assert READY_LINE in self.output, self.output
        return self

    def resident_kb(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

    def log_text(self):
        try:
            return self.log.read_bytes().decode("latin-1")
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text, count=1, seconds=WAIT_SECONDS):
        return wait_until(lambda: self.log_text().count(text) >= count, seconds)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def send(self, signum):
        os.kill(self.process.pid, signum)

    def stop(self, signum=signal.SIGTERM):
        """Sends `signum` and returns (exit status, stdout)."""
        self.send(signum)
        out, _ = self.process.communicate(timeout=WAIT_SECONDS)
        return self.process.returncode, (self.output + out).decode("latin-1")

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=WAIT_SECONDS)


@pytest.fixture
def make_daemon(daemon_bin, tmp_path):
    started = []

    def make(config, workdir=None):
        daemon = Daemon(daemon_bin, workdir or tmp_path, config)
        started.append(daemon)
        return daemon

    yield make
    for daemon in started:
        daemon.kill()


# Peers of the mail-path tests (imported when they run: smtp_peers.py imports this module).

@pytest.fixture
def start_mta(tmp_path):
    """start_mta(**options) -> a RecordingMta, stopped when the test ends."""
    from smtp_peers import RecordingMta
    started = []

    def start(**options):
        mta = RecordingMta(tmp_path / f"mta{len(started) + 1}", **options)
        started.append(mta)
        return mta

    yield start
    for mta in started:
        mta.stop()


@pytest.fixture
def start_name_server(tmp_path):
    """start_name_server(records, zones) -> a NameServer serving them."""
    from smtp_peers import NameServer
    if os.geteuid() != 0:
        pytest.skip("port 53 needs root")
    started = []

    def start(records, zones=None):
        server = NameServer(tmp_path / f"dns{len(started) + 1}")
        started.append(server)
        server.set_zones(records, zones)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def start_gateway(daemon_bin, tmp_path, root_only):
    """start_gateway(mta_port, scripts, config over base_config(), name_server, prepare(folder)) -> a Gateway."""
    from smtp_peers import Gateway, base_config, free_port, merge, relay_script
    started = []

    def start(mta_port, scripts=None, config=None, name_server=None, prepare=None):
        settings = merge(base_config(free_port(), mta_port, name_server), config)
        gateway = Gateway(daemon_bin, tmp_path / f"gw{len(started) + 1}", settings,
                          scripts if scripts is not None else {"core.cs": relay_script()})
        started.append(gateway)
        if prepare is not None:
            prepare(gateway.workdir)
        return gateway.start()

    yield start
    # A gateway that died during its test fails it even when every reply came.
    died = [str(gateway.workdir) for gateway in started if not gateway.running() and not gateway.stopped]
    for gateway in started:
        gateway.kill()
    assert not died, f"the gateway exited during the test: {died}"


@pytest.fixture(scope="module")
def mariadb(tmp_path_factory):
    """A private MariaDB server (mariadb_server.py) for one test module."""
    from mariadb_server import MariaDbServer
    server = MariaDbServer(tmp_path_factory.mktemp("mariadb")).start()
    yield server
    server.stop()
