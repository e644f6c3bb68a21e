#!/usr/bin/env python3
"""An HTTPS server for the updater's tests.

Serves the files under ROOT with the certificate CERT (key KEY) on 127.0.0.1 at a port the
system picks, and prints that port on the first line of its output. A few paths misbehave on
purpose:
  /endless          200 without a length, then bytes until the client hangs up
  /huge             200 declaring 10 GB, then bytes until the client hangs up
  /stall            200 with its headers, then nothing for a minute
  /trickle          200, then a byte every 0.2 s for a minute
  /loop/N           a redirect to /loop/N+1, for ever
  /moved/PATH       a redirect to /PATH
  /to-http/PATH     a redirect to the same server's PATH over plain http
Every request is logged, one line each, to standard error: "GET <path>".
"""
import http.server
import ssl
import sys
import time

ROOT, CERT, KEY = sys.argv[1:4]
CHUNK = b"x" * 65536


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=ROOT, **kwargs)

    def log_message(self, format, *args):
        pass

    def start(self, length=None, status=200, location=None):
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        if length is not None:
            self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        self.end_headers()

    def do_GET(self):
        sys.stderr.write("GET %s\n" % self.path)
        sys.stderr.flush()
        path = self.path
        try:
            if path in ("/endless", "/huge"):
                self.start(None if path == "/endless" else 10 ** 10)
                while True:
                    self.wfile.write(CHUNK)
            elif path == "/stall":
                self.start(10)
                self.wfile.flush()
                time.sleep(60)
            elif path == "/trickle":
                self.start(1000)
                for _ in range(300):
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(0.2)
            elif path.startswith("/loop/"):
                self.start(0, 302, "/loop/%d" % (int(path[6:]) + 1))
            elif path.startswith("/moved/"):
                self.start(0, 302, path[6:])
            elif path.startswith("/to-http/"):
                host, port = self.server.server_address[:2]
                self.start(0, 302, "http://%s:%d/%s" % (host, port, path[9:]))
            else:
                super().do_GET()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    # The handshake happens on the request's own thread: a client that never finishes it
    # holds up nobody else.
    def get_request(self):
        sock, address = self.socket.accept()
        return context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def finish_request(self, request, client_address):
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
