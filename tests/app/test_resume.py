"""A package download cut short, end to end: the stub killed part-way through staging
asks only for the rest at its next start."""
import os
import signal

import e2e
import release
from e2e import root


def kept_downloads():
    return sorted(name for name in os.listdir(e2e.ROOT) if name.startswith("dl-"))


def test_a_download_killed_part_way_is_continued_at_the_next_start(server, clean):
    big = {"brindlewick.exe": None, "data/big.bin": os.urandom(6 << 20)}
    assert e2e.install(server.publish("1.0.0", name="resume-1.0.0")) == (0, [])
    # What an earlier release's download left: the next check removes it.
    stale = "dl-" + "e" * 64
    e2e.write(root(stale + ".partial"), b"x" * 1000)
    e2e.write(root(stale + ".validator"), '"old"\n')
    base = server.publish("1.1.0", big, name="resume-1.1.0", route="/slow/40")
    package = os.path.join(server.www, "resume-1.1.0", "package.zip")
    size, digest = os.path.getsize(package), release.file_sha256(package)
    partial = root("dl-%s.partial" % digest)
    stub = e2e.start(e2e.STUB_WIN, base_url=base)
    assert e2e.wait_for(lambda: os.path.exists(partial) and
                        os.path.getsize(partial) >= 2 << 20, 60)
    stub.send_signal(signal.SIGKILL)
    stub.wait()

    # What came is kept under the package's digest, with the server's ETag.
    kept = os.path.getsize(partial)
    assert 2 << 20 <= kept < size
    stat = os.stat(package)
    etag = '"%x-%x"' % (stat.st_mtime_ns, stat.st_size)
    assert e2e.read(root("dl-%s.validator" % digest)) == etag + "\n"
    assert kept_downloads() == ["dl-%s.partial" % digest, "dl-%s.validator" % digest]
    assert "staged" not in e2e.state()

    assert e2e.start_stub(base) == (0, [])

    # Each is noted once sent, or once its connection failed: maybe after the stub ended.
    assert e2e.wait_for(lambda: len(server.responses("/resume-1.1.0/package.zip")) >= 2)
    sent = server.responses("/resume-1.1.0/package.zip")
    assert [(r.status, r.range, r.if_range) for r in sent] == [
        (200, None, None), (206, "bytes=%d-" % kept, etag)]
    assert sent[1].sent == size - kept  # nothing fetched twice
    assert e2e.log_lines()[-1] == "staged 1.1.0"
    assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
    assert e2e.tree(root("app-1.1.0")) == e2e.tree(os.path.join(server.www, "resume-1.1.0",
                                                                "content"))
    assert kept_downloads() == []
