"""Staged rollouts end to end: a release signed for a share of the installations reaches
those whose bucket is below it, the rest once the share is raised, and every new
installation at once."""
import json

import e2e
from e2e import root

RELEASE = {"brindlewick.exe": None, "updater.exe": e2e.SETUP}


def set_bucket(bucket):
    record = json.loads(e2e.read(root("install.json")))
    if bucket is None:
        record.pop("bucket", None)
    else:
        record["bucket"] = bucket
    e2e.write(root("install.json"), json.dumps(record))


def test_a_release_rolled_out_in_stages(server, clean):
    base = server.publish("1.0.0", RELEASE, channel="rollout")
    assert e2e.install(base) == (0, [])
    assert 0 <= e2e.bucket() <= 99
    set_bucket(57)

    def offer(percent):
        name = "1.1.0-%d" % percent
        server.publish("1.1.0", RELEASE, name=name, channel="rollout",
                       tamper=lambda m: m.update(rollout=percent))
        return name

    # (share, staged at the next start: bucket 57 is reached from 58% on)
    for percent, staged in ((10, False), (57, False), (58, True)):
        name = offer(percent)
        assert e2e.start_stub(base) == (0, [])
        if staged:
            assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
            assert e2e.log_lines()[-1] == "staged 1.1.0"
            assert len(server.requests("/%s/package.zip" % name)) == 1
        else:
            assert e2e.state() == {"installed": "1.0.0"}
            assert e2e.log_lines()[-1] == "update 1.1.0 not offered here yet (rollout %d%%)" % (
                percent)
            assert server.requests("/%s/package.zip" % name) == []
    assert e2e.start_stub(base) == (0, [])  # its trial, committed
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    assert e2e.bucket() == 57

    # A record from before rollouts draws its bucket at the first one it meets, and keeps
    # it; a full rollout reaches it whatever it drew.
    set_bucket(None)
    server.publish("1.2.0", RELEASE, name="1.2.0-1", channel="rollout",
                   tamper=lambda m: m.update(rollout=1))
    assert e2e.start_stub(base) == (0, [])
    drawn = e2e.bucket()
    assert 0 <= drawn <= 99 and ("staged" in e2e.state()) == (drawn < 1)
    server.publish("1.2.0", RELEASE, name="1.2.0-all", channel="rollout")
    assert e2e.start_stub(base) == (0, [])
    assert e2e.bucket() == drawn
    assert e2e.state() == ({"installed": "1.2.0", "prev": "1.1.0"} if drawn < 1 else
                           {"installed": "1.1.0", "prev": "1.0.0", "staged": "1.2.0"})

    # A new installation takes the release whatever its share.
    e2e.remove_installation()
    server.publish("1.3.0", RELEASE, name="1.3.0-1", channel="rollout",
                   tamper=lambda m: m.update(rollout=1))
    assert e2e.install(base) == (0, [])
    assert e2e.state() == {"installed": "1.3.0"}
