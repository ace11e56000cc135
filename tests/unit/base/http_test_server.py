#!/usr/bin/python3
"""Test web server on 127.0.0.1 answering as the path says (ANSWERS, /slow, /silent, /file/NAME from DIR),
broken answers included. Usage: http_test_server.py --state DIR; it writes DIR/ready (the port) once
listening and DIR/request (the last request), and stops when its parent goes or after --lifetime seconds.
"""

import argparse
import os
import socket
import threading
import time

ANSWERS = {
    "/ok": b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello",
    "/close": b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nclosed-body",
    "/404": b"HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
    "/302": b"HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1/ok\r\nContent-Length: 0\r\n\r\n",
    "/noend": b"HTTP/1.0 200 OK\r\nX-Half: header",
    "/cut": b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly-ten..",
    "/chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;x=1\r\n world\r\n0\r\n\r\n",
    "/badchunk": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
    "/big": b"HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n" + b"x" * 200000,
}


def read_request(conn):
    data = b""
    conn.settimeout(5)
    while b"\r\n\r\n" not in data and len(data) < 65536:
        piece = conn.recv(4096)
        if not piece:
            break
        data += piece
    return data


def serve(conn, state):
    try:
        request = read_request(conn)
        with open(os.path.join(state, "request.tmp"), "wb") as f:
            f.write(request)
        os.replace(os.path.join(state, "request.tmp"), os.path.join(state, "request"))
        words = request.split(b" ")
        path = words[1].decode("latin-1") if len(words) > 1 else ""
        if path == "/silent":
            time.sleep(30)
        elif path == "/slow":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n")
            for _ in range(100):
                conn.sendall(b"s")
                time.sleep(1)
        elif path.startswith("/file/"):
            name = os.path.basename(path[len("/file/"):])
            with open(os.path.join(state, name), "rb") as f:
                body = f.read()
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        else:
            conn.sendall(ANSWERS.get(path, ANSWERS["/404"]))
    except OSError:
        pass  # the client gave up: that is what some tests want
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--state", required=True)
    parser.add_argument("--lifetime", type=float, default=300)
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.5)
    with open(os.path.join(args.state, "ready.tmp"), "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(os.path.join(args.state, "ready.tmp"), os.path.join(args.state, "ready"))
    parent = os.getppid()
    end = time.monotonic() + args.lifetime
    while time.monotonic() < end and os.getppid() == parent:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn, args.state), daemon=True).start()


if __name__ == "__main__":
    main()
