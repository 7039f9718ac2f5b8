#!/usr/bin/python3
"""Kills the setup program part-way through downloading a release (at 50%, 80% and 99%
of the package), runs it again, and prints from the server's log how many bytes were
sent twice, against the goal: at most 1% of the package more than its rest.
Usage (with BW_BUILD_DIR set, inside the build's Wine prefix): resume.py [MB]"""
import os
import random
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tools"), os.path.join(HERE, "..", "tests", "update"),
                os.path.join(HERE, "..", "tests", "app")]

import e2e  # noqa: E402
import release  # noqa: E402


def main():
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    server = e2e.Server(os.path.join(e2e.BUILD, "bench", "resume", "www"))
    data = random.Random(18).randbytes(megabytes << 20)
    worst = 0.0
    for fraction in (0.5, 0.8, 0.99):
        e2e.remove_installation()
        name = "resume-%d" % round(fraction * 100)
        # A pause between pieces of 64 KiB, so that the kill lands near its mark.
        base = server.publish("1.0.0", {"brindlewick.exe": None, "data.bin": data}, name=name,
                              route="/slow/5")
        package = os.path.join(server.www, name, "package.zip")
        size = os.path.getsize(package)
        partial = e2e.root("dl-%s.partial" % release.file_sha256(package))
        setup = e2e.start(e2e.SETUP, base_url=base)
        while not (os.path.exists(partial) and os.path.getsize(partial) >= fraction * size):
            assert setup.poll() is None, "the download ended before its mark"
            time.sleep(0.002)
        setup.send_signal(signal.SIGKILL)
        setup.wait()
        kept = os.path.getsize(partial)
        path = "/%s/package.zip" % name
        started = time.monotonic()
        code, boxes = e2e.install(base)
        assert (code, boxes) == (0, []), (code, boxes)
        seconds = time.monotonic() - started
        # The killed response is logged once the server finds its client gone.
        assert e2e.wait_for(lambda: len(server.responses(path)) == 2)
        first, later = server.responses(path)[0].sent, server.responses(path)[1:]
        second = sum(r.sent for r in later)
        twice = first + second - size
        worst = max(worst, twice / size)
        print("killed at %5.1f%% (kept %d of %d bytes): the next run asked %s, was sent %d "
              "bytes, %d (%.3f%% of the package) sent twice; it took %.1f s" % (
                  100 * first / size, kept, size, [r.range for r in later], second, twice,
                  100 * twice / size, seconds))
    e2e.remove_installation()
    server.stop()
    print("resume: at most %.3f%% of the package sent twice; goal at most 1%%: %s" % (
        100 * worst, "met" if worst <= 0.01 else "NOT MET"))
    return 0 if worst <= 0.01 else 1


if __name__ == "__main__":
    sys.exit(main())
