"""Package downloads that are cut short, end to end: continued within the run when the
connection drops, and at the next start when the program was killed."""
import os
import signal

import e2e
import release
from e2e import root


def kept_downloads():
    return sorted(name for name in os.listdir(e2e.ROOT) if name.startswith("dl-"))


def etag_of(path):
    """The ETag the tests' server gives a file."""
    stat = os.stat(path)
    return '"%x-%x"' % (stat.st_mtime_ns, stat.st_size)


def test_a_download_cut_short_is_continued_not_fetched_again(server, clean):
    big = {"brindlewick.exe": None, "data/big.bin": os.urandom(6 << 20)}
    # A flaky line: every response of the package ends in a reset after 2 MB. The
    # installer goes on from where each stopped; an earlier release's kept download goes.
    base = server.publish("1.0.0", big, name="resume-1.0.0", route="/cut/2000000")
    package = os.path.join(server.www, "resume-1.0.0", "package.zip")
    size = os.path.getsize(package)
    stale = "dl-" + "e" * 64
    e2e.write(root(stale + ".partial"), b"x" * 1000)
    e2e.write(root(stale + ".validator"), '"old"\n')

    assert e2e.install(base) == (0, [])

    sent = server.responses("/resume-1.0.0/package.zip")
    assert [(r.status, r.range, r.sent) for r in sent] == [
        (200, None, 2000000), (206, "bytes=2000000-", 2000000),
        (206, "bytes=4000000-", 2000000), (206, "bytes=6000000-", size - 6000000)]
    assert [r.if_range for r in sent[1:]] == [etag_of(package)] * 3  # the ETag it was sent
    assert e2e.state() == {"installed": "1.0.0"}
    content = e2e.tree(os.path.join(server.www, "resume-1.0.0", "content"))
    installed = e2e.tree(root("app-1.0.0"))
    installed.pop("launches.txt", None)
    assert installed == content
    assert kept_downloads() == []

    # The stub's check killed part-way through the next release keeps what came, under
    # the package's digest, with the server's validator; the next start asks for the
    # rest only.
    base = server.publish("1.1.0", big, name="resume-1.1.0", route="/slow/40")
    package = os.path.join(server.www, "resume-1.1.0", "package.zip")
    size, digest = os.path.getsize(package), release.file_sha256(package)
    partial = root("dl-%s.partial" % digest)
    stub = e2e.start(e2e.STUB_WIN, base_url=base)
    assert e2e.wait_for(lambda: os.path.exists(partial) and
                        os.path.getsize(partial) >= 2 << 20, 60)
    stub.send_signal(signal.SIGKILL)
    stub.wait()
    kept = os.path.getsize(partial)
    assert 2 << 20 <= kept < size
    etag = etag_of(package)
    assert e2e.read(root("dl-%s.validator" % digest)) == etag + "\n"
    assert kept_downloads() == ["dl-%s.partial" % digest, "dl-%s.validator" % digest]
    assert "staged" not in e2e.state()

    assert e2e.start_stub(base) == (0, [])

    sent = server.responses("/resume-1.1.0/package.zip")
    assert [(r.status, r.range, r.if_range) for r in sent] == [
        (200, None, None), (206, "bytes=%d-" % kept, etag)]
    assert sent[1].sent == size - kept  # nothing fetched twice
    assert e2e.log_lines()[-1] == "staged 1.1.0"
    assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
    staged = e2e.tree(root("app-1.1.0"))
    assert staged == e2e.tree(os.path.join(server.www, "resume-1.1.0", "content"))
    assert kept_downloads() == []
