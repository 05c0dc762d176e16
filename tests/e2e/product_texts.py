"""The program's own texts, numbers and control IDs, read from the headers that
name them: the scripts compare against the very constants the program shows,
so a text changed there changes here with it. A name a header does not hold
stops the script at once with a line naming it."""

import os
import re
import sys

SRC = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src"))
WINDOW = "window/app_state.h"
ENGINE = "engine/download_job.h"

# inline constexpr wchar_t Name[] = L"..." (literals side by side make one text)
TEXT = re.compile(r'constexpr\s+wchar_t\s+(\w+)\[\]\s*=\s*((?:L"(?:[^"\\]|\\.)*"\s*)+);')
LITERAL = re.compile(r'L"((?:[^"\\]|\\.)*)"')
ESCAPES = {"\\": "\\", '"': '"', "n": "\n", "t": "\t"}
# inline constexpr int Name = 5; (or a fixed-width integer type)
NUMBER = re.compile(r"constexpr\s+(?:int|std::u?int\d+_t)\s+(\w+)\s*=\s*(\d+)\s*;")


def _source(header):
    with open(os.path.join(SRC, header), encoding="utf-8") as f:
        return f.read()


def _unescape(header, literal):
    def one(match):
        if match.group(1) not in ESCAPES:
            sys.exit("product_texts: src/%s has an escape \\%s that is not read here" % (header, match.group(1)))
        return ESCAPES[match.group(1)]
    return re.sub(r"\\(.)", one, literal)


def _named(header, pattern, convert, names):
    found = {name: value for name, value in pattern.findall(_source(header))}
    missing = [name for name in names if name not in found]
    if missing:
        sys.exit("product_texts: src/%s names no %s" % (header, ", ".join(missing)))
    return [convert(found[name]) for name in names]


def texts(header, *names):
    """The texts the header names, in the order asked."""
    return _named(header, TEXT, lambda value: "".join(_unescape(header, x) for x in LITERAL.findall(value)), names)


def numbers(header, *names):
    """The integer constants the header names, in the order asked."""
    return _named(header, NUMBER, int, names)


(CANCELED, COMPLETED, FAILED, INCOMPLETE, INVALID_URL, NO_FILE_SIZE, NO_OUTPUT_FILE, URL_EMPTY,
 CONNECTIONS_BELOW_ONE) = texts(
    ENGINE, "MessageCanceled", "MessageCompleted", "MessageFailed", "MessageIncomplete", "MessageInvalidUrl",
    "MessageNoFileSize", "MessageNoOutputFile", "MessageUrlEmpty", "MessageConnectionsBelowOne")
DEFAULT_CONNECTIONS, MAX_CONNECTIONS = numbers(ENGINE, "DefaultConnections", "MaxConnections")
