"""Scenario 5's part of the report: what each program made of a file that changed during its download."""

from changed import CONNECTIONS, WAYS
from programs import changed_programs
from records import size_name, table_row, table_rule


def outcome_text(c):
    text = "%s, %s" % (c.reported, c.on_disk)
    if c.leftovers:
        text += " (left: %s)" % ", ".join(c.leftovers)
    return text


def cell(changes):
    counted = {}
    for c in changes:
        counted[outcome_text(c)] = counted.get(outcome_text(c), 0) + 1
    return "; ".join("%s: %d of %d" % (text, count, len(changes)) for text, count in counted.items())


def span(values):
    return "%d" % min(values) if min(values) == max(values) else "%d-%d" % (min(values), max(values))


def table(results):
    heads = (["Program (%d connections asked)" % CONNECTIONS] + [way.title for way in WAYS]
             + ["Connections, requests the server saw"])
    lines = [table_row(heads), table_rule(len(heads))]
    for program in changed_programs():
        mine = [c for c in results.changed if c.program == program.key]
        cells = [cell([c for c in mine if c.way == way.key]) for way in WAYS]
        seen = ", ".join(span([getattr(c, name) for c in mine]) for name in ("connections", "requests"))
        lines.append(table_row([program.label(CONNECTIONS)] + cells + [seen]))
    return "\n".join(lines) + "\n"


def sentence(results):
    """What the table says, in one sentence: the false successes of each program."""
    parts = []
    for program in changed_programs():
        mine = [c for c in results.changed if c.program == program.key]
        false = sum(1 for c in mine if c.completed and not c.on_disk.startswith("version "))
        whole = sum(1 for c in mine if c.completed and c.on_disk.startswith("version "))
        refused = sum(1 for c in mine if not c.completed and c.on_disk == "absent")
        text = "%s %d of %d" % (program.label(CONNECTIONS), false, len(mine))
        extra = []
        if whole:
            extra.append("%d whole version%s" % (whole, "s" if whole > 1 else ""))
        if refused:
            extra.append("%d refused with no file left" % refused)
        parts.append(text + (" (%s)" % ", ".join(extra) if extra else ""))
    return ("When the file changed on the server during the download (scenario 5, same size, its own ETag and "
            "Last-Modified per version), downloads that reported success over a stitched file: %s." % "; ".join(parts))


def block(r):
    return ("5. The file changes on the server during the download: %s, sent at %s/s per answer by the "
            "end-to-end fault server; %d rounds.\n\n%s\n%s\n" % (
                size_name(r.changed_size), size_name(r.changed_rate), r.rounds, table(r), sentence(r)))
