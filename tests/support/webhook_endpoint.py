#!/usr/bin/env python3
"""An HTTP endpoint for the webhook tests, on 127.0.0.1 (standard library only).

    webhook_endpoint.py --port N --record FILE [--arrivals FILE]
                        [--control FILE] [--ready FILE]

Every POST it answers with 2xx appends one line to the record file: the
path, the Content-Type, the User-Agent, the Authorization header and the
body, separated by tabs. --arrivals gets each body as it arrives, before
any delay. The control file, read at each request, may hold the lines
"status N" (answer N; only a 2xx answer is recorded) and "delay S" (wait S
seconds before answering). The ready file is written once the port listens.
The test that starts it ends it with a signal.
"""
import argparse
import http.server
import os
import threading
import time

MAX_BODY = 1 << 20


def read_control(path):
    status, delay = 200, 0.0
    if path and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                words = line.split()
                if len(words) == 2 and words[0] == "status":
                    status = int(words[1])
                elif len(words) == 2 and words[0] == "delay":
                    delay = float(words[1])
    return status, delay


def append(path, text, lock):
    with lock, open(path, "a", encoding="utf-8") as f:
        f.write(text + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--arrivals")
    parser.add_argument("--control")
    parser.add_argument("--ready")
    args = parser.parse_args()
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            if length < 0 or length > MAX_BODY:
                self.send_error(413)
                return
            body = self.rfile.read(length).decode("utf-8", "replace")
            if args.arrivals:
                append(args.arrivals, body, lock)
            status, delay = read_control(args.control)
            if delay > 0:
                time.sleep(delay)
            if 200 <= status < 300:
                fields = [self.path] + [self.headers.get(h, "") for h in
                                        ("Content-Type", "User-Agent", "Authorization")]
                append(args.record, "\t".join(fields + [body]), lock)
            answer = b'{"ok":true}' if 200 <= status < 300 else b"no"
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *unused):
            pass

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        def handle_error(self, request, client_address):
            pass  # a client that gave up waiting for a slow answer

    server = Server(("127.0.0.1", args.port), Handler)
    if args.ready:
        with open(args.ready + ".tmp", "w", encoding="utf-8") as f:
            f.write(str(os.getpid()))
        os.rename(args.ready + ".tmp", args.ready)
    server.serve_forever()


if __name__ == "__main__":
    main()
