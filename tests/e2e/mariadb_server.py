"""A private mariadbd child on loopback for the database tests (never the system service), stopped by PID."""
import glob
import os
import pathlib
import subprocess

from conftest import WAIT_SECONDS, stop_process, wait_until
from smtp_peers import free_port

INSTALL_DB = "/usr/bin/mariadb-install-db"
SERVER = "/usr/sbin/mariadbd"
CLIENT = "/usr/bin/mariadb"
DATABASE = "torvane"
USER = "torvane"
PASSWORD = "t0rvane pw"
# Longest wait for the server to start or stop (a first start makes its tablespaces).
SERVER_WAIT_SECONDS = 60
INIT_SQL = f"""
CREATE DATABASE IF NOT EXISTS {DATABASE};
CREATE USER IF NOT EXISTS '{USER}'@'%' IDENTIFIED BY '{PASSWORD}';
CREATE USER IF NOT EXISTS '{USER}'@'localhost' IDENTIFIED BY '{PASSWORD}';
GRANT ALL PRIVILEGES ON *.* TO '{USER}'@'%';
GRANT ALL PRIVILEGES ON *.* TO '{USER}'@'localhost';
"""


def client_library():
    """Debian's MySQL client library (libmariadb3), or None."""
    found = sorted(glob.glob("/usr/lib/*/libmariadb.so.3"))
    return found[0] if found else None


def link_client_library(app_dir):
    """app_dir/libdll/libmysql.so -> the client library, as tools/run lays it."""
    libdll = pathlib.Path(app_dir) / "libdll"
    libdll.mkdir(parents=True, exist_ok=True)
    os.chmod(libdll, 0o755)
    link = libdll / "libmysql.so"
    if not link.exists():
        link.symlink_to(client_library())


class MariaDbServer:
    def __init__(self, folder):
        self.folder = pathlib.Path(folder)
        self.data = self.folder / "data"
        self.socket = self.folder / "mysqld.sock"
        self.port = free_port()
        self.process = None
        self.folder.mkdir(parents=True, exist_ok=True)
        (self.folder / "init.sql").write_text(INIT_SQL)
        subprocess.run([INSTALL_DB, "--no-defaults", "--user=root", f"--datadir={self.data}",
                        "--auth-root-authentication-method=normal", "--skip-test-db"],
                       check=True, capture_output=True, timeout=SERVER_WAIT_SECONDS)

    def start(self):
        self.process = subprocess.Popen(
            [SERVER, "--no-defaults", "--user=root", f"--datadir={self.data}",
             "--bind-address=127.0.0.1", f"--port={self.port}", f"--socket={self.socket}",
             f"--pid-file={self.folder / 'mysqld.pid'}", f"--init-file={self.folder / 'init.sql'}",
             f"--log-error={self.folder / 'error.log'}", "--skip-name-resolve",
             "--innodb-buffer-pool-size=16M"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ready = wait_until(lambda: self.process.poll() is not None or self.sql("SELECT 1") == "1",
                           SERVER_WAIT_SECONDS)
        assert ready and self.process.poll() is None, (self.folder / "error.log").read_text()[-2000:]
        return self

    def stop(self):
        if self.process is not None:
            stop_process(self.process, SERVER_WAIT_SECONDS)

    def sql(self, statement):
        """`statement`'s output as root (tab-separated, no headers); None when it failed."""
        done = subprocess.run([CLIENT, "--no-defaults", "-uroot", f"--socket={self.socket}", "-N", "-B",
                               "-e", statement], capture_output=True, timeout=WAIT_SECONDS)
        return done.stdout.decode("latin-1").strip() if done.returncode == 0 else None
