"""A full disk: the install root on a small drive of its own (a tmpfs that Wine sees as E:,
whose free space it reports exactly and which it refuses a write with error 112 when
full). What does not fit is refused before it is downloaded, in the box and the log; a
disk that fills during the unpacking fails it cleanly, keeping the package; and once
there is room the next start stages without downloading again."""
import contextlib
import errno
import os
import re
import subprocess

import e2e
import release as release_tool

MIB = 1 << 20
DISK_MB = 40
NEEDS = re.compile(r"not enough disk space: needs (\d+) MB on E:, (\d+) MB free$")


def release(version, weight):
    """The stand-in application with `weight` bytes of data that does not compress."""
    return {"brindlewick.exe": None, "updater.exe": e2e.SETUP, "version.txt": version.encode(),
            "lib/big.bin": os.urandom(weight)}


@contextlib.contextmanager
def small_disk(tmp_path):
    """The user's local application data folder on a drive E: of DISK_MB megabytes."""
    mount = str(tmp_path / "disk")
    os.makedirs(mount)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % DISK_MB, "tmpfs", mount],
                   check=True)
    link = os.path.join(e2e.PREFIX, "dosdevices", "e:")
    was = os.readlink(link) if os.path.islink(link) else None
    try:
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(mount, link)
        os.makedirs(os.path.join(mount, "Local"))
        with e2e.local_app_data("E:\\Local"):
            yield mount
    finally:
        if os.path.lexists(link):
            os.remove(link)
        if was is not None:
            os.symlink(was, link)
        subprocess.run(["umount", "-l", mount], check=True)


def free_bytes(folder):
    stat = os.statvfs(folder)
    return stat.f_bavail * stat.f_frsize


@contextlib.contextmanager
def filled(mount, leave):
    """Another program's file, taking all but `leave` bytes of the disk."""
    path = os.path.join(mount, "filler.bin")
    with open(path, "wb") as f:
        # The program under test may write between the measure and the taking: what is
        # free is measured again, and taken in smaller pieces, until the file has it all.
        piece = None
        while free_bytes(mount) > leave:
            want = free_bytes(mount) - leave
            piece = want if piece is None else min(piece, want)
            try:
                os.posix_fallocate(f.fileno(), os.fstat(f.fileno()).st_size, piece)
            except OSError as error:
                if error.errno != errno.ENOSPC:
                    raise
                if piece <= 4096:
                    break  # the disk is full
                piece //= 2
    try:
        yield path
    finally:
        os.remove(path)


def needs(line):
    """(MB needed, MB free) of a full disk's text at the end of `line`."""
    found = NEEDS.search(line)
    assert found, line
    return int(found.group(1)), int(found.group(2))


def test_what_does_not_fit_is_refused_before_it_is_written(server, clean, tmp_path):
    big = server.publish("1.1.0", release("1.1.0", 10 * MIB), name="full-1.1.0", sized=True)
    size = os.path.getsize(os.path.join(server.www, "full-1.1.0", "package.zip"))
    # Before the download: the package and a tree at least as large.
    wanted = -(-2 * size // MIB)
    with small_disk(tmp_path) as mount:
        root = os.path.join(mount, "Local", "Brindlewick")
        stub = "E:\\Local\\Brindlewick\\updater.exe"

        # A first installation that does not fit: refused, in the box and the log, before
        # anything but the log is written.
        with filled(mount, 15 * MIB):
            code, boxes = e2e.install(big, [("Brindlewick Setup", "OK")])
            assert code == 1 and boxes[0].startswith("Installation failed.\n\n"), boxes
            assert needs(boxes[0]) == (wanted, 15), boxes
            assert os.listdir(root) == ["updater.log"]
        assert server.requests("/full-1.1.0/package.zip") == []

        # A staging that does not fit: the installed version starts, one line says why,
        # and while the disk stays full no start downloads anything.
        small = server.publish("1.0.0", release("1.0.0", MIB), name="full-1.0.0",
                               channel="full", sized=True)
        assert e2e.install(small)[0] == 0
        server.announce("full-1.1.0", "full")
        with filled(mount, 15 * MIB):
            for start in (1, 2):
                logged = len(e2e.read(os.path.join(root, "updater.log")).splitlines())
                assert e2e.run(stub, base_url=small) == (0, [])
                lines = e2e.read(os.path.join(root, "updater.log")).splitlines()[logged:]
                assert len(lines) == 1 and "stage 1.1.0 failed: " in lines[0], lines
                assert needs(lines[0])[0] == wanted
                launches = os.path.join(root, "app-1.0.0", "launches.txt")
                assert e2e.wait_for(lambda: e2e.read(launches).count("cmd=") == start + 1)
        assert server.requests("/full-1.1.0/package.zip") == []

        # The disk filled by another program while the package is unpacked: the staging
        # fails cleanly, nothing of it is left, and the package, verified, is kept.
        big_file = os.path.join(root, "staging-tmp", "lib", "big.bin")
        delayed = ("strace", "-f", "-qq", "-o", "/dev/null", "--seccomp-bpf", "-P", big_file,
                   "-e", "trace=write,pwrite64",
                   "-e", "inject=write,pwrite64:delay_enter=3000000:when=1")
        process = e2e.start(stub, base_url=small, wrapper=delayed)
        assert e2e.wait_for(lambda: os.path.exists(big_file), 60)
        with filled(mount, 0):
            assert e2e.finish(process) == 0
            line = e2e.read(os.path.join(root, "updater.log")).splitlines()[-1]
            assert "stage 1.1.0 failed: " in line and needs(line)[1] == 0, line
            digest = release_tool.file_sha256(os.path.join(server.www, "full-1.1.0",
                                                            "package.zip"))
            assert sorted(os.listdir(root)) == [
                "app-1.0.0", "dl-%s.partial" % digest, "dl-%s.validator" % digest,
                "install.json", "updater.exe", "updater.log"]
        assert len(server.requests("/full-1.1.0/package.zip")) == 1

        # Room again: the next start stages it, downloading nothing.
        assert e2e.run(stub, base_url=small) == (0, [])
        assert e2e.read(os.path.join(root, "updater.log")).splitlines()[-1].endswith(
            "] staged 1.1.0")
        assert len(server.requests("/full-1.1.0/package.zip")) == 1

        # A delta that would build a tree the disk cannot hold is not downloaded either,
        # nor is the package, which would need more of the same.
        assert e2e.run(stub, base_url=small) == (0, [])  # 1.1.0 committed
        later = dict(release("1.2.0", 10 * MIB), **{"lib/more.bin": os.urandom(8 * MIB)})
        server.publish("1.2.0", later, name="full-1.2.0", sized=True,
                       deltas=[("1.1.0", "full-1.1.0")])
        server.announce("full-1.2.0", "full")
        with filled(mount, 12 * MIB):
            assert e2e.run(stub, base_url=small) == (0, [])
            line = e2e.read(os.path.join(root, "updater.log")).splitlines()[-1]
            assert "stage 1.2.0 failed: " in line and needs(line)[1] in (11, 12), line
        assert server.requests("/full-1.2.0/from-") == []
        assert server.requests("/full-1.2.0/package.zip") == []
        assert e2e.run(stub, "/uninstall", "/quiet", base_url=small) == (0, [])
        assert e2e.wait_for(lambda: not os.path.exists(root), 30)
