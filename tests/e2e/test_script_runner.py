"""torvane-script by hand: output, log records, diagnostics, and main's result (1 after an error) as status."""
import pathlib

import pytest

from conftest import run_script

OPEN = "CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);\n"


def run(tmp_path, source, *options):
    script = tmp_path / "job.cs"
    script.write_text(source)
    return run_script(*options, script, cwd=tmp_path)


@pytest.mark.parametrize("source, status, stdout, stderr", [
    ("int main() {\n" + OPEN + "cs.Print(\"hi\\n\"); return 5; }", 5, b"hi\n", b""),
    ("int main() {\n" + OPEN + "cs.WriteLog(2, \"refreshed\", 0); return 0; }", 0, b"",
     b"CRON 2 job.cs: refreshed"),
    ("int main() { return nothing_here; }", 1, b"", b"unknown token"),
    ("int helper() { return 1; }", 1, b"", b"has no int main()"),
    ("int main() {\n" + OPEN + "cs.Format(\"%q\", 1); return 0; }", 1, b"",
     b"unknown format \"%q\""),
])
def test_exit_status_output_and_diagnostics(tmp_path, source, status, stdout, stderr):
    done = run(tmp_path, source)
    assert done.returncode == status, done.stderr
    assert done.stdout == stdout
    assert stderr in done.stderr


def test_config_option_feeds_get_config(tmp_path):
    config = tmp_path / "site.conf"
    config.write_bytes(b"[CONFIG]\r\nmyname=mx.example.org\r\n")
    source = "int main() {\n" + OPEN + "cs.Print(cs.GetConfig(\"myname\") + \"\\n\"); return 0; }"
    done = run(tmp_path, source, f"--config={config}")
    assert done.returncode == 0, done.stderr
    assert done.stdout == b"mx.example.org\n"
    done = run(tmp_path, source, f"--config={tmp_path / 'missing.conf'}")
    assert done.returncode == 1
    assert b"can't read configuration" in done.stderr


def test_app_path_option_locates_run_script(tmp_path):
    cron = tmp_path / "app" / "scripts" / "cron"
    cron.mkdir(parents=True)
    (cron / "child.cs").write_text("int main() { return 9; }")
    source = "int main() {\n" + OPEN + "return cs.RunScript(\"child.cs\") + cs.RunScript(\"none.cs\"); }"
    done = run(tmp_path, source, f"--app-path={tmp_path / 'app'}")
    assert done.returncode == 8, done.stderr


def test_missing_file_and_bad_usage(tmp_path):
    done = run_script(tmp_path / "none.cs")
    assert done.returncode == 1
    assert b"can't open" in done.stderr
    done = run_script("--bogus", "x.cs")
    assert done.returncode == 2
    assert b"usage:" in done.stderr


DIST_ANTISPAM = pathlib.Path(__file__).resolve().parents[2] / "dist" / "scripts" / "antispam"


@pytest.mark.parametrize("script", sorted(DIST_ANTISPAM.glob("*.cs")), ids=lambda path: path.name)
def test_shipped_antispam_scripts_compile(script):
    done = run_script("--antispam", script)
    assert (done.returncode, done.stdout) == (0, b"OK\n"), done.stderr


# The antispam class is known to --antispam, the cron one is not.
def test_antispam_check_reports_what_does_not_compile(tmp_path):
    done = run(tmp_path, OPEN + "int OnHelo(string a, string b) { return 0; }", "--antispam")
    assert done.returncode == 1 and done.stdout == b""
    assert b"CS_CRON_SCRIPT" in done.stderr
