"""Update channels end to end: an installation follows the channel it was installed on or
switched to, refuses another channel's manifest, and never downgrades on leaving one."""
import e2e

NOTHING_NEW, FAILED, STAGED = 0, 1, 10
OTHER_CHANNEL = "manifest is for another channel"


def issued_at(seconds):
    def tamper(manifest):
        manifest["issued"] = seconds
    return tamper


def test_channels(server, clean):
    # The default channel at 1.0.0, beta ahead at 1.1.0, both announced from one base.
    server.publish("1.0.0", name="channels-1.0.0", channel="channels", tamper=issued_at(1000))
    base = server.publish("1.1.0", name="channels-1.1.0", channel="channels", update_channel="beta",
                          tamper=issued_at(5000))

    # Installed on beta: the installer reads latest-beta.json, and the record keeps the
    # channel and its manifest's time apart from the default channel's.
    assert e2e.run(e2e.SETUP, "/quiet", "/channel=beta", base_url=base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "channel": "beta",
                           "channelIssued": {"beta": 5000}}
    assert e2e.command(base, "/check")[0] == NOTHING_NEW
    assert server.requests("/channels/latest-beta.json")

    # A manifest signed for the default channel, or for another, is not beta's.
    server.publish("1.2.0", name="channels-default-1.2.0", tamper=issued_at(6000))
    server.announce("channels-default-1.2.0", "channels", "beta")
    code, line = e2e.command(base, "/check")
    assert (code, line["error"]) == (FAILED, OTHER_CHANNEL)
    server.publish("1.2.0", name="channels-nightly-1.2.0", update_channel="nightly")
    server.announce("channels-nightly-1.2.0", "channels", "beta")
    assert e2e.command(base, "/check")[1]["error"] == OTHER_CHANNEL
    assert e2e.log_lines()[-1] == "check failed: " + OTHER_CHANNEL
    assert e2e.state()["installed"] == "1.1.0" and "staged" not in e2e.state()

    # Back to the default channel, which is behind: nothing is staged, nothing downgraded;
    # its own manifest times are its own (1000 is no replay there).
    assert e2e.command(base, "/channel=")[0] == 0
    assert e2e.log_lines()[-1] == "channel the default followed (was beta)"
    assert e2e.command(base, "/check") == (NOTHING_NEW, {
        "installed": "1.1.0", "staged": None, "latest": "1.0.0", "error": None})
    assert e2e.state() == {"installed": "1.1.0", "issued": 1000,
                           "channelIssued": {"beta": 5000}}

    # Until the default channel passes it: then it stages as any update does.
    server.publish("1.3.0", name="channels-1.3.0", channel="channels", tamper=issued_at(2000))
    assert e2e.command(base, "/check")[:1] == (STAGED,)
    assert e2e.state()["staged"] == "1.3.0"

    # Beta again, with the switch and the check in one start. The default channel's staged
    # release is no beta release: dropped, record first. Beta's freshness was kept, so an
    # older beta manifest served now is a replay.
    server.publish("1.4.0", name="channels-beta-old", channel="channels", update_channel="beta",
                   tamper=issued_at(4000))
    code, line = e2e.command(base, "/channel=beta", "/check")
    assert (code, line["error"]) == (FAILED, "manifest is older than one already seen")
    assert "channel beta followed (was the default); staged 1.3.0 dropped" in e2e.log_lines()
    assert e2e.state() == {"installed": "1.1.0", "channel": "beta", "issued": 2000,
                           "channelIssued": {"beta": 5000}}
    assert not e2e.os.path.exists(e2e.root("app-1.3.0"))

    # The installer asked for a channel that is behind: nothing is installed, and the
    # installation follows that channel from now on.
    server.publish("1.0.0", name="channels-old-1.0.0", channel="channels", update_channel="old")
    assert e2e.run(e2e.SETUP, "/quiet", "/channel=old", base_url=base) == (2, [])
    assert e2e.state()["channel"] == "old" and e2e.state()["installed"] == "1.1.0"
    assert "channel old followed (was beta)" in e2e.log_lines()


def test_channel_names_are_checked(server, clean):
    base = server.publish("1.0.0", name="channel-names-1.0.0", channel="channel-names")
    for name in ("Beta", "../beta", "b" * 33, "bêta"):
        assert e2e.run(e2e.SETUP, "/quiet", "/channel=" + name, base_url=base) == (1, [])
        assert e2e.log_lines()[-1] == ("install failed: bad channel name: use 1 to 32 of "
                                       "a-z, 0-9 and -")
    assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (0, [])
    assert e2e.command(base, "/channel=a/b")[0] == 1
    assert e2e.log_lines()[-1] == ("channel not changed: bad channel name: use 1 to 32 of "
                                   "a-z, 0-9 and -")
    assert e2e.state() == {"installed": "1.0.0"}
