"""The torvane-antispam process: command line, start-up checks, signals, write-back, migration and its log."""
import os
import pathlib
import signal
import socket
import subprocess
import tempfile
import xml.etree.ElementTree as ET

import pytest

from conftest import WAIT_SECONDS, ini, wait_until

PID_FILE = pathlib.Path("/var/run/TorvaneAntispam.pid")
NOBODY = 65534

# A configuration that needs no migration and logs level-1 events.
CURRENT = {"CONFIG": {"loglevel": "1", "krnversion": "3.0.1"}}
# Every daemon here serves SMTP on loopback only, on a port the kernel picks.
LOOPBACK = {"listen_ip": "127.0.0.1", "listen_port": "0"}
# An empty record store of the format the migration rewrites.
OLD_EMPTY_STORE = b"DBK1.0" + bytes(4)


def daemon_ini(sections):
    """ini() of `sections` with the loopback listener added to CONFIG."""
    sections = {name: dict(pairs) for name, pairs in sections.items()}
    sections.setdefault("CONFIG", {}).update(LOOPBACK)
    return ini(sections)


def run(binary, *args, as_nobody=False, cwd=None):
    def drop_root():
        os.setgid(NOBODY)
        os.setuid(NOBODY)

    use_nobody = as_nobody and os.geteuid() == 0
    done = subprocess.run([binary, *args], capture_output=True, timeout=WAIT_SECONDS, cwd=cwd,
                          preexec_fn=drop_root if use_nobody else None)
    return done.returncode, done.stdout.decode("latin-1")


def entries(log_text):
    """The Entry texts of a well-formed log, in order."""
    root = ET.fromstring(log_text.encode("latin-1"))
    assert root.tag == "LogFile"
    return [item.findtext("Entry") for item in root.iter("LogItem")]


def config_pairs(path):
    """{(section, key): value} of an INI file as the daemon writes it."""
    pairs, section = {}, None
    for line in path.read_bytes().decode("latin-1").split("\r\n"):
        if line.startswith("["):
            section = line[1:-1]
        elif "=" in line:
            key, value = line.split("=", 1)
            pairs[(section, key)] = value
    return pairs


# ---- Command line and start-up checks ---------------------------------------

def test_test_option_needs_neither_configuration_nor_root(public_daemon_bin, tmp_path):
    # The spellings of the option are the unit tests' business.
    assert run(public_daemon_bin, f"--config={tmp_path}/missing.conf", "-T", as_nobody=True) == (0, "OK")


# The rules are daemon_test's; here the program prints its refusals.
def test_refusals_are_printed(daemon_bin, tmp_path):
    missing = tmp_path / "none.conf"
    assert run(daemon_bin, "-T", "--bogus") == (1, 'unknown option "bogus"\n\n')
    assert run(daemon_bin, f"--config={missing}", "-D") == (1, f"ERROR: {missing} FILE NOT FOUND !!!\n")


def test_not_root_is_refused(public_daemon_bin):
    if os.geteuid() != 0:
        pytest.skip("needs root to drop to another user")
    # A directory the unprivileged user can look into.
    with tempfile.TemporaryDirectory() as public:
        os.chmod(public, 0o755)
        config = pathlib.Path(public) / "torvane.conf"
        config.write_bytes(daemon_ini(CURRENT).encode())
        config.chmod(0o644)
        assert run(public_daemon_bin, f"--config={config}", "-D", as_nobody=True, cwd="/") == (
            1, "ERROR: Torvane Antispam must be run by root. !!!\n")


def test_stale_pid_file_only_warns(root_only, make_daemon):
    if PID_FILE.exists():
        pytest.skip("a pid file of another daemon exists on this machine")
    PID_FILE.write_text("999999")
    try:
        daemon = make_daemon(daemon_ini(CURRENT)).start()
        assert daemon.wait_for_log("Set Log Level to: 1")
        status, out = daemon.stop()
        assert status == 0
        assert out == ("WARNING: Torvane Antispam is already running: /var/run/TorvaneAntispam.pid FOUND\n"
                       "Check whether this is true and run: kill -TERM [old_pid]\n"
                       "START TORVANE ANTISPAM\n")
        # A foreground run neither writes nor removes the pid file.
        assert PID_FILE.read_text() == "999999"
    finally:
        PID_FILE.unlink(missing_ok=True)


# ---- Signals (a reload by SIGHUP: test_spf and test_tls see its effect) -----------

@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_saves_configuration_and_closes_the_log(root_only, make_daemon, signum):
    config = daemon_ini({"CONFIG": {"loglevel": "1", "krnversion": "3.0.1", "custom_key": "kept"},
                  "LOCAL": {"note": "scripts read me"}})
    daemon = make_daemon(config)
    (daemon.workdir / "db").mkdir()
    (daemon.workdir / "db" / "domain_local.db").write_bytes(OLD_EMPTY_STORE)
    daemon.start()
    assert daemon.wait_for_log("Set Log Level to: 1")
    status, out = daemon.stop(signum)
    assert status == 0
    assert out == "START TORVANE ANTISPAM\n"

    log_text = daemon.log_text()
    assert log_text.endswith("</LogItem></LogFile>")
    # The web server's stop record comes in between when it was listening.
    log = [entry for entry in entries(log_text) if not entry.startswith("Stop WEB Server")]
    assert log[-4:] == [f"RICEVE SIGNAL: {int(signum)}", "SHUTDOWN in PROGRESS...", "EXIT THREAD",
                        "Log File closed"]

    pairs = config_pairs(daemon.config)
    assert pairs[("CONFIG", "krnversion")] == "3.0.1"
    assert pairs[("CONFIG", "custom_key")] == "kept"
    assert pairs[("LOCAL", "note")] == "scripts read me"
    assert pairs[("RFC", "rfc421")] == "421 <%s> Service not available, closing transmission channel"
    assert ("WEBGUI", "port") in pairs
    # No migration for a current configuration: an old-format store (read, never written) stays old.
    assert (daemon.workdir / "db" / "domain_local.db").read_bytes() == OLD_EMPTY_STORE


def test_fatal_signal_exits_1_with_a_last_log_record(root_only, make_daemon):
    daemon = make_daemon(daemon_ini(CURRENT)).start()
    assert daemon.wait_for_log("Set Log Level to: 1")
    status, _ = daemon.stop(signal.SIGSEGV)
    assert status == 1
    log = entries(daemon.log_text())
    assert log[-1] == "Oh my god !!! riceve signal ABORT. Preserve the operation system  ... now Exit(1)"
    # No ordered stop: the configuration was not written back.
    assert "Set Log Level to: 1" in log and "EXIT THREAD" not in log
    assert config_pairs(daemon.config) == {("CONFIG", "loglevel"): "1", ("CONFIG", "krnversion"): "3.0.1",
                                           **{("CONFIG", key): value for key, value in LOOPBACK.items()}}


# ---- Upgrade migration -----------------------------------------------------------

def test_empty_configuration_triggers_the_migration_once(root_only, make_daemon):
    daemon = make_daemon("")
    (daemon.workdir / "db").mkdir()
    daemon.start()
    assert wait_until(lambda: (daemon.workdir / "db" / "ip_imbargo.db").exists())
    assert daemon.stop()[0] == 0
    empty_store = b"DBK2.0" + bytes(4)
    for store in ("domain_local.db", "ip_imbargo.db"):
        assert (daemon.workdir / "db" / store).read_bytes() == empty_store
        (daemon.workdir / "db" / store).unlink()
    # Saved as current (that a current one migrates nothing is the stop test's check).
    assert config_pairs(daemon.config)[("CONFIG", "krnversion")] == "3.0.1"


def start_failure(binary, config, *options):
    """(exit status, standard error) of a start that should fail; a detached one that started is stopped."""
    done = subprocess.run([binary, f"--config={config}", *options], capture_output=True, timeout=WAIT_SECONDS,
                          cwd=config.parent)
    if done.returncode == 0 and "-D" not in options and PID_FILE.exists():
        pid = int(PID_FILE.read_text())
        if str(config) in pathlib.Path(f"/proc/{pid}/cmdline").read_text(errors="replace"):
            os.kill(pid, signal.SIGTERM)
    return done.returncode, done.stderr.decode("latin-1")


# A daemon that cannot serve says why and exits 1, in the foreground and (through its parent) detached.
@pytest.mark.parametrize("options", [("-D",), ()], ids=["foreground", "detached"])
def test_start_failures_are_reported(root_only, daemon_bin, tmp_path, options):
    squatter = socket.socket()
    squatter.bind(("127.0.0.1", 0))
    squatter.listen(1)
    port = squatter.getsockname()[1]
    cases = [
        ({"listen_port": str(port)}, f"ERROR: cannot listen on 127.0.0.1 port {port}\n"),
        ({"listen_port": "0", "app_path": str(tmp_path / "missing")},
         f"ERROR: cannot make the folder {tmp_path}/missing/db: No such file or directory\n"),
    ]
    try:
        for n, (sections, message) in enumerate(cases):
            config = tmp_path / f"torvane{n}.conf"
            config.write_bytes(ini({"CONFIG": {"loglevel": "1", "krnversion": "3.0.1", "listen_ip": "127.0.0.1",
                                               **sections}}).encode())
            assert start_failure(daemon_bin, config, *options) == (1, message)
    finally:
        squatter.close()


# A bare application folder gets its own folders; at level 4 standard output goes to debug.txt.
def test_bare_application_folder_at_debug_level(root_only, make_daemon):
    daemon = make_daemon(daemon_ini({"CONFIG": {"loglevel": "4"}})).start()
    assert daemon.wait_for_log("Set Log Level to: 4")
    assert wait_until(lambda: (daemon.workdir / "debug.txt").exists())
    assert daemon.stop()[0] == 0
    for name in ("db", "logs"):
        assert (daemon.workdir / name).stat().st_mode & 0o777 == 0o750, name
    assert "EXIT THREAD" in entries(daemon.log_text())


# ---- Log rotation ------------------------------------------------------------------

def test_size_rotation_archives_the_live_log(root_only, make_daemon):
    config = daemon_ini({"CONFIG": {"loglevel": "1", "krnversion": "3.0.1",
                             "log_rot_type": "5", "log_rot_value": "1"}})
    daemon = make_daemon(config)
    (daemon.workdir / "logs").mkdir()
    # A live log already past the 1 MB limit, well formed.
    daemon.log.write_bytes(b'<?xml version="1.0" encoding="ISO-8859-1" ?>\n<LogFile>\n<Old>'
                           + b"x" * (1 << 20) + b"</Old></LogFile>")
    daemon.start()
    archives = lambda: list((daemon.workdir / "logs").glob("log_*.xml"))
    assert wait_until(lambda: len(archives()) == 1)
    assert daemon.stop()[0] == 0
    assert len(archives()) == 1
    archive = archives()[0]
    old = entries(archive.read_bytes().decode("latin-1"))
    assert old[-2:] == ["Rotate Log -.-.-.-.- << cut", "Log File closed"]
    # The new live log starts with a header of its own and stays small.
    live = daemon.log_text()
    assert live.startswith('<?xml version="1.0" encoding="ISO-8859-1" ?>\n')
    assert len(live) < 1 << 20
    assert entries(live)[-2:] == ["EXIT THREAD", "Log File closed"]
