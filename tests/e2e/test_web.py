"""The daemon's web server: confinement to the document root, status lines, pipelining and page scripts."""
import http.client
import os
import socket
import threading
import time

import pytest

from conftest import wait_until
from smtp_peers import free_port, listening

CANARY = "CANARY-outside-the-root"
INCLUDE_SECRET = "INCLUDE-SECRET"
PAGE_SOURCE_MARK = "PAGE-SOURCE-MARK"

PAGES = {
    "index.htmcc": 'CS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\n'
                   '// ' + PAGE_SOURCE_MARK + '\n'
                   'int html() { cs.echo("q=" + cs.HtmlEscape(cs.CGI_GET_VAR("q"))); return 1; }\n',
    "post.htmcc": 'CS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\n'
                  'int html() { cs.echo("f=" + cs.HtmlEscape(cs.CGI_POST_VAR("f"))); return 1; }\n',
    "broken.htmcc": 'CS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\n'
                    'int html() { cs.echo("x") <script>alert(1)</script> }\n',
    "loop.htmcc": 'int html() { int i = 0; while (1) { i = i + 1; } return 1; }\n',
    "inc.htmcc": 'CS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\n'
                 'int html() { cs.includeHTML("/part.htmch", 1); cs.includeHTML("/../canary.txt", 1); return 1; }\n',
    "part.htmch": INCLUDE_SECRET,
    "hits.htmcc": 'CS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\nint hits = 0;\n'
                  'int html() { hits = hits + 1; cs.echo("hits=" + cs.IntToChar(hits)); return 1; }\n',
    "ver.htmcc": '#include "ver.htmch"\nCS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\n'
                 'int html() { cs.echo("v=" + version); return 1; }\n',
    "ver.htmch": 'string version = "one";\n',
    "a.txt": "static text",
}


@pytest.fixture
def web(start_mta, start_gateway):
    port = free_port()
    gw = start_gateway(start_mta().port, config={"WEBGUI": {
        "listen": "127.0.0.1", "port": str(port), "num_server": "2", "maxconn": "8",
        "request_timeout": "2", "max_script_time": "2", "max_post": "1000", "time_keep_alive": "5"}})
    root = gw.workdir / "www"
    root.mkdir(exist_ok=True)
    for name, text in PAGES.items():
        (root / name).write_text(text)
    (gw.workdir / "canary.txt").write_text(CANARY)
    os.symlink(gw.workdir / "canary.txt", root / "link.txt")
    assert wait_until(lambda: listening("127.0.0.1", port))
    gw.web_port = port
    return gw


def raw(gw, data, timeout=10):
    """Sends raw bytes; everything the server answers until it closes."""
    with socket.create_connection(("127.0.0.1", gw.web_port), timeout=timeout) as sock:
        sock.sendall(data)
        answer = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return answer
            answer += chunk


def get(gw, target, headers=None, method="GET", body=None):
    conn = http.client.HTTPConnection("127.0.0.1", gw.web_port, timeout=10)
    conn.request(method, target, body=body, headers=headers or {})
    response = conn.getresponse()
    data = response.read()
    conn.close()
    return response, data


# One target per way out; other spellings: http_request_test, web_server_test, the web_path fuzz corpus.
def test_nothing_outside_the_root_nor_any_source_is_served(web):
    targets = ["/../canary.txt", "/%2e%2e/canary.txt", "/link.txt", "/part.htmch", "/part.HTMCH", "/index.htmcc%00.txt"]
    for target in targets:
        answer = raw(web, f"GET {target} HTTP/1.0\r\n\r\n".encode())
        assert answer.startswith(b"HTTP/1.0 "), target
        assert CANARY.encode() not in answer, target
        assert INCLUDE_SECRET.encode() not in answer, target
        assert PAGE_SOURCE_MARK.encode() not in answer, target
    response, data = get(web, "/inc.htmcc")  # includes are confined as well
    assert response.status == 200 and INCLUDE_SECRET.encode() in data and CANARY.encode() not in data


def test_status_lines_and_bounds(web):
    response, data = get(web, "/a.txt")
    assert (response.status, data) == (200, b"static text")  # the header's bytes: web_server_test
    response, data = get(web, "/missing.txt")
    assert response.status == 404 and b"Not found" in data
    # A refusal and the configured "max_post" reach the client (every kind: http_request_test).
    cases = [
        (b"HEAD / HTTP/1.0\r\n\r\n", b"HTTP/1.0 501 "),
        (b"POST /post.htmcc HTTP/1.0\r\nContent-Length: 1001\r\n\r\n", b"HTTP/1.0 413 "),
    ]
    for request, status in cases:
        answer = raw(web, request)
        assert answer.startswith(status), (request[:40], answer[:80])


def test_trickling_client_is_closed_at_its_deadline_while_others_are_served(web):
    with socket.create_connection(("127.0.0.1", web.web_port), timeout=10) as slow:
        started = time.monotonic()
        closed = None
        request = b"POST /post.htmcc HTTP/1.0\r\nContent-Length: 500\r\n\r\n" + b"f=" + b"x" * 498
        for i, byte in enumerate(request):
            try:
                slow.sendall(bytes([byte]))
            except OSError:
                closed = time.monotonic()
                break
            if i % 20 == 0:
                response, data = get(web, "/a.txt")  # another client is served meanwhile
                assert data == b"static text"
            slow.settimeout(0.05)
            try:
                if slow.recv(4096) == b"":
                    closed = time.monotonic()
                    break
            except socket.timeout:
                pass
            if time.monotonic() - started > 8:
                break
        assert closed is not None and closed - started > 1.5  # not before its deadline


# Each request's own fields: http_request_test; here, the answers' order.
def test_pipelined_requests_are_answered_in_order(web):
    pipelined = b"".join(f"GET /?q={q} HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n".encode() for q in "abc")
    body = b"f=posted"
    pipelined += b"POST /post.htmcc HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    pipelined += b"Content-Length: %d\r\n\r\n" % len(body) + body
    answer = raw(web, pipelined)
    bodies = [part.split(b"\r\n\r\n", 1)[1] for part in answer.split(b"HTTP/1.0 200 OK")[1:]]
    assert bodies == [b"q=a", b"q=b", b"q=c", b"f=posted"]


def test_page_errors_are_escaped_and_a_runaway_page_is_stopped(web):
    response, data = get(web, "/broken.htmcc")
    assert response.status == 500
    assert b"<script>" not in data and b"Internal Server Error" in data
    result = {}

    def run_loop():
        result["loop"] = get(web, "/loop.htmcc")
    runner = threading.Thread(target=run_loop)
    started = time.monotonic()
    runner.start()
    served = 0
    while runner.is_alive() and time.monotonic() - started < 10:
        response, data = get(web, "/a.txt")
        served += data == b"static text"
        time.sleep(0.1)
    runner.join(10)
    assert result["loop"][0].status == 500
    assert time.monotonic() - started > 1.5  # stopped at its time limit, not before
    assert served >= 3
    assert web.wait_for_log("WEB Script Error")


def test_kept_pages_start_afresh_and_follow_their_files(web):
    for _ in range(3):  # nothing a request left in a page's globals reaches the next
        assert get(web, "/hits.htmcc")[1] == b"hits=1"
    assert get(web, "/ver.htmcc")[1] == b"v=one"
    edits = [("ver.htmch", 'string version = "include edited";\n', b"v=include edited"),
             ("ver.htmcc", '#include "ver.htmch"\nCS_WEB_SCRIPT cs = new CS_WEB_SCRIPT($_this);\n'
                           'int html() { cs.echo("page edited " + version); return 1; }\n',
              b"page edited include edited")]
    for name, text, expected in edits:
        (web.workdir / "www" / name).write_text(text)
        assert get(web, "/ver.htmcc")[1] == expected, name

