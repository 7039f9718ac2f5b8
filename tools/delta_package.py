"""Delta packages: what turns the tree of one release package into the next one's.

A delta package is a ZIP whose first entry, "delta.json", names the SHA-256 of the package
it leads to ("package_sha256") and describes every file of that package's tree (its path,
size and SHA-256) and where it comes from:
  "source": "old"    the old tree's file "base", which has the same digest;
  "source": "patch"  the old tree's file "base" (digest "base_sha256") patched by the
                     entry "entry", a zstd frame that has the old file as its prefix;
  "source": "whole"  the entry "entry", the file itself.
"folders" lists the new tree's empty folders. Patches are stored, whole files deflated.
Patches are made and applied with Debian's zstd.
"""
import hashlib
import json
import os
import subprocess
import tempfile
import zipfile
import zlib

from code_signing import Refused

DESCRIPTION = "delta.json"
FORMAT = 1
# Frames the program decodes: windows up to 2 GiB, and one never below 1 KiB.
MAX_WINDOW_LOG = 31
MIN_WINDOW_LOG = 10
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def window_log(*sizes):
    """A window that reaches across the old file into the new one."""
    return min(max(sum(sizes).bit_length(), MIN_WINDOW_LOG), MAX_WINDOW_LOG)


def zstd(arguments):
    try:
        done = subprocess.run(["zstd", "-q", "-f"] + arguments, capture_output=True)
    except OSError as e:
        raise Refused("cannot run zstd (Debian's zstd package): %s" % e.strerror)
    if done.returncode != 0:
        raise Refused("zstd failed: %s" % done.stderr.decode(errors="replace").strip())


def zstd_between(first, second, arguments, scratch):
    """Runs zstd with `first` as the prefix (--patch-from) on `second`, both bytes, and
    returns what it writes."""
    first_path, second_path, out_path = (os.path.join(scratch, name)
                                         for name in ("first", "second", "out"))
    for path, data in ((first_path, first), (second_path, second)):
        with open(path, "wb") as f:
            f.write(data)
    zstd(arguments + ["--patch-from=" + first_path, second_path, "-o", out_path])
    with open(out_path, "rb") as f:
        return f.read()


def make_patch(old, new, scratch):
    """A zstd frame that rebuilds `new` from `old` (both bytes)."""
    return zstd_between(old, new, ["-19", "--long=%d" % window_log(len(old), len(new))], scratch)


def apply_patch(old, patch, scratch):
    """`new` from `old` and a frame of make_patch."""
    return zstd_between(old, patch, ["-d", "--long=%d" % MAX_WINDOW_LOG], scratch)


def read_tree(package):
    """{name: bytes} of the package's files and the list of its folder entries."""
    try:
        with zipfile.ZipFile(package) as z:
            files = {info.filename: z.read(info) for info in z.infolist() if not info.is_dir()}
            folders = [info.filename for info in z.infolist() if info.is_dir()]
    except OSError as e:
        raise Refused("cannot read package %s: %s" % (package, e.strerror))
    except zipfile.BadZipFile:
        raise Refused("%s is not a valid zip" % package)
    return files, folders


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def file_sha256(path):
    with open(path, "rb") as f:
        return sha256(f.read())


def made_to(path):
    """The SHA-256 of the package whose tree the delta package makes; None for a file
    that is no delta package."""
    try:
        with zipfile.ZipFile(path) as z:
            description = description_of(z)
    except (OSError, zipfile.BadZipFile, Refused):
        return None
    return description.get("package_sha256") if description else None


def deflated_size(data):
    return len(zlib.compress(data, 9))


def plan(old_files, new_files, scratch):
    """The description of each new file, and the entries it needs: {entry: bytes}."""
    old_by_digest = {}
    for name in sorted(old_files):
        old_by_digest.setdefault(sha256(old_files[name]), name)
    described, entries = [], {}
    for name in sorted(new_files):
        data = new_files[name]
        digest = sha256(data)
        file = {"path": name, "size": len(data), "sha256": digest}
        if digest in old_by_digest:
            # Unchanged, or moved: found by its digest.
            same = name in old_files and sha256(old_files[name]) == digest
            file.update({"source": "old", "base": name if same else old_by_digest[digest]})
        else:
            patch = None
            if name in old_files and old_files[name] and data:
                patch = make_patch(old_files[name], data, scratch)
            if patch is not None and len(patch) < deflated_size(data):
                file.update({"source": "patch", "base": name,
                             "base_sha256": sha256(old_files[name]), "entry": "patch/" + name})
                entries[file["entry"]] = patch
            else:
                file.update({"source": "whole", "entry": "whole/" + name})
                entries[file["entry"]] = data
        described.append(file)
    return described, entries


def write(old_package, new_package, out, check_names):
    """Writes the delta package from `old_package` to `new_package`; returns counts of
    each source."""
    old_files, _ = read_tree(old_package)
    new_files, new_folders = read_tree(new_package)
    check_names(list(new_files) + new_folders)
    with tempfile.TemporaryDirectory() as scratch:
        files, entries = plan(old_files, new_files, scratch)
    # The package whose tree the delta makes, so that it is never offered with another.
    description = {"format": FORMAT, "package_sha256": file_sha256(new_package), "files": files,
                   "folders": sorted(new_folders)}
    tmp = out + ".tmp"
    try:
        with zipfile.ZipFile(tmp, "w") as z:
            entry_list = [(DESCRIPTION, json.dumps(description, indent=1).encode(),
                           zipfile.ZIP_DEFLATED)]
            entry_list += [(name, data, zipfile.ZIP_STORED if name.startswith("patch/")
                            else zipfile.ZIP_DEFLATED) for name, data in sorted(entries.items())]
            for name, data, method in entry_list:
                info = zipfile.ZipInfo(name, FIXED_TIME)
                info.create_system = 0
                info.external_attr = 0o644 << 16
                info.compress_type = method
                z.writestr(info, data, compresslevel=9 if method else None)
        os.replace(tmp, out)
    except OSError as e:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise Refused("cannot write %s: %s" % (out, e.strerror or e))
    counts = {"old": 0, "patch": 0, "whole": 0}
    for file in files:
        counts[file["source"]] += 1
    return counts


def description_of(z):
    """The checked description of an open delta package, or None when it is none."""
    if DESCRIPTION not in z.namelist():
        return None
    try:
        description = json.loads(z.read(DESCRIPTION).decode("utf-8"))
    except ValueError:
        raise Refused("%s is not valid JSON" % DESCRIPTION)
    if not isinstance(description, dict) or description.get("format") != FORMAT:
        raise Refused("%s: unknown format" % DESCRIPTION)
    return description


def is_delta(path):
    try:
        with zipfile.ZipFile(path) as z:
            return description_of(z) is not None
    except (OSError, zipfile.BadZipFile):
        return False


def rebuild(delta_package, old_package):
    """{name: bytes} of the new tree, from the old package and the delta; refused with the
    program's own words where a file does not come out as described."""
    old_files, _ = read_tree(old_package)
    tree = {}
    with zipfile.ZipFile(delta_package) as z, tempfile.TemporaryDirectory() as scratch:
        description = description_of(z)
        if description is None:
            raise Refused("%s is no delta package" % delta_package)
        for file in description["files"]:
            source = file["source"]
            if source in ("old", "patch"):
                base = old_files.get(file["base"])
                if base is None:
                    raise Refused("delta needs %s, which the old package lacks" % file["base"])
                if sha256(base) != file.get("base_sha256", file["sha256"]):
                    raise Refused("%s of the old package is not the one the delta starts from"
                                  % file["base"])
            if source == "old":
                data = old_files[file["base"]]
            elif source == "patch":
                data = apply_patch(old_files[file["base"]], z.read(file["entry"]), scratch)
            else:
                data = z.read(file["entry"])
            if sha256(data) != file["sha256"] or len(data) != file["size"]:
                raise Refused("%s does not match its digest" % file["path"])
            tree[file["path"]] = data
    return tree
