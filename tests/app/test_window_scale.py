"""The progress window at the display scales users set (Wine's LogPixels): every control
where the 100% layout puts it, scaled. Screenshots of each go to build/test-artifacts."""
import os

import e2e

RELEASE = {"brindlewick.exe": None, "updater.exe": e2e.SETUP,
           "data/noise.bin": os.urandom(4 << 20)}
DESKTOP = r"HKCU\Control Panel\Desktop"


def set_scale(dpi):
    """The scale every program started from now on sees: Wine reads it at start-up."""
    e2e.reg("add", DESKTOP, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")


def scaled(values, dpi):
    # As MulDiv rounds: halves away from zero.
    return [(v * dpi + 48) // 96 for v in values]


def test_the_window_at_every_scale(server, clean):
    server.publish("1.0.0", RELEASE, name="scaled", route="/slow/25")
    try:
        for dpi, percent in ((96, 100), (144, 150), (192, 200)):
            set_scale(dpi)
            setup = e2e.start(e2e.SETUP, base_url=server.url("/slow/300/scaled"))
            layout = dict(line.split(" ", 1) for line in
                          e2e.probe("layout", "30000").stdout.splitlines())
            shot = os.path.join(e2e.BUILD, "test-artifacts", "progress-window-%d.png" % percent)
            os.makedirs(os.path.dirname(shot), exist_ok=True)
            size = e2e.probe("shot", e2e.windows_path(shot), "30000", "Downloading").stdout
            assert e2e.finish(setup) == 0, percent
            width, height = scaled([420, 140], dpi)
            assert layout["client"] == "%d %d" % (width, height), (percent, layout)
            assert layout["label"] == "%d,%d %d,%d" % tuple(scaled([24, 32, 396, 54], dpi))
            assert layout["bar"] == "%d,%d %d,%d" % tuple(scaled([24, 66, 396, 86], dpi))
            # The whole window, its frame included, is on the screenshot.
            shot_width, shot_height = (int(n) for n in size.strip().split("x"))
            assert shot_width >= width and shot_height >= height, (percent, size)
    finally:
        e2e.reg("delete", DESKTOP, "/v", "LogPixels", "/f", check=False)
