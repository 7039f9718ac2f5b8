"""Counts the update reports in web server access logs, per release and channel.

After each update event an installation sends one GET to the "report" address of its
signed manifest, with the query event (staged, committed, rolled-back or failed),
version, from, channel (empty for the default channel), bucket and, when it failed or
was rolled back, reason; each value percent-encoded. The logs are read in the combined
log format nginx and Apache write by default,
  host ident user [time] "METHOD target PROTO" status bytes "referer" "agent"
with any fields a server adds after the agent; each may be gzip-compressed (told by its
first bytes, not its name) and is read a line at a time. Every GET whose query has a
known event counts, whatever the server answered. The table, for these lines:

  "GET /brindlewick/report?event=staged&version=1.4.0&from=1.3.0&channel=&bucket=42 ..."
  and seven others, one of them a fetch of latest.json and one cut short:

channel    version  staged  committed  rolled back  failed  rollback rate  top reasons
(default)  1.3.0         0          1            0       0           0.0%
(default)  1.4.0         2          1            1       1          50.0%  1x download failed (error 12002); 1x exited with code 3 during its trial
beta       1.5.0         0          1            0       0           0.0%
lines read: 9; reports: 7; other requests: 1; not in the combined log format: 1

A row for each channel (the default one as "(default)", first) and version, versions
compared number by number. Columns are as wide as their widest cell and two spaces
apart, numbers right-aligned. The rollback rate is rolled back out of committed and
rolled back, to one decimal, "-" when both are 0. Top reasons: the three most frequent
of failures and rollbacks together, by count and then alphabetically, each after its
count; a reason is cut to 80 characters, anything unprintable in it escaped (\\x1b). The
last line counts the lines read: reports, other requests (not a GET, no known event, a
version or channel no manifest could name) and lines not in the log format; the latter
two are skipped. Without any report the table is the one line "no update reports".

With --max-rollback-rate PERCENT the exit code is 1 when a row's rate is above PERCENT
(not at it), after the table, and stderr names those rows:
  release.py: rollback rate above 5%: 1.4.0 (default) 50.0%
"""
import functools
import gzip
import io
import re
import zlib
from fractions import Fraction
from urllib.parse import unquote

from code_signing import Refused
# The program reports no other versions and channel names than a manifest may hold, so a
# request with another is none of its reports, and could be neither ordered nor shown
# safely.
from release_names import CHANNEL_RULE, VERSION_RULE, version_key

EVENTS = ("staged", "committed", "rolled-back", "failed")
WITH_REASON = ("failed", "rolled-back")
FIELD_RULE = re.compile(r"(?:^|&)(event|version|channel|reason)=([^&]*)")
REASON_CHARACTERS = 80
TOP_REASONS = 3
# Distinct reasons counted for one release; anyone can send reports, and a flood of made-up
# reasons must not take the memory of the machine reading the log.
MAX_REASONS = 1000
GZIP_MAGIC = b"\x1f\x8b"
# The combined log format; a server may add fields after the user agent. The request is
# taken apart by split(): a request line that is no "METHOD target PROTO" (a scanner's
# bytes, say) is a line of the log all the same.
QUOTED = r'"[^"\\]*(?:\\.[^"\\]*)*"'
LINE_RULE = re.compile(r'\S+ \S+ \S+ \[[^\]]*\] "([^"\\]*(?:\\.[^"\\]*)*)" [0-9]{3} (?:[0-9]+|-) '
                       + QUOTED + " " + QUOTED + r"(?:\s|$)")
DEFAULT_CHANNEL = "(default)"
HEADINGS = ("channel", "version", "staged", "committed", "rolled back", "failed",
            "rollback rate", "top reasons")


def new_row():
    return {"staged": 0, "committed": 0, "rolled-back": 0, "failed": 0, "reasons": {}}


def tally(paths):
    """({(channel, version): row}, counts) of the logs: a row counts each event and each
    reason of one release on one channel; counts are of the lines read, reports, other
    requests and lines not in the log format ("malformed")."""
    rows = {}
    counts = {"lines": 0, "reports": 0, "other": 0, "malformed": 0}
    for path in paths:
        tally_log(path, rows, counts)
    return rows, counts


def tally_log(path, rows, counts):
    match = LINE_RULE.match
    lines = reports = other = malformed = 0
    try:
        with open(path, "rb") as raw, text_lines(raw) as log:
            for line in log:
                lines += 1
                found = match(line)
                if found is None:
                    malformed += 1
                    continue
                request = found.group(1).split(" ")
                report = None
                if len(request) == 3 and request[0] == "GET":
                    query = request[1].partition("?")[2]
                    if "event=" in query:
                        report = report_of(query)
                if report is None:
                    other += 1
                    continue
                reports += 1
                count(rows, *report)
    except (OSError, EOFError, zlib.error) as e:
        # A gzip file cut short or damaged is reported, not counted in part.
        raise Refused("cannot read %s: %s" % (path, getattr(e, "strerror", None) or e))
    counts["lines"] += lines
    counts["reports"] += reports
    counts["other"] += other
    counts["malformed"] += malformed


def text_lines(raw):
    """The lines of a binary file, gunzipped when it starts as gzip does."""
    compressed = raw.peek(len(GZIP_MAGIC))[:len(GZIP_MAGIC)] == GZIP_MAGIC
    stream = gzip.GzipFile(fileobj=raw, mode="rb") if compressed else raw
    # Logs escape what is not printable ASCII; a stray byte must not stop the count.
    return io.TextIOWrapper(stream, encoding="utf-8", errors="replace")


def report_of(query):
    """(channel, version, event, reason or None) of a report's query; None for one that is
    none."""
    # The last of a name counts: the program's fields follow any of the address.
    fields = dict(FIELD_RULE.findall(query))
    get = fields.get
    event, version, channel = get("event", ""), get("version", ""), get("channel", "")
    if "%" in event + version + channel:
        event, version, channel = unquote(event), unquote(version), unquote(channel)
    if (event not in EVENTS or not VERSION_RULE.fullmatch(version)
            or channel and not CHANNEL_RULE.fullmatch(channel)):
        return None
    reason = None
    if event in WITH_REASON and fields.get("reason"):
        reason = shown_reason(fields["reason"])
    return channel, version, event, reason


@functools.lru_cache(maxsize=4096)  # most reports give one of a few reasons
def shown_reason(encoded):
    """The percent-encoded reason as the table can show it: at most its first 80
    characters, anything unprintable (a line break, a terminal's escape) escaped."""
    reason = unquote(encoded, errors="replace")[:REASON_CHARACTERS]
    if not reason.isprintable():
        reason = "".join(c if c.isprintable() else repr(c)[1:-1] for c in reason)
    return reason


def count(rows, channel, version, event, reason):
    row = rows.get((channel, version))
    if row is None:
        row = rows[(channel, version)] = new_row()
    row[event] += 1
    if reason is not None:
        reasons = row["reasons"]
        if reason in reasons:
            reasons[reason] += 1
        elif len(reasons) < MAX_REASONS:
            reasons[reason] = 1


def rollback_rate(row):
    """Rolled back out of committed and rolled back, in percent, exactly; None when
    neither happened."""
    ended = row["committed"] + row["rolled-back"]
    return Fraction(100 * row["rolled-back"], ended) if ended else None


def ordered(rows):
    """The rows' keys by channel (the default channel first), then version, numerically."""
    return sorted(rows, key=lambda key: (key[0], version_key(key[1]), key[1]))


def top_reasons(row):
    reasons = sorted(row["reasons"].items(), key=lambda item: (-item[1], item[0]))
    return "; ".join("%dx %s" % (times, reason) for reason, times in reasons[:TOP_REASONS])


def table(rows, counts):
    """The report's text, one line a string. Columns are as wide as their widest cell,
    two spaces apart; numbers and rates are right-aligned; the last line counts the lines
    read."""
    lines = []
    if rows:
        cells = [HEADINGS]
        for key in ordered(rows):
            row = rows[key]
            rate = rollback_rate(row)
            cells.append((key[0] or DEFAULT_CHANNEL, key[1], str(row["staged"]),
                          str(row["committed"]), str(row["rolled-back"]), str(row["failed"]),
                          "-" if rate is None else "%.1f%%" % rate, top_reasons(row)))
        widths = [max(len(line[column]) for line in cells) for column in range(len(HEADINGS))]
        for line in cells:
            shown = [line[0].ljust(widths[0]), line[1].ljust(widths[1])]
            shown += [cell.rjust(width) for cell, width in zip(line[2:-1], widths[2:-1])]
            lines.append("  ".join(shown + [line[-1]]).rstrip())
    else:
        lines.append("no update reports")
    lines.append("lines read: %d; reports: %d; other requests: %d; not in the combined log "
                 "format: %d" % (counts["lines"], counts["reports"], counts["other"],
                                 counts["malformed"]))
    return lines


def above_rate(rows, most):
    """The rows whose rollback rate is above `most` percent, in the table's order, as
    text: "1.4.0 (default) 25.0%"."""
    found = []
    for key in ordered(rows):
        rate = rollback_rate(rows[key])
        if rate is not None and rate > most:
            found.append("%s %s %.1f%%" % (key[1], key[0] or DEFAULT_CHANNEL, rate))
    return found
