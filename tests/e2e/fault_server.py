#!/usr/bin/env python3
"""A loopback HTTP/1.1 server whose answers can be made to misbehave.

Every data URL has the form /<case>/<name>?size=N&<options>. The body of the
remote file is test_content.content(0, N). The first path segment names the
test case: the server counts the TCP connections and requests per case and
reports them at /__stats?case=<case>.

Options (all optional; each is one function of fault_behaviours.py):
  head=CODE       answer HEAD with CODE instead of 200 (no body)
  headhang=1      read HEAD requests and never answer them, the connection open
  nolength=1      leave Content-Length out of the HEAD answer
  ranges=VALUE    the Accept-Ranges value; "absent" leaves the header out (default bytes)
  lower=1         send every header name in lower case
  status=CODE     answer every request with CODE and a short body
  get_status=CODE answer every GET with CODE and a short body
  probe=star      answer the "bytes=0-0" GET with Content-Range "bytes 0-0/*"
  ignore_range=1  answer ranged GETs with 200 and the whole body
  chunked=1       send GET bodies with chunked transfer coding
  where=SPEC      which ranged GETs the faults below touch: all (default),
                  first0 (ranges from byte 0), notfirst0, or a first byte number
  delay=SECONDS   wait that long before answering the range
  fail=CODE       answer the range with CODE (200 sends the whole body, as the options below shape it)
  cut=N           close the connection after N body bytes
  stall=N         stop sending after N body bytes and keep the connection open, silent
  trickle=N       after N body bytes, send one byte every few seconds
  chunkcut=N      with chunked=1: stop after N body bytes, without the last chunk
  length=TEXT     name Content-Length: TEXT; a number ends the body there, the connection closed
  short=K         answer a range with K bytes fewer (consistent headers)
  long=K          answer a range with up to K bytes more (consistent headers)
  shift=K         answer a range with the bytes K further on, saying so in Content-Range
  badtotal=1      name a total one larger than the file in Content-Range
  redirect=CODE   answer with CODE (302, 307) and a Location on /<case>/moved/<name>
  rate=BYTES      send bodies at about BYTES per second
  hold=GATE       hold the first request of the case until /__release?gate=GATE
  versions=HOW    the file changes on the server, keeping its size: replace:K serves
                  version 1 to the case's first K requests and version 2 after them;
                  alternate serves version 1 on the case's odd-numbered connections
                  and version 2 on the even ones (test_content.version_content)
  validators=W    which validators name the version: both (the default with
                  versions=), etag, lastmod or none (the default without)
  runon=K         with chunked=1: a range answer names exactly the asked range in
                  Content-Range, but its body runs on with K bytes more

A held request, a silent connection and a trickle end after a minute at most,
and as soon as the server stops.

Control URLs: /__stats?case=ID, /__release?gate=G, /__quit.
"""

import argparse
import json
import os
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import test_content
from e2e_support import wait_until
from fault_behaviours import BEFORE, BEHAVIOURS, BODY, FAULT, GET, HEAD, HEADERS, RANGE, Reply

SOCKET_TIMEOUT_SECONDS = 30
SEND_PIECE = 64 * 1024


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.cases = {}
        self.gates = {}
        self.held = set()

    def case(self, name):
        entry = self.cases.get(name)
        if entry is None:
            entry = {"connections": [], "requests": 0, "heads": 0, "gets": 0, "ranges": []}
            self.cases[name] = entry
        return entry

    def record(self, name, connection_id, method, range_text):
        """Counts the request; returns (its number in the case, its connection's number), from 1."""
        with self.lock:
            entry = self.case(name)
            if connection_id not in entry["connections"]:
                entry["connections"].append(connection_id)
            entry["requests"] += 1
            if method == "HEAD":
                entry["heads"] += 1
            else:
                entry["gets"] += 1
            entry["ranges"].append(range_text or "")
            return entry["requests"], entry["connections"].index(connection_id) + 1

    def report(self, name):
        with self.lock:
            entry = self.case(name)
            return {
                "connections": len(entry["connections"]),
                "requests": entry["requests"],
                "heads": entry["heads"],
                "gets": entry["gets"],
                "ranges": list(entry["ranges"]),
            }

    def gate(self, name):
        with self.lock:
            event = self.gates.get(name)
            if event is None:
                event = threading.Event()
                self.gates[name] = event
            return event

    def first_hold(self, case_name, gate_name):
        with self.lock:
            key = (case_name, gate_name)
            if key in self.held:
                return False
            self.held.add(key)
            return True


CONNECTION_IDS = iter(range(1, 1 << 62))
CONNECTION_IDS_LOCK = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = SOCKET_TIMEOUT_SECONDS
    server_version = "fault-server"

    def setup(self):
        super().setup()
        with CONNECTION_IDS_LOCK:
            self.connection_id = next(CONNECTION_IDS)

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    # --- plumbing -------------------------------------------------------

    def write_head(self, code, reason, headers, lower):
        lines = ["HTTP/1.1 %d %s" % (code, reason)]
        for name, value in headers:
            lines.append("%s: %s" % (name.lower() if lower else name, value))
        self.wfile.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))

    def send_paced(self, data, limit, rate, frame):
        """Writes data up to limit in pieces, each as frame makes it, throttled to about rate bytes/s."""
        sent = 0
        started = time.monotonic()
        while sent < limit:
            piece = data[sent:min(limit, sent + SEND_PIECE)]
            self.wfile.write(frame(piece))
            sent += len(piece)
            if rate:
                ahead = sent / rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(min(ahead, 1.0))

    def send_body(self, reply, data):
        """Sends data, throttled to about reply.rate bytes/s, up to where the reply stops it short."""
        limit = len(data) if reply.limit is None else min(reply.limit, len(data))
        self.send_paced(data, limit, reply.rate, lambda piece: piece)
        self.wfile.flush()
        if limit < len(data):
            reply.tail(self, data[limit:])

    def send_chunked(self, reply, data):
        """Sends data as chunks; stopped short, without the last chunk."""
        limit = len(data) if reply.limit is None else min(reply.limit, len(data))
        self.send_paced(data, limit, reply.rate, lambda piece: b"%x\r\n" % len(piece) + piece + b"\r\n")
        if reply.limit is None:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()
        if reply.limit is not None:
            reply.tail(self, data[limit:])

    def cut_connection(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def simple(self, code, reason, text, lower=False, head_only=False):
        body = text.encode("utf-8")
        self.write_head(code, reason, [("Content-Type", "text/plain"), ("Content-Length", str(len(body)))], lower)
        if not head_only:
            self.wfile.write(body)
        self.wfile.flush()

    # --- requests -------------------------------------------------------

    def do_HEAD(self):
        self.serve("HEAD")

    def do_GET(self):
        self.serve("GET")

    def serve(self, method):
        parts = urlsplit(self.path)
        query = {key: values[-1] for key, values in parse_qs(parts.query).items()}
        if parts.path.startswith("/__"):
            self.control(parts.path, query)
            return
        segments = [s for s in parts.path.split("/") if s]
        if len(segments) < 2 or "size" not in query:
            self.simple(404, "Not Found", "no such file\n", head_only=(method == "HEAD"))
            return
        case_name = segments[0]
        moved = len(segments) >= 3 and segments[1] == "moved"
        range_text = self.headers.get("Range")
        self.ordinals = self.server.stats.record(case_name, self.connection_id, method, range_text)
        self.answer(Reply(method, case_name, segments, moved, query, range_text))

    def control(self, path, query):
        if path == "/__stats":
            self.simple(200, "OK", json.dumps(self.server.stats.report(query.get("case", ""))))
        elif path == "/__release":
            self.server.stats.gate(query.get("gate", "")).set()
            self.simple(200, "OK", "released\n")
        elif path == "/__quit":
            self.simple(200, "OK", "bye\n")
            threading.Thread(target=self.server.shutdown, daemon=True).start()
        else:
            self.simple(404, "Not Found", "unknown control\n")

    def behave(self, reply, step):
        """Lets the request's options of one step act, in the table's order; True once one has answered."""
        for name, (when, behaviour) in BEHAVIOURS.items():
            if when == step and name in reply.query and behaviour(self, reply, reply.query[name]):
                return True
        return False

    def answer(self, reply):
        size = reply.size
        if self.behave(reply, BEFORE):
            return
        self.behave(reply, HEADERS)
        reply.headers = [("Content-Type", "application/octet-stream")]
        if reply.accept_ranges != "absent":
            reply.headers.append(("Accept-Ranges", reply.accept_ranges))
        which = reply.validators if reply.validators is not None else ("both" if reply.version else "none")
        reply.headers += test_content.validators(reply.version, which)

        if reply.method == "HEAD":
            if not self.behave(reply, HEAD):
                length = [("Content-Length", str(size))] if reply.length_in_head else []
                self.write_head(200, "OK", reply.headers + length, reply.lower)
                self.wfile.flush()
            return

        if self.behave(reply, GET):
            return
        if reply.wanted is None:
            self.send_payload(reply, 200, "OK", reply.headers, 0, size, self.fault_applies(reply.where, 0))
            return

        first, last = reply.wanted
        if last is None or last >= size:
            last = size - 1
        if first >= size:
            self.write_head(416, "Range Not Satisfiable",
                            [("Content-Range", "bytes */%d" % size), ("Content-Length", "0")], reply.lower)
            self.wfile.flush()
            return
        reply.first, reply.last = first, last
        if self.behave(reply, RANGE):
            return
        touched = self.fault_applies(reply.where, first)
        if touched and self.behave(reply, FAULT):
            return
        headers = reply.headers + [("Content-Range", "bytes %d-%d/%d" % (reply.first, reply.last, reply.total))]
        self.send_payload(reply, 206, "Partial Content", headers, reply.first, reply.last - reply.first + 1, touched)

    def served_version(self, how):
        """1 or 2 for a file that changes (see versions= above); 0 for one that does not."""
        request_number, connection_number = self.ordinals
        if not how:
            return 0
        if how == "alternate":
            return 1 if connection_number % 2 == 1 else 2
        if how.startswith("replace:"):
            return 1 if request_number <= int(how[len("replace:"):]) else 2
        return 0

    @staticmethod
    def fault_applies(where, first):
        if where == "all":
            return True
        if where == "first0":
            return first == 0
        if where == "notfirst0":
            return first != 0
        return where.isdigit() and int(where) == first

    def send_payload(self, reply, code, reason, headers, offset, count, touched):
        """The answer with count bytes of the file from offset; where= touched it, with its body's faults."""
        if touched:
            self.behave(reply, BODY)
        data = test_content.version_content(reply.version, offset, count + reply.run_on)
        if reply.chunked:
            self.write_head(code, reason, headers + [("Transfer-Encoding", "chunked")], reply.lower)
            self.send_chunked(reply, data)
        else:
            length = str(count) if reply.length_text is None else reply.length_text
            self.write_head(code, reason, headers + [("Content-Length", length)], reply.lower)
            self.send_body(reply, data)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address, handler):
        super().__init__(address, handler)
        self.stats = Stats()
        # Set once the server stops: answers that wait or trickle end then.
        self.stopping = threading.Event()


def watchdog(server, parent_pid, seconds):
    """Stops the server when its parent has gone or its time is up."""
    wait_until(lambda: parent_pid and os.getppid() != parent_pid, seconds, 0.5)
    server.shutdown()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", help="write the chosen port here")
    parser.add_argument("--max-seconds", type=float, default=900.0)
    args = parser.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(port))
        os.replace(args.port_file + ".tmp", args.port_file)
    print("PORT %d" % port, flush=True)
    threading.Thread(target=watchdog, args=(server, os.getppid(), args.max_seconds), daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.stopping.set()
        server.server_close()


if __name__ == "__main__":
    main()
