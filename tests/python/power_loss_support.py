"""Crash images of an engine directory: the states a power loss may leave
during one write, built from copies of the directory taken before and after
it. Bytes a file held before the write were synced; what the write added
past them was not, so the disk may hold them, zeros from some byte on (the
file system kept the new size but not the data), or a file cut there."""

import os
import shutil


def copy_of(path, into):
    """A copy of the directory `path` (none when it does not exist) at `into`."""
    if os.path.isdir(path):
        shutil.copytree(path, into)
    else:
        os.mkdir(into)
    return into


def files_of(path):
    return {n: open(os.path.join(path, n), "rb").read() for n in sorted(os.listdir(path))}


def tear_points(start, end):
    """Where a tear may begin inside the bytes [start, end) of a write: every
    64th byte of the write and each 512-byte boundary (a sector) inside it."""
    sectors = range(-(-start // 512) * 512, end, 512)
    return sorted(set(range(start, end, 64)) | set(sectors))


def torn_versions(old, new, lead=0, points=()):
    """(label, bytes) of every state of a file that held `old` (None: no such
    file) and `new` after the write: zeros from each tear point (and each of
    `points`), and a cut there. A new file's header may be torn too, the file
    holding zeros only. A writer that stores the write's first `lead` bytes
    only once the rest is synced leaves them zero in every torn state, and
    in one more: the whole write with them still zero."""
    start = len(old) if old is not None and new.startswith(old) else 0
    at_all = set(tear_points(start, len(new))) | set(points)
    if old is None:
        at_all |= {4, 8}
    if lead:  # right behind the leading field, and behind the field after it
        at_all |= {start + lead, start + 12}

    def unled(data):
        return data[:start] + bytes(min(lead, len(data) - start)) + data[start + lead:]

    seen = set()
    versions = [(f"{how} {at}", unled(data)) for at in sorted(p for p in at_all if start <= p < len(new))
                for how, data in (("zeros from", new[:at] + bytes(len(new) - at)), ("cut at", new[:at]))]
    if lead:
        versions.append(("whole, its leading field not yet written", unled(new)))
    if old is None and len(new) >= 8:
        versions.append(("header zeroed", bytes(8)))
    for label, data in versions:
        if data != new and data not in seen:
            seen.add(data)
            yield label, data


def crash_images(before, after, torn, synced=False, **tear):
    """(label, files) for each state of the directory in which one file whose
    name `torn` accepts holds a torn version of its write (`tear`: see
    torn_versions), and the others hold what was synced before: their bytes
    before the write (after it when `synced`: written before the torn file),
    or after it for files the write made (the write also removes no file).
    The last, "whole", holds the write done and synced."""
    old, new = files_of(before), files_of(after)
    base = {**old, **new} if synced else {**{n: b for n, b in new.items() if n not in old}, **old}
    for name, data in new.items():
        if not torn(name) or old.get(name) == data:
            continue
        for label, version in torn_versions(old.get(name), data, **tear):
            yield f"{name}: {label}", {**base, name: version}
    yield "whole", {**base, **{n: d for n, d in new.items() if torn(n)}}


def write_image(files, path):
    os.mkdir(path)
    for name, data in files.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)
    return path
