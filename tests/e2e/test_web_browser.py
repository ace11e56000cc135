"""tests/browser in Chromium against a daemon that saw SMTP (TORVANE_GUI_SCREENSHOT: dashboard image)."""
import os
import pathlib
import smtplib
import subprocess

import pytest

from test_web_gui import PASSWORD, add_gui, start_gui

BROWSER_TESTS = pathlib.Path(__file__).resolve().parents[1] / "browser"
CHROMIUM = "/usr/bin/chromium"
SMTP_CONNECTIONS = 3
# Bounds of installing the pinned driver and of the whole browser run.
NPM_SECONDS = 300
BROWSER_SECONDS = 180


@pytest.fixture(scope="module")
def browser_driver():
    """playwright-core as the lockfile pins it (no browser of its own), installed once."""
    if not os.access(CHROMIUM, os.X_OK):
        pytest.fail(f"{CHROMIUM} missing: run tools/install-deps")
    if not (BROWSER_TESTS / "node_modules" / "playwright-core").is_dir():
        subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--silent"], cwd=BROWSER_TESTS,
                       check=True, timeout=NPM_SECONDS)
    return BROWSER_TESTS


def test_gui_in_chromium(browser_driver, start_mta, start_gateway, tmp_path):
    gw = start_gui(start_mta, start_gateway)
    for n in range(SMTP_CONNECTIONS):
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=15) as client:
            client.ehlo(f"browser-test-{n}.example")
    # The day's counters reach the disk, where the dashboard reads them, when the daemon stops.
    gw.terminate()
    add_gui(gw.start(), gw.web_port)
    # The browser's profile and caches stay in the test's folder, whatever HOME's permissions.
    home = tmp_path / "browser-home"
    home.mkdir()
    env = {**os.environ, "HOME": str(home), "XDG_CONFIG_HOME": str(home / "config"),
           "XDG_CACHE_HOME": str(home / "cache"), "TMPDIR": str(tmp_path),
           "CHROMIUM": CHROMIUM,
           "TORVANE_GUI_URL": f"http://127.0.0.1:{gw.web_port}",
           "TORVANE_GUI_PASSWORD": PASSWORD,
           "TORVANE_GUI_CONNECTIONS": str(SMTP_CONNECTIONS)}
    node = subprocess.run(["node", "--test", "--test-reporter=spec", str(browser_driver)],
                          env=env, capture_output=True, text=True, timeout=BROWSER_SECONDS)
    assert node.returncode == 0, node.stdout + node.stderr
    assert "WEB Script Error" not in gw.log_text()
