"""What fault_server.py's options do: one function per option, found by its
name in BEHAVIOURS, each acting in one step of the answer (see Handler.answer
there). A behaviour takes the handler, the reply being shaped and the option's
value, and returns True when it has answered the request itself.
"""

import time

# How long a held request, a silent answer or a trickle lasts at most.
GATE_WAIT_SECONDS = 60
SILENT_SECONDS = 60
TRICKLE_SECONDS = 3


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


class Reply:
    """What the answer to one data request is to be, as its options shape it."""

    def __init__(self, method, case_name, segments, moved, query, range_text):
        self.method = method
        self.case_name = case_name
        self.segments = segments
        self.moved = moved
        self.query = query
        self.size = int(query["size"])
        self.wanted = parse_range(range_text)
        self.lower = False
        self.rate = None
        self.accept_ranges = "bytes"
        self.version = 0
        self.validators = None
        self.headers = []
        self.length_in_head = True
        self.chunked = False
        self.where = "all"
        # The range a ranged GET is answered with, and the total it names.
        self.first = self.last = 0
        self.total = self.size
        # Where the body stops short and what the connection does then.
        self.limit = None
        self.tail = None
        self.run_on = 0
        # The Content-Length a body's answer names instead of its own, as length= sets it.
        self.length_text = None

    def stop_after(self, count, tail):
        """The body stops after count bytes and tail(handler, rest) follows; the earliest stop wins."""
        if self.limit is None or count < self.limit:
            self.limit, self.tail = count, tail


def lower(handler, reply, value):
    reply.lower = value == "1"


def hold(handler, reply, value):
    if value and handler.server.stats.first_hold(reply.case_name, value):
        handler.server.stats.gate(value).wait(GATE_WAIT_SECONDS)


def redirect(handler, reply, value):
    if reply.moved:
        return False
    code = int(value)
    rest = "&".join("%s=%s" % (k, v) for k, v in reply.query.items() if k not in ("redirect", "hold"))
    host, port = handler.server.server_address[:2]
    location = "http://%s:%d/%s/moved/%s?%s" % (host, port, reply.case_name, "/".join(reply.segments[1:]), rest)
    reason = {301: "Moved Permanently", 302: "Found", 307: "Temporary Redirect"}.get(code, "Redirect")
    handler.write_head(code, reason, [("Location", location), ("Content-Length", "0")], reply.lower)
    handler.wfile.flush()
    return True


def status(handler, reply, value):
    handler.simple(int(value), "Refused", "refused\n", reply.lower, reply.method == "HEAD")
    return True


def rate(handler, reply, value):
    reply.rate = int(value) or None


def ranges(handler, reply, value):
    reply.accept_ranges = value


def versions(handler, reply, value):
    reply.version = handler.served_version(value)


def validators(handler, reply, value):
    reply.validators = value


def headhang(handler, reply, value):
    """The HEAD request was read; the answer never comes while the connection stays open (bounded)."""
    if value != "1":
        return False
    handler.server.stopping.wait(SILENT_SECONDS)
    handler.close_connection = True
    return True


def head(handler, reply, value):
    if int(value) == 200:
        return False
    handler.simple(int(value), "Refused", "", reply.lower, head_only=True)
    return True


def nolength(handler, reply, value):
    reply.length_in_head = value != "1"


def get_status(handler, reply, value):
    handler.simple(int(value), "Refused", "refused\n", reply.lower)
    return True


def chunked(handler, reply, value):
    reply.chunked = value == "1"


def ignore_range(handler, reply, value):
    if value == "1":
        reply.wanted = None


def where(handler, reply, value):
    reply.where = value


def probe(handler, reply, value):
    if value != "star" or (reply.first, reply.last) != (0, 0):
        return False
    handler.send_payload(reply, 206, "Partial Content", reply.headers + [("Content-Range", "bytes 0-0/*")], 0, 1,
                         touched=False)
    return True


def delay(handler, reply, value):
    handler.server.stopping.wait(float(value))


def fail(handler, reply, value):
    code = int(value)
    if code == 200:
        handler.send_payload(reply, 200, "OK", reply.headers, 0, reply.size, touched=True)
    else:
        handler.simple(code, "Refused", "refused\n", reply.lower)
    return True


def badtotal(handler, reply, value):
    if value == "1":
        reply.total = reply.size + 1


def short(handler, reply, value):
    reply.last = max(reply.first, reply.last - int(value))


def long(handler, reply, value):  # noqa: A001 - the option's name
    reply.last = min(reply.size - 1, reply.last + int(value))


def shift(handler, reply, value):
    reply.first = min(reply.size - 1, reply.first + int(value))
    reply.last = min(reply.size - 1, reply.last + int(value))


def cut(handler, reply, value):
    reply.stop_after(int(value), lambda h, rest: h.cut_connection())


def stall(handler, reply, value):
    if not reply.chunked:
        reply.stop_after(int(value), stall_tail)


def stall_tail(handler, rest):
    """Silent with the connection open until the server stops or SILENT_SECONDS have passed."""
    handler.server.stopping.wait(SILENT_SECONDS)
    handler.close_connection = True


def trickle(handler, reply, value):
    if not reply.chunked:
        reply.stop_after(int(value), trickle_tail)


def trickle_tail(handler, rest):
    """One byte every TRICKLE_SECONDS until the server stops or SILENT_SECONDS have passed."""
    deadline = time.monotonic() + SILENT_SECONDS
    try:
        for byte in rest:
            if handler.server.stopping.wait(TRICKLE_SECONDS) or time.monotonic() > deadline:
                break
            handler.wfile.write(bytes((byte,)))
            handler.wfile.flush()
    except OSError:
        pass
    handler.close_connection = True


def chunkcut(handler, reply, value):
    if reply.chunked:
        reply.stop_after(int(value), lambda h, rest: h.cut_connection())


def length(handler, reply, value):
    """The answer names Content-Length: value, and a number ends the body there; the connection closes after it."""
    reply.length_text = value
    handler.close_connection = True
    if value.isdigit():
        reply.stop_after(int(value), lambda h, rest: h.cut_connection())


def runon(handler, reply, value):
    reply.run_on = int(value) if reply.chunked else 0


# Every option by name: the step of the answer it acts in, and its behaviour.
# Within a step they act in this order.
BEFORE, HEADERS, HEAD, GET, RANGE, FAULT, BODY = "before", "headers", "head", "get", "range", "fault", "body"
BEHAVIOURS = {
    "lower": (BEFORE, lower),
    "hold": (BEFORE, hold),
    "redirect": (BEFORE, redirect),
    "status": (BEFORE, status),
    "rate": (HEADERS, rate),
    "ranges": (HEADERS, ranges),
    "versions": (HEADERS, versions),
    "validators": (HEADERS, validators),
    "headhang": (HEAD, headhang),
    "head": (HEAD, head),
    "nolength": (HEAD, nolength),
    "get_status": (GET, get_status),
    "chunked": (GET, chunked),
    "ignore_range": (GET, ignore_range),
    "where": (GET, where),
    # A ranged GET within the file:
    "probe": (RANGE, probe),
    # ... whose range where= names:
    "delay": (FAULT, delay),
    "fail": (FAULT, fail),
    "badtotal": (FAULT, badtotal),
    "short": (FAULT, short),
    "long": (FAULT, long),
    "shift": (FAULT, shift),
    # The body of an answer that where= names:
    "cut": (BODY, cut),
    "stall": (BODY, stall),
    "trickle": (BODY, trickle),
    "chunkcut": (BODY, chunkcut),
    "length": (BODY, length),
    "runon": (BODY, runon),
}
