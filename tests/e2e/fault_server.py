#!/usr/bin/env python3
"""A loopback HTTP/1.1 server whose answers can be made to misbehave.

Every data URL has the form /<case>/<name>?size=N&<options>. The body of the
remote file is test_content.content(0, N). The first path segment names the
test case: the server counts the TCP connections and requests per case and
reports them at /__stats?case=<case>.

Options (all optional):
  head=CODE       answer HEAD with CODE instead of 200 (no body)
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
  fail=CODE       answer the range with CODE (200 sends the whole body)
  cut=N           close the connection after N body bytes
  stall=N         stop sending after N body bytes and keep the connection open, silent
  chunkcut=N      with chunked=1: stop after N body bytes, without the last chunk
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

GATE_WAIT_SECONDS = 60
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


STATS = Stats()
CONNECTION_IDS = iter(range(1, 1 << 62))
CONNECTION_IDS_LOCK = threading.Lock()


def parse_range(text):
    """Returns (first, last or None) for a single "bytes=a-b" range, else None."""
    if not text or not text.startswith("bytes="):
        return None
    bounds = text[len("bytes="):].strip()
    if "," in bounds or "-" not in bounds:
        return None
    first_text, last_text = bounds.split("-", 1)
    if not first_text.isdigit():
        return None
    first = int(first_text)
    last = int(last_text) if last_text.isdigit() else None
    return first, last


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

    def send_body(self, data, rate, cut, stall=None):
        """Sends data, throttled to about rate bytes/s; cut closes the connection after that many bytes,
        stall falls silent after that many bytes until the gate wait runs out."""
        limit = len(data) if cut is None else min(cut, len(data))
        if stall is not None:
            limit = min(stall, limit)
        self.send_paced(data, limit, rate, lambda piece: piece)
        self.wfile.flush()
        if stall is not None and stall < len(data):
            time.sleep(GATE_WAIT_SECONDS)
            self.close_connection = True
        if cut is not None and cut < len(data):
            self.cut_connection()

    def send_chunked(self, data, rate, cut):
        """Sends data as chunks; with cut, stops after that many bytes without the last chunk."""
        limit = len(data) if cut is None else min(cut, len(data))
        self.send_paced(data, limit, rate, lambda piece: b"%x\r\n" % len(piece) + piece + b"\r\n")
        if cut is None:
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        else:
            self.wfile.flush()
            self.cut_connection()

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
        self.ordinals = STATS.record(case_name, self.connection_id, method, range_text)
        self.answer(method, case_name, segments, moved, query, range_text)

    def control(self, path, query):
        if path == "/__stats":
            self.simple(200, "OK", json.dumps(STATS.report(query.get("case", ""))))
        elif path == "/__release":
            STATS.gate(query.get("gate", "")).set()
            self.simple(200, "OK", "released\n")
        elif path == "/__quit":
            self.simple(200, "OK", "bye\n")
            threading.Thread(target=self.server.shutdown, daemon=True).start()
        else:
            self.simple(404, "Not Found", "unknown control\n")

    def answer(self, method, case_name, segments, moved, query, range_text):
        size = int(query["size"])
        lower = query.get("lower") == "1"
        rate = int(query.get("rate", "0")) or None
        head_only = method == "HEAD"

        gate = query.get("hold")
        if gate and STATS.first_hold(case_name, gate):
            STATS.gate(gate).wait(GATE_WAIT_SECONDS)

        if "redirect" in query and not moved:
            code = int(query["redirect"])
            rest = "&".join("%s=%s" % (k, v) for k, v in query.items() if k not in ("redirect", "hold"))
            location = "http://%s:%d/%s/moved/%s?%s" % (
                self.server.server_address[0], self.server.server_address[1],
                case_name, "/".join(segments[1:]), rest)
            reason = {301: "Moved Permanently", 302: "Found", 307: "Temporary Redirect"}.get(code, "Redirect")
            self.write_head(code, reason, [("Location", location), ("Content-Length", "0")], lower)
            self.wfile.flush()
            return

        if "status" in query:
            code = int(query["status"])
            self.simple(code, "Refused", "refused\n", lower, head_only)
            return

        accept_ranges = query.get("ranges", "bytes")
        common = [("Content-Type", "application/octet-stream")]
        if accept_ranges != "absent":
            common.append(("Accept-Ranges", accept_ranges))
        self.version = self.served_version(query.get("versions"))
        common += test_content.validators(self.version, query.get("validators", "both" if self.version else "none"))

        if head_only:
            head_code = int(query.get("head", "200"))
            if head_code != 200:
                self.simple(head_code, "Refused", "", lower, head_only=True)
                return
            headers = list(common)
            if query.get("nolength") != "1":
                headers.append(("Content-Length", str(size)))
            self.write_head(200, "OK", headers, lower)
            self.wfile.flush()
            return

        if "get_status" in query:
            self.simple(int(query["get_status"]), "Refused", "refused\n", lower)
            return

        chunked = query.get("chunked") == "1"
        wanted = parse_range(range_text)
        if wanted is None or query.get("ignore_range") == "1":
            touched = self.fault_applies(query.get("where", "all"), 0)
            cut = int(query["cut"]) if touched and "cut" in query else None
            self.send_payload(200, "OK", common, 0, size, cut, chunked, query, rate, lower, touched)
            return

        first, last = wanted
        if last is None or last >= size:
            last = size - 1
        if first >= size:
            self.write_head(416, "Range Not Satisfiable",
                            [("Content-Range", "bytes */%d" % size), ("Content-Length", "0")], lower)
            self.wfile.flush()
            return

        if query.get("probe") == "star" and (first, last) == (0, 0):
            headers = common + [("Content-Range", "bytes 0-0/*")]
            self.send_payload(206, "Partial Content", headers, 0, 1, None, chunked, query, rate, lower, False)
            return

        touched = self.fault_applies(query.get("where", "all"), first)
        if touched and "fail" in query:
            code = int(query["fail"])
            if code == 200:
                self.send_payload(200, "OK", common, 0, size, None, chunked, query, rate, lower, False)
            else:
                self.simple(code, "Refused", "refused\n", lower)
            return
        total_named = size + 1 if touched and query.get("badtotal") == "1" else size
        send_first, send_last = first, last
        if touched:
            if "short" in query:
                send_last = max(send_first, send_last - int(query["short"]))
            if "long" in query:
                send_last = min(size - 1, send_last + int(query["long"]))
            if "shift" in query:
                k = int(query["shift"])
                send_first = min(size - 1, send_first + k)
                send_last = min(size - 1, send_last + k)
        cut = int(query["cut"]) if touched and "cut" in query else None
        headers = common + [("Content-Range", "bytes %d-%d/%d" % (send_first, send_last, total_named))]
        self.send_payload(206, "Partial Content", headers, send_first, send_last - send_first + 1,
                          cut, chunked, query, rate, lower, touched)

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

    def send_payload(self, code, reason, headers, offset, count, cut, chunked, query, rate, lower, touched):
        run_on = int(query["runon"]) if touched and chunked and "runon" in query else 0
        data = test_content.version_content(self.version, offset, count + run_on)
        chunk_cut = int(query["chunkcut"]) if touched and "chunkcut" in query else None
        if chunked:
            self.write_head(code, reason, headers + [("Transfer-Encoding", "chunked")], lower)
            self.send_chunked(data, rate, chunk_cut if chunk_cut is not None else cut)
        else:
            self.write_head(code, reason, headers + [("Content-Length", str(count))], lower)
            stall = int(query["stall"]) if touched and "stall" in query else None
            self.send_body(data, rate, cut, stall)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128


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
        server.server_close()


if __name__ == "__main__":
    main()
