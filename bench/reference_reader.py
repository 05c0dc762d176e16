"""The single-stream reference: one HTTP/1.1 request over one loopback socket,
its body written to a file (or dropped), nothing else. It is what one
connection can do at best, so the benchmark's ideal figures come from it.

    reference_reader.py [--head] [--range FIRST-LAST] PORT PATH OUTPUT|-

It prints "seconds=<s> bytes=<n>"; the time runs from the connect to the
last byte written. With --head it sends a HEAD instead and reads only the
header block: one round trip on a fresh connection.
"""

import argparse
import socket
import sys
import time

CHUNK = 1024 * 1024


class ReaderError(Exception):
    pass


def read_head(sock, buffer):
    """Reads up to the blank line; returns (status, headers dict, bytes of the body already read)."""
    data = b""
    while b"\r\n\r\n" not in data:
        got = sock.recv_into(buffer)
        if got == 0:
            raise ReaderError("connection closed inside the header block")
        data += bytes(buffer[:got])
        if b"\r\n\r\n" not in data and len(data) > 65536:
            raise ReaderError("header block too long")
    head, rest = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ", 2)
    if len(parts) < 2 or not parts[1].isdigit():
        raise ReaderError("bad status line: %r" % lines[0])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(parts[1]), headers, rest


def fetch(port, path, output, byte_range, head_only):
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    verb = "HEAD" if head_only else "GET"
    lines = ["%s %s HTTP/1.1" % (verb, path), "Host: 127.0.0.1:%d" % port, "Accept: */*", "Connection: close"]
    if byte_range:
        lines.append("Range: bytes=%s" % byte_range)
    request = ("\r\n".join(lines) + "\r\n\r\n").encode("ascii")

    sink = None
    if not head_only and output != "-":
        sink = open(output, "wb", buffering=0)
    start = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=120) as sock:
            sock.sendall(request)
            status, headers, rest = read_head(sock, buffer)
            wanted_status = 206 if byte_range else 200
            if status != wanted_status:
                raise ReaderError("status %d, wanted %d" % (status, wanted_status))
            if head_only:
                return time.perf_counter() - start, 0
            if "content-length" not in headers:
                raise ReaderError("no Content-Length")
            left = int(headers["content-length"])
            total = 0
            if rest:
                if sink is not None:
                    sink.write(rest)
                left -= len(rest)
                total += len(rest)
            while left > 0:
                got = sock.recv_into(view, min(CHUNK, left))
                if got == 0:
                    raise ReaderError("body cut off with %d bytes left" % left)
                if sink is not None:
                    sink.write(view[:got])
                left -= got
                total += got
        return time.perf_counter() - start, total
    finally:
        if sink is not None:
            sink.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--head", action="store_true")
    parser.add_argument("--range")
    parser.add_argument("port", type=int)
    parser.add_argument("path")
    parser.add_argument("output")
    args = parser.parse_args()
    try:
        seconds, count = fetch(args.port, args.path, args.output, args.range, args.head)
    except (OSError, ReaderError, ValueError) as error:
        print("reference_reader: %s" % error, file=sys.stderr)
        return 1
    print("seconds=%.6f bytes=%d" % (seconds, count))
    return 0


if __name__ == "__main__":
    sys.exit(main())
