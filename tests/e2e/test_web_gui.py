"""The shipped GUI pages: login, session cookie, form tokens, escaping, and pages acting on a real policy."""
import hashlib
import http.client
import json
import re
import shutil
import smtplib
import urllib.parse

import pytest

from conftest import wait_until
from smtp_peers import deliver, free_port, listening, merge, shipped_policy
from test_admin import SHIPPED, KEY, ROOT

PASSWORD = "gui-test-password"
BUILT_IN = "6f7e880f06c99508bdb46d1da6e21d36"


def gui_config(password=PASSWORD):
    """(sections giving a gateway the GUI and its admin server, web port)."""
    web_port, admin_port = free_port(), free_port()
    digest = hashlib.md5(password.encode()).hexdigest() if password else BUILT_IN
    return {"WEBGUI": {"listen": "127.0.0.1", "port": str(web_port), "security_headers": "1"},
            "READMIN": {"enable": "0", "port": str(admin_port), "key": KEY, "superuser": "root",
                        "password": digest},
            "CONFIG": {"loglevel": "4"}}, web_port


def add_gui(gw, web_port):
    """`gw` with the shipped admin commands and pages, both servers listening."""
    admin_port = int(gw.settings["READMIN"]["port"])
    shutil.copytree(SHIPPED, gw.workdir / "scripts" / "admin", dirs_exist_ok=True)
    shutil.copytree(ROOT / "dist" / "www", gw.workdir / "www", dirs_exist_ok=True)
    assert wait_until(lambda: listening("127.0.0.1", web_port) and listening("127.0.0.1", admin_port))
    gw.web_port = web_port
    return gw


def start_gui(start_mta, start_gateway, password=PASSWORD):
    config, web_port = gui_config(password)
    return add_gui(start_gateway(start_mta().port, config=config), web_port)


def request(gw, method, target, fields=None, cookie=None):
    conn = http.client.HTTPConnection("127.0.0.1", gw.web_port, timeout=15)
    headers = {"Cookie": cookie} if cookie else {}
    body = None
    if fields is not None:
        body = urllib.parse.urlencode(fields)
        headers["Content-Type"] = "application/x-www-form-urlencoded"
    conn.request(method, target, body=body, headers=headers)
    response = conn.getresponse()
    data = response.read().decode("latin-1")
    conn.close()
    return response, data


def log_in(gw, password=PASSWORD):
    response, _ = request(gw, "POST", "/login.htmcc", {"user": "root", "password": password})
    assert response.status == 302, response.status
    cookie = response.getheader("Set-Cookie")
    return cookie.split(";")[0], cookie


def token_of(page):
    return re.search(r'name="csrf" value="([0-9a-f]+)"', page).group(1)


def test_login_refused_with_the_built_in_password(start_mta, start_gateway):
    gw = start_gui(start_mta, start_gateway, password=None)
    response, page = request(gw, "POST", "/login.htmcc", {"user": "root", "password": "anything"})
    assert response.status == 200 and "built-in default" in page and "gui-password" in page
    assert "Set-Cookie" not in str(response.headers)


# Logging out and the way back to the login page: the browser test.
def test_session_cookie_flags_and_login_failures(start_mta, start_gateway):
    gw = start_gui(start_mta, start_gateway)
    response, page = request(gw, "POST", "/login.htmcc", {"user": "root", "password": "wrong"})
    assert response.status == 200 and 'id="login-error"' in page and response.getheader("Set-Cookie") is None
    session, cookie = log_in(gw)
    flags = [part.strip() for part in cookie.split(";")]
    assert "HttpOnly" in flags and "SameSite=Strict" in flags and not any(f.startswith("expires") for f in flags)
    assert log_in(gw)[0] != session  # a new id at every login
    response, page = request(gw, "GET", "/index.htmcc", cookie=session)
    assert response.status == 200 and 'id="stats"' in page
    assert response.getheader("X-Content-Type-Options") == "nosniff"
    stats = json.loads(re.search(r'id="stats">(.*?)</script>', page).group(1))
    assert len(stats["days"]) == 30 and len(stats["scores"]) == 21
    for _ in range(5):
        request(gw, "POST", "/login.htmcc", {"user": "root", "password": "wrong"})
    response, page = request(gw, "POST", "/login.htmcc", {"user": "root", "password": PASSWORD})
    assert response.status == 200 and "Too many failed logins" in page  # even the right one waits


def test_changes_need_the_sessions_form_token(start_mta, start_gateway):
    gw = start_gui(start_mta, start_gateway)
    session, _ = log_in(gw)
    other, _ = log_in(gw)
    _, page = request(gw, "GET", "/bans.htmcc", cookie=session)
    _, other_page = request(gw, "GET", "/bans.htmcc", cookie=other)
    foreign = token_of(other_page)
    assert foreign != token_of(page)
    for fields in [{"action": "add", "address": "10.9.8.7", "seconds": "600"},
                   {"action": "add", "address": "10.9.8.7", "seconds": "600", "csrf": foreign}]:
        response, answer = request(gw, "POST", "/bans.htmcc", fields, cookie=session)
        assert response.status == 403 and "nothing was changed" in answer
    response, answer = request(gw, "GET", "/bans.htmcc?action=add&address=10.9.8.7&seconds=600&csrf="
                               + token_of(page), cookie=session)
    assert "10.9.8.7" not in request(gw, "GET", "/bans.htmcc", cookie=session)[1]
    response, answer = request(gw, "POST", "/bans.htmcc",
                               {"action": "add", "address": "10.9.8.7", "seconds": "600", "csrf": token_of(page)},
                               cookie=session)
    assert response.status == 200 and "10.9.8.7" in answer, answer


def test_attacker_helo_is_shown_escaped_in_the_log_viewer(start_mta, start_gateway):
    gw = start_gui(start_mta, start_gateway)
    with smtplib.SMTP("127.0.0.1", gw.port, timeout=15) as client:
        client.ehlo("<script>alert(1)</script>")
    assert gw.wait_for_log("alert(1)")
    session, _ = log_in(gw)
    response, page = request(gw, "GET", "/log.htmcc?q=" + urllib.parse.quote("<script>alert(1)"), cookie=session)
    assert response.status == 200
    assert "&lt;script&gt;alert(1)" in page and "<script>alert" not in page


def test_every_page_renders_and_the_configuration_editor_saves(start_mta, start_gateway):
    gw = start_gui(start_mta, start_gateway)
    session, _ = log_in(gw)
    for target, expected in [("/greylist.htmcc", "<th>Triple</th>"), ("/alwl.htmcc", "White-list a pair"),
                             ("/quarantine.htmcc?q=ham", "Quarantine ham"), ("/bans.htmcc", "Ban an address"),
                             ("/log.htmcc", "<table class=\"log\">"),
                             ("/config.htmcc?s=READMIN", 'name="k_port"')]:
        response, page = request(gw, "GET", target, cookie=session)
        assert response.status == 200 and expected in page, (target, page[-400:])
    assert KEY not in page and "********" in page  # secrets stay masked
    _, page = request(gw, "GET", "/config.htmcc?s=FIREWALL", cookie=session)
    response, page = request(gw, "POST", "/config.htmcc",
                             {"s": "FIREWALL", "k_error_max": "42", "csrf": token_of(page)}, cookie=session)
    assert response.status == 200 and "1 value(s) changed" in page, page[-400:]
    assert 'name="k_error_max" type="number" value="42"' in page
    assert wait_until(lambda: "error_max=42" in (gw.workdir / "torvane.conf").read_text(encoding="latin-1"))
    assert "WEB Script Error" not in gw.log_text()


@pytest.fixture
def bayes_gui(start_mta, start_gateway, tmp_path):
    """A GUI gateway running the shipped policy with a trained Bayes filter, and its MTA."""
    from test_bayes import BAYES, trainer
    mta = start_mta()
    gui, web_port = gui_config()
    gateway = start_gateway(mta.port, shipped_policy(), merge(gui, BAYES), prepare=trainer(tmp_path))
    return add_gui(gateway, web_port), mta


def page_answer(gw, session, target, fields=None):
    """(status, page) of a GET, or of a POST of `fields` with the form's token."""
    if fields is not None:
        _, form = request(gw, "GET", target, cookie=session)
        fields = {**fields, "csrf": token_of(form)}
    response, page = request(gw, "GET" if fields is None else "POST", target, fields, cookie=session)
    return response.status, page


def test_quarantine_white_list_and_dashboard_pages_act(bayes_gui):
    from test_bayes import HAM_WORDS, SPAM_WORDS, message
    gw, mta = bayes_gui
    spam = message("special offer <i>x</i>", SPAM_WORDS, 7)
    deliver(gw, spam)
    deliver(gw, message("weekly meeting", HAM_WORDS, 8))
    mta.wait_for_messages(2)
    quarantined = list((gw.workdir / "quarantine" / "spam").glob("*.eml"))
    assert len(quarantined) == 1
    key = quarantined[0].stem
    # The day's counters reach the disk when the daemon stops; a restart shows them on the dashboard.
    gw.terminate()
    add_gui(gw.start(), gw.web_port)
    session, _ = log_in(gw)
    steps = [  # (target, form fields or None for a GET, what the page holds, what it must not)
        ("/quarantine.htmcc?q=spam", None, [key, "special offer &lt;i&gt;x&lt;/i&gt;"], ["<i>x"]),
        (f"/quarantine.htmcc?q=spam&show={key}", None, ['<pre class="message">', "&lt;i&gt;x"], ["<i>x"]),
        ("/quarantine.htmcc", {"q": "spam", "key": key, "action": "ham"}, ['class="note">Done.'], []),
        ("/quarantine.htmcc", {"q": "spam", "key": key, "action": "delete"}, ['class="note">Done.'], [key]),
        ("/quarantine.htmcc", {"q": "spam", "key": key, "action": "delete"}, ["no such message"], []),
        ("/alwl.htmcc", {"local": "me@gw.test", "remote": "pal@example.org"},
         ['class="note">Added.', "pal@example.org"], []),
    ]
    for target, fields, present, absent in steps:
        status, page = page_answer(gw, session, target, fields)
        assert status == 200, (target, fields)
        for text in present:
            assert text in page, (target, fields, text, page[-600:])
        for text in absent:
            assert text not in page, (target, fields, text)
    assert not quarantined[0].exists()
    _, page = page_answer(gw, session, "/index.htmcc")
    stats = json.loads(re.search(r'id="stats">(.*?)</script>', page).group(1))
    today = stats["days"][-1]
    assert today["messages"] == 2 and sum(stats["scores"]) == 2
    assert sum(stats["scores"][5:]) == 1  # the spam scored at least score_for_spam
    assert stats["liveConnections"] >= 0
    assert "WEB Script Error" not in gw.log_text()
