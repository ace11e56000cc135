"""The daemon's cron scheduler, and the jobs dist/ ships run through torvane-script."""
import pathlib
import shutil
import signal
import socket
import time
from xml.sax.saxutils import escape

import pytest

from conftest import WAIT_SECONDS, ini, run_script, wait_until
from test_daemon import CURRENT, daemon_ini

FAKETIME_LIBRARY = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
ROOT = pathlib.Path(__file__).resolve().parents[2]
SHIPPED = ROOT / "dist" / "scripts" / "cron"
OPEN = "CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);\n"


def logged(daemon, text):
    """True when a record of the daemon's XML log holds `text`."""
    return escape(text, {'"': "&quot;"}) in daemon.log_text()


@pytest.fixture
def silent_listener():
    """A loopback listener that never answers: a job reading from it blocks."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(WAIT_SECONDS)
        yield listener


def test_jobs_run_log_and_stop_with_the_daemon(root_only, make_daemon, tmp_path, silent_listener):
    if not pathlib.Path(FAKETIME_LIBRARY).exists():
        pytest.fail("libfaketime is missing (tools/install-deps installs faketime)")
    cron = tmp_path / "scripts" / "cron"
    cron.mkdir(parents=True)
    written = tmp_path / "written.txt"
    port = silent_listener.getsockname()[1]
    jobs = {
        # The daemon's engines reach a job: 1 for the local domains, 2 for the white list.
        "write.cs": 'int reach = cs.InsertDomain("cron.test") >= 0; cs.AddALWL("me@l.test", "x@far.test");'
                    ' reach = reach + 2 * cs.IsALWL("x@far.test", "me@l.test");'
                    ' string text = "done " + cs.IntToChar(reach);'
                    f' CS_File f = new CS_File(); f.Open("{written}", 36929); f.Write(text, cs.StrLen(text)); f.Close();'
                    ' cs.WriteLog(1, "write job ran", 0);',
        "endless.cs": "while (1) {}",
        "broken.cs": "return no_such_name;",
        "blocked.cs": f'CS_Socket s = new CS_Socket(0); s.ConnectTo("127.0.0.1", "{port}");'
                      ' CS_Buffer b = new CS_Buffer(); b.Allocate(64); s.Riceve(b, 60000);',
    }
    for name, body in jobs.items():
        (cron / name).write_text("int main() {\n" + OPEN + body + "\nreturn 0; }\n")
    (cron / "torvane.crontab").write_text("".join(f"* * * * * {name}\n" for name in jobs) +
                                          "61 * * * * write.cs\n")
    daemon = make_daemon(daemon_ini(CURRENT))
    offset = 60 - int(time.time() % 60)  # the daemon starts at its second 0
    # The monotonic clock stays real: the daemon times its waits by it.
    daemon.start(env={"LD_PRELOAD": FAKETIME_LIBRARY, "FAKETIME": f"+{offset}",
                      "FAKETIME_DONT_FAKE_MONOTONIC": "1"})

    expected = ["write job ran", "crontab line 5: minute 61 is outside 0-59",
                'cron job "* * * * * broken.cs": ']
    # Normally 35 s; a scheduler built past second 5 (a loaded host) first evaluates the next minute.
    assert wait_until(lambda: all(logged(daemon, text) for text in expected) and written.exists(),
                      seconds=100), daemon.log_text()
    assert written.read_text() == "done 3"
    blocked, _ = silent_listener.accept()  # the blocked job connected

    # The stop waits (WAIT_SECONDS at most) for the daemon to give up on the blocked job.
    status, _ = daemon.stop(signal.SIGTERM)
    assert status == 0
    assert logged(daemon, 'cron job "* * * * * blocked.cs" did not end within 5 s of the stop: left running')
    assert not logged(daemon, 'cron job "* * * * * endless.cs" did not end')
    assert logged(daemon, "EXIT THREAD")
    assert "max_run_minutes=0" in daemon.config.read_text()  # the configuration was written back
    blocked.close()


def test_shipped_crontab_loads_without_a_bad_line(root_only, make_daemon, tmp_path):
    shutil.copytree(ROOT / "dist" / "scripts", tmp_path / "scripts")
    daemon = make_daemon(daemon_ini(CURRENT)).start()
    assert daemon.wait_for_log("Set Log Level to: 1")
    assert daemon.stop()[0] == 0
    assert logged(daemon, "EXIT THREAD") and not logged(daemon, "crontab")


@pytest.mark.parametrize("name", sorted(p.name for p in SHIPPED.glob("*.cs")))
def test_shipped_jobs_compile_and_are_in_the_crontab(tmp_path, name):
    done = run_script(f"--app-path={tmp_path}", "--disassemble", SHIPPED / name)
    assert done.returncode == 0 and done.stderr == b"", done.stderr
    assert f" {name}=" in (SHIPPED / "torvane.crontab").read_text()


def yesterday():
    """The day daily_stats.cs reports on (its rule, in UTC)."""
    return time.strftime("%Y-%m-%d", time.gmtime(time.time() - 12 * 3600))


def test_daily_stats_appends_yesterdays_counts(tmp_path):
    (tmp_path / "db").mkdir()
    counters = [("f1tot_conn", 1, 120), ("f3fw_iphell_[192.0.2.1]", 3, 4), ("f3fw_iphell_[192.0.2.9]", 3, 2),
                ("f3fw_session_max_ip", 3, 6), ("f6_reject-dnsbl", 6, 7), ("f3fw_timeout", 3, 1),
                ("f8_grey_bloc", 8, 30), ("f8_grey_recall", 8, 12), ("f11_bayes_spam", 11, 9)]
    for _ in range(3):  # a run that straddles the change of day is repeated
        day = yesterday()
        day_file = tmp_path / "db" / f"DAY_{day}.stc"
        writer = tmp_path / "write_day.cs"
        writer.write_text("int main() {\nCS_Statistic s = new CS_Statistic();\n"
                          f's.Load("{day_file}");\n' +
                          "".join(f's.AddItem("{n}", {g}, 0, {v}, 3);\n' for n, g, v in counters) +
                          "return s.Save() - 1; }\n")
        assert run_script(f"--app-path={tmp_path}", writer).returncode == 0
        done = run_script(f"--app-path={tmp_path}", SHIPPED / "daily_stats.cs")
        if day == yesterday():
            break
        (tmp_path / "db" / "stats_summary.csv").unlink(missing_ok=True)
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "db" / "stats_summary.csv").read_text().splitlines()
    assert lines[0].startswith("day,connections,refused_banned,")
    assert lines[1:] == [f"{day},120,3,3,7,1,0,30,12,0,9,0,0,0"]
    assert f"daily_stats {day}" in done.stderr.decode()


def test_housekeeping_deletes_only_old_matching_files(tmp_path):
    def day(days_back):
        return time.strftime("%Y-%m-%d", time.gmtime(time.time() - days_back * 86400))

    (tmp_path / "logs").mkdir()
    (tmp_path / "db").mkdir()
    files = {
        f"logs/log_{day(11)}_03-00-00.xml": False,
        f"logs/log_{day(9)}_03-00-00.xml": True,
        f"logs/log_{day(400)}.xml": True,           # not the archive name pattern
        "logs/notes.txt": True,
        f"db/DAY_{day(21)}.stc": False,
        f"db/DAY_{day(19)}.stc": True,
        f"db/DAY_{day(30)}.stc.bak": True,
        "db/ip_imbargo.db": True,
    }
    for name in files:
        (tmp_path / name).write_text("x")
    config = tmp_path / "site.conf"
    config.write_text(ini({"CRON": {"keep_log_days": "10", "keep_stats_days": "20"}}))
    done = run_script(f"--app-path={tmp_path}", f"--config={config}", SHIPPED / "housekeeping.cs")
    assert done.returncode == 0, done.stderr
    assert {name: (tmp_path / name).exists() for name in files} == files
    assert b"1 archived logs and 1 statistics day files deleted" in done.stderr
