"""The bytes of every remote file the fault server serves.

Byte i of any file is PATTERN[i % PERIOD]. The period is prime, so a range
that is served from the wrong offset never matches the one that was asked.
"""

import random

PERIOD = 1048573
PATTERN = random.Random(20240601).randbytes(PERIOD)


def content(first, count):
    out = bytearray()
    position = first % PERIOD
    while count > 0:
        take = min(count, PERIOD - position)
        out += PATTERN[position:position + take]
        count -= take
        position = 0
    return bytes(out)


# Version 2 of a file that changes on the server: the same size, other bytes.
VERSION_SHIFT = 7919
VERSION_TAGS = {1: ('"pelbrook-v1"', "Tue, 01 Dec 2026 10:00:00 GMT"),
                2: ('"pelbrook-v2"', "Wed, 02 Dec 2026 10:00:00 GMT")}


def version_content(version, first, count):
    """Bytes of version 1 or 2 of a changing file; version 0 is the file that never changes."""
    return content(first + (VERSION_SHIFT if version == 2 else 0), count)


def validators(version, which):
    """The ETag and Last-Modified headers that name a version; which is both, etag, lastmod or none."""
    if not version or which == "none":
        return []
    etag, modified = VERSION_TAGS[version]
    headers = []
    if which in ("both", "etag"):
        headers.append(("ETag", etag))
    if which in ("both", "lastmod"):
        headers.append(("Last-Modified", modified))
    return headers


def which_version(data):
    """1 or 2 when data is one whole version of a changing file, None when it is stitched or anything else."""
    for version in (1, 2):
        if data == version_content(version, 0, len(data)):
            return version
    return None
