#!/usr/bin/env python3
"""Writes a web server access log in the combined log format, as a busy update server's
would be: mostly fetches of the packages, the deltas and latest.json (of the default
channel and of beta), probes and other pages, and about one line in eight an update
report, of five releases on two channels (one of which goes wrong), with the reasons
failures and rollbacks give.
The same log every time (a fixed seed).
Usage: make_access_log.py OUT [LINES]   (1,000,000 lines by default)"""
import random
import sys
import time

AGENT = '"Brindlewick/%s (Windows NT 10.0; Win64; x64)"'
BROWSER = '"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko)"'
# Channel, version, and how many in a hundred trials of it end in a rollback: one
# release of the default channel goes wrong.
RELEASES = [("", "1.2.0", 1), ("", "1.3.0", 2), ("", "1.4.0", 25), ("beta", "1.4.0", 20),
            ("beta", "1.5.0", 3)]
REASONS = {
    "rolled-back": ["exited%20with%20code%203%20during%20its%20trial",
                    "exited%20with%20code%20-1073741819%20during%20its%20trial",
                    "did%20not%20start%20%28error%202%29"],
    "failed": ["download%20failed%20%28error%2012002%29", "sha256%20mismatch",
               "not%20enough%20disk%20space", "download%20truncated",
               "signature%20check%20failed%20for%20app%5Cplugin.dll"],
}
OTHER = [
    ('GET /brindlewick/latest.json HTTP/1.1', 200, 612),
    ('GET /brindlewick/latest-beta.json HTTP/1.1', 200, 640),
    ('GET /brindlewick/latest.json HTTP/1.1', 304, 0),
    ('GET /files/brindlewick-1.4.0.zip HTTP/1.1', 200, 48213377),
    ('GET /files/brindlewick-1.4.0.zip HTTP/1.1', 206, 1048576),
    ('GET /files/brindlewick-1.5.0.zip HTTP/1.1', 200, 48377012),
    ('GET /files/delta-1.3.0-1.4.0.zip HTTP/1.1', 200, 2210077),
    ('HEAD /files/brindlewick-1.4.0.zip HTTP/1.1', 200, 0),
    ('GET /download/BrindlewickSetup.exe HTTP/2.0', 200, 391168),
    ('GET / HTTP/1.1', 200, 5120),
    ('GET /favicon.ico HTTP/1.1', 404, 153),
    ('GET /wp-login.php HTTP/1.1', 404, 153),
    ('POST /brindlewick/report HTTP/1.1', 405, 157),
]


def report_line(rng):
    channel, version, rollbacks = rng.choice(RELEASES)
    draw = rng.random()
    if draw < 0.48:
        event = "staged"
    elif draw < 0.52:
        event = "failed"
    else:
        event = "rolled-back" if rng.randrange(100) < rollbacks else "committed"
    older = version.split(".")
    older[1] = str(int(older[1]) - 1)
    query = "event=%s&version=%s&from=%s&channel=%s&bucket=%d" % (
        event, version, ".".join(older), channel, rng.randrange(100))
    if event in REASONS:
        query += "&reason=" + rng.choice(REASONS[event])
    return ('GET /brindlewick/report?%s HTTP/1.1' % query, 204, 0,
            AGENT % ".".join(older))


def main():
    out, lines = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
    rng = random.Random(20241209)
    start = time.mktime((2024, 12, 9, 0, 0, 0, 0, 0, 0))
    with open(out, "w") as f:
        for n in range(lines):
            host = "%d.%d.%d.%d" % (rng.randrange(1, 224), rng.randrange(256),
                                    rng.randrange(256), rng.randrange(1, 255))
            when = time.strftime("%d/%b/%Y:%H:%M:%S +0000", time.gmtime(start + n // 12))
            if n % 50000 == 49999:  # now and then a line cut short, as after a crash
                f.write('%s - - [%s] "GET /brindlewick/report?event=sta\n' % (host, when))
                continue
            if rng.random() < 0.125:
                request, status, size, agent = report_line(rng)
            else:
                request, status, size = rng.choice(OTHER)
                agent = BROWSER if "Setup" in request or "/ " in request else AGENT % "1.3.0"
            f.write('%s - - [%s] "%s" %d %d "-" %s\n' % (host, when, request, status, size,
                                                          agent))


if __name__ == "__main__":
    main()
