#!/usr/bin/env python3
"""The benchmark's HTTP servers: nginx from Debian with a generated
configuration, a python3 server standing in when nginx is missing, the slow
server that holds a manifest back, and a port that drops every connection
silently (Python 3 standard library only).

Run as a script it is one of the python3 servers:
  servers.py --serve PORT WWW ACCESS_LOG     static files below WWW
  servers.py --slow PORT FOLDER DELAY        answers after DELAY seconds
"""

import email.utils
import http.server
import itertools
import os
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time
from pathlib import Path

SLOW_PORT = 4445


def wait_for_port(port, process, timeout=10.0):
    """Waits until something accepts on 127.0.0.1:port.

    Exits the benchmark when process ends first or nothing listens in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit(f"the server on port {port} did not start (exit {process.returncode})")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"nothing listens on port {port}")


class BlackHole:
    """A port on 127.0.0.1 where no connection ever completes, as behind a firewall that
    drops packets: a listening socket with a backlog of 0 that is never accepted, the one
    place of its accept queue taken by a connection of its own. Linux then drops every
    further SYN without an answer (neither a SYN-ACK nor a reset), so a client waits
    until its own time-out. Used as a context manager."""

    def __init__(self, port):
        self.port = port
        self.listener = None
        self.filler = None

    def __enter__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(0)
        # Completed by the kernel, never accepted: the queue is full from now on.
        self.filler = socket.create_connection(("127.0.0.1", self.port), timeout=2)
        return self

    def __exit__(self, *_):
        self.filler.close()
        self.listener.close()


class Nginx:
    """nginx from Debian on 127.0.0.1:port with a configuration below work/nginx."""

    def __init__(self, work, www, port):
        self.dir = work / "nginx"
        self.www = www
        self.port = port
        self.access_log = self.dir / "logs" / "access.log"
        self.process = None

    def start(self):
        """Writes the configuration and starts nginx. Exits the benchmark when it does not start."""
        for sub in ("logs", "temp"):
            (self.dir / sub).mkdir(parents=True, exist_ok=True)
        temp = self.dir / "temp"
        user = "user root root;" if os.geteuid() == 0 else ""
        conf = f"""
{user}
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/logs/error.log warn;
events {{ worker_connections 512; }}
http {{
    default_type application/octet-stream;
    log_format bench '$connection $connection_requests $status $body_bytes_sent "$request" $bytes_sent';
    access_log {self.access_log} bench;
    client_body_temp_path {temp}/client_body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 65s;
    keepalive_requests 1000000;
    gzip off;
    server {{
        listen 127.0.0.1:{self.port};
        root {self.www};
        # A case without a manifest in its folder gets it from the slow server,
        # which holds the answer back (the idle-wait case).
        location = /Quelmor/info.ini {{
            try_files $uri @slow;
        }}
        location @slow {{
            proxy_pass http://127.0.0.1:{SLOW_PORT};
            proxy_read_timeout 300s;
        }}
    }}
}}
"""
        conf_file = self.dir / "nginx.conf"
        conf_file.write_text(conf)
        self.process = subprocess.Popen(
            ["nginx", "-p", str(self.dir), "-c", str(conf_file), "-e",
             str(self.dir / "logs" / "error.log"), "-g", "daemon off;"],
            stdin=subprocess.DEVNULL)
        wait_for_port(self.port, self.process)

    def stop(self):
        """Ends nginx gracefully, or kills it after 10 s."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class FallbackServer:
    """Used only when nginx is missing: this script in --serve mode on 127.0.0.1:port."""

    def __init__(self, work, www, port):
        self.www = www
        self.port = port
        self.access_log = work / "fallback-access.log"
        self.process = None

    def start(self):
        """Starts the server. Exits the benchmark when it does not start."""
        self.access_log.touch()
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", str(self.port), str(self.www),
             str(self.access_log)], stdin=subprocess.DEVNULL)
        wait_for_port(self.port, self.process)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait()


def serve_slow(port, folder, delay):
    """Answers any GET with the file of that name from folder after delay seconds. Never returns."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            time.sleep(delay)
            target = Path(folder) / Path(self.path.split("?")[0]).name
            if not target.is_file():
                self.send_error(404)
                return
            body = target.read_bytes()
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()


def serve_fallback(port, www, access_log):
    """Static files below www with keep-alive, a validator and "Range: bytes=N-" (with If-Range).

    A missing Quelmor/info.ini is fetched from the slow server. Logs like nginx. Never returns."""
    counter = itertools.count(1)
    lock = threading.Lock()
    log_file = open(access_log, "a", buffering=1)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def setup(self):
            super().setup()
            # Headers and body go out in separate writes: without this, each
            # answer would wait for the client's delayed acknowledgement.
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.connection_id = next(counter)

        def do_GET(self):
            path = "/" + "/".join(p for p in self.path.split("?")[0].split("/") if p)
            target = Path(www) / path.lstrip("/")
            sent = 0
            if path == "/Quelmor/info.ini" and not target.is_file():
                with socket.create_connection(("127.0.0.1", SLOW_PORT)) as upstream:
                    upstream.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
                    answer = b"".join(iter(lambda: upstream.recv(65536), b""))
                head, _, body = answer.partition(b"\r\n\r\n")
                status = int(head.split()[1])
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                sent = len(body)
            elif target.is_file():
                info = target.stat()
                etag = f'"{info.st_mtime_ns:x}-{info.st_size:x}"'
                modified = email.utils.formatdate(info.st_mtime, usegmt=True)
                first = self.range_start((etag, modified), info.st_size)
                status = 206 if first else 200
                self.send_response(status)
                self.send_header("ETag", etag)
                self.send_header("Last-Modified", modified)
                self.send_header("Content-Length", str(info.st_size - first))
                if first:
                    self.send_header("Content-Range",
                                     f"bytes {first}-{info.st_size - 1}/{info.st_size}")
                self.end_headers()
                with open(target, "rb") as source:
                    self.wfile.flush()
                    sent = self.connection.sendfile(source, first) if info.st_size > first else 0
            else:
                status = 404
                self.send_error(404)
            with lock:
                log_file.write(f'{self.connection_id} 0 {status} {sent} "GET {self.path} HTTP/1.1"\n')

        def range_start(self, validators, size):
            """The first byte asked for by "Range: bytes=N-" when it applies, else 0.

            It applies when an If-Range names one of the file's validators or is absent."""
            wanted = self.headers.get("Range", "")
            condition = self.headers.get("If-Range")
            if not wanted.startswith("bytes=") or not wanted.endswith("-"):
                return 0
            if condition is not None and condition not in validators:
                return 0
            try:
                first = int(wanted[6:-1])
            except ValueError:
                return 0
            return first if 0 < first < size else 0

        def log_message(self, *args):
            pass

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True

    Server(("127.0.0.1", port), Handler).serve_forever()


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        serve_fallback(int(sys.argv[2]), sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 5 and sys.argv[1] == "--slow":
        serve_slow(int(sys.argv[2]), sys.argv[3], float(sys.argv[4]))
    else:
        sys.exit(__doc__)
