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
