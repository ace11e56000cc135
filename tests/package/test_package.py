"""The Debian package (tools/package), dpkg-installed in a throwaway root, checked against its unit and config."""
import configparser
import gzip
import os
import pathlib
import posixpath
import shlex
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("TORVANE_BUILD", ROOT / "build")).resolve()
NAME = "torvane-antispam"
UNIT = f"lib/systemd/system/{NAME}.service"
# Where each part of dist/ is installed, under the application folder ("app") or the root.
DIST_PLACES = {"scripts": "app", "www": "app", "db": "app", "torvane_antispam.conf": "etc/torvane-antispam"}
DIST_CHECKED_ELSEWHERE = {"man", "systemd"}
# Highest overall exposure (x10) systemd may give the unit's sandbox.
MAX_EXPOSURE = 30
COMMAND_SECONDS = 120


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=COMMAND_SECONDS, **kwargs)


def programs():
    return sorted(p.name for p in BUILD.glob("torvane-*") if p.is_file() and os.access(p, os.X_OK))


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    if os.geteuid() != 0:
        pytest.skip("dpkg installs into a root only as root")
    made = run(str(ROOT / "tools/package"), str(BUILD), str(tmp_path_factory.mktemp("deb")))
    assert made.returncode == 0, made.stderr
    return pathlib.Path(made.stdout.strip())


def dpkg_root(tmp_path):
    """An empty dpkg database to install into."""
    root = tmp_path / "root"
    for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates"):
        (root / folder).mkdir(parents=True)
    for name in ("status", "available"):
        (root / "var/lib/dpkg" / name).touch()
    return root


def dpkg(root, *args):
    # Maintainer scripts run outside the root (it holds no shell) with DPKG_ROOT set.
    done = run("dpkg", f"--root={root}", "--force-script-chrootless", "--force-depends",
               "--log=/dev/null", *args)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


@pytest.fixture(scope="module")
def files(deb, tmp_path_factory):
    """The package's files, as dpkg-deb extracts them."""
    files = tmp_path_factory.mktemp("files")
    assert run("dpkg-deb", "-x", str(deb), str(files)).returncode == 0
    return files


@pytest.fixture(scope="module")
def installed(deb, tmp_path_factory):
    root = dpkg_root(tmp_path_factory.mktemp("install"))
    dpkg(root, "-i", str(deb))
    return root


def inside(root, path, hops=10):
    """`path` of the installed system inside `root`, its links followed there."""
    parts = pathlib.PurePosixPath(path).parts[1:]
    resolved = "/"
    for index, part in enumerate(parts):
        candidate = posixpath.join(resolved, part)
        if (root / candidate.lstrip("/")).is_symlink():
            assert hops > 0, f"link loop at {candidate}"
            target = posixpath.join(resolved, os.readlink(root / candidate.lstrip("/")))
            return inside(root, posixpath.normpath(posixpath.join(target, *parts[index + 1:])), hops - 1)
        resolved = candidate
    return root / resolved.lstrip("/")


def read_ini(path):
    """An INI file (the unit or the configuration), keys as written."""
    ini = configparser.ConfigParser(strict=False, interpolation=None, delimiters=("=",))
    ini.optionxform = str
    ini.read_string(path.read_text())
    return ini


def unit_settings(root):
    return read_ini(root / UNIT)["Service"]


def installed_config(root):
    command = shlex.split(unit_settings(root)["ExecStart"])
    config_path = next(a.split("=", 1)[1] for a in command if a.startswith("--config="))
    return command, config_path, read_ini(inside(root, config_path))


@pytest.mark.parametrize("program", programs())
def test_every_program_is_packaged_with_its_man_page(files, program):
    section = "8" if program == NAME else "1"
    binary = files / ("usr/sbin" if section == "8" else "usr/bin") / program
    assert binary.is_file() and os.access(binary, os.X_OK), f"{program} not packaged"
    page = files / f"usr/share/man/man{section}/{program}.{section}.gz"
    assert page.is_file(), f"{program} has no man page: add dist/man/{program}.{section}"
    roff = gzip.decompress(page.read_bytes()).decode()
    assert f".TH {program.upper()} {section} " in roff
    lint = run("groff", "-man", "-ww", "-z", "-Tutf8", input=roff)
    assert lint.returncode == 0 and lint.stderr == "", lint.stderr


def test_installed_files_are_where_the_unit_and_configuration_expect_them(installed):
    status = (installed / "var/lib/dpkg/status").read_text()
    assert f"Package: {NAME}\nStatus: install ok installed" in status
    command, config_path, config = installed_config(installed)
    daemon = inside(installed, command[0])
    assert daemon.is_file() and os.access(daemon, os.X_OK)
    assert command[1] == "-D"
    assert f" {config_path} " in status.split("Conffiles:")[1], "the configuration is no conffile"
    assert oct(inside(installed, config_path).stat().st_mode & 0o777) == "0o640"
    assert inside(installed, "/etc/torvane_antispam.conf") == inside(installed, config_path)

    writable = unit_settings(installed)["ReadWritePaths"].split()
    app = config["CONFIG"]["app_path"]
    assert app in writable and os.path.dirname(config_path) in writable
    for path in writable:
        assert inside(installed, path).is_dir(), path
    for folder in ("db", "logs", "scripts/antispam"):
        assert inside(installed, f"{app}/{folder}").is_dir(), folder
    policy = config["CS_SCRIPT"] if "CS_SCRIPT" in config else {}
    scripts = [v.split("|", 1)[1] for k, v in policy.items() if k.startswith("cs_")] or ["core.cs"]
    for script in scripts:
        assert inside(installed, f"{app}/scripts/antispam/{script}").is_file(), script


def test_everything_in_dist_is_installed(installed):
    _, _, config = installed_config(installed)
    app = config["CONFIG"]["app_path"]
    for item in sorted((ROOT / "dist").iterdir()):
        if item.name in DIST_CHECKED_ELSEWHERE:
            continue
        assert item.name in DIST_PLACES, f"dist/{item.name} is not packaged"
        place = app if DIST_PLACES[item.name] == "app" else "/" + DIST_PLACES[item.name]
        sources = [item] if item.is_file() else sorted(p for p in item.rglob("*") if p.is_file())
        for source in sources:
            at = inside(installed, f"{place}/{source.relative_to(item.parent)}")
            assert at.is_file(), f"{source.relative_to(ROOT)} is not installed"
            if source.name != "torvane_antispam.conf":  # its app_path is set
                assert at.read_bytes() == source.read_bytes(), source


def test_installed_policy_compiles_and_the_database_library_loads(installed, tmp_path):
    _, config_path, config = installed_config(installed)
    app = config["CONFIG"]["app_path"]
    script = run(str(inside(installed, "/usr/bin/torvane-script")), "--antispam",
                 str(inside(installed, f"{app}/scripts/antispam/core.cs")))
    assert (script.returncode, script.stdout.strip()) == (0, "OK"), script.stderr
    # The installed configuration pointed at the installed application folder.
    text = inside(installed, config_path).read_bytes()
    local = tmp_path / "torvane_antispam.conf"
    local.write_bytes(text.replace(f"app_path={app}\r".encode(),
                                   f"app_path={installed}{app}\r".encode()))
    plugin = run(str(inside(installed, "/usr/sbin/torvane-antispam")), "--pluginerror",
                 f"--config={local}")
    assert plugin.returncode == 0, plugin.stdout


def test_purge_removes_state_and_configuration(deb, tmp_path):
    root = dpkg_root(tmp_path)
    dpkg(root, "-i", str(deb))
    (root / "var/lib/torvane-antispam/db/spf.db").write_text("learned")
    (root / "etc/torvane-antispam/torvane_antispam.conf.tmp").write_text("left over")
    dpkg(root, "--purge", NAME)
    for gone in ("var/lib/torvane-antispam", "etc/torvane-antispam", "etc/torvane_antispam.conf",
                 "usr/sbin/torvane-antispam", UNIT):
        assert not os.path.lexists(root / gone), gone
    assert f"Package: {NAME}\n" not in (root / "var/lib/dpkg/status").read_text()


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="no systemd-analyze")
def test_unit_verifies_and_is_sandboxed(installed, tmp_path):
    command = shlex.split(unit_settings(installed)["ExecStart"])
    # The unit as it would run from the throwaway root.
    unit = tmp_path / f"{NAME}.service"
    unit.write_text((installed / UNIT).read_text().replace(
        f"ExecStart={command[0]} ", f"ExecStart={inside(installed, command[0])} "))
    verify = run("systemd-analyze", "verify", "--man=no", str(unit))
    assert verify.returncode == 0 and verify.stdout + verify.stderr == "", verify.stderr
    security = run("systemd-analyze", "security", "--offline=yes", f"--threshold={MAX_EXPOSURE}",
                   "--no-pager", str(unit))
    assert security.returncode == 0, security.stdout[-600:]
