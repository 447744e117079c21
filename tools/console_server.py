#!/usr/bin/python3
"""Serves the feed console (tools/feed-console.html) from 127.0.0.1, the
origin the program trusts like a local program, and prints its address.
Nothing else is served. Ctrl+C or SIGTERM ends it.

    /usr/bin/python3 tools/console_server.py [--port N]

--port 0 takes any free port; the default, 8903, falls back to any free
port when it is taken.
"""

import argparse
import http.server
import signal
import sys
from pathlib import Path

PAGE = Path(__file__).resolve().parent / "feed-console.html"
HOST = "127.0.0.1"
PORT = 8903


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.split("?")[0] not in ("/", "/" + PAGE.name):
            self.send_error(404)
            return
        body = PAGE.read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def listen(port):
    try:
        return http.server.ThreadingHTTPServer((HOST, port), Handler)
    except OSError:
        if port == 0:
            raise
        return http.server.ThreadingHTTPServer((HOST, 0), Handler)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=PORT, help="default %d" % PORT)
    args = parser.parse_args()
    server = listen(args.port)
    # A background process of a shell script has SIGINT ignored: the scripts
    # end this one with SIGTERM.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("feed console: http://%s:%d/" % (HOST, server.server_address[1]), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
