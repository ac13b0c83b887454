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


def torn_versions(old, new):
    """(label, bytes) of every state of a file that held `old` (None: no such
    file) and `new` after the write: zeros from each tear point, and a cut
    there. A new file's header may be torn too, the file holding zeros only."""
    start = len(old) if old is not None and new.startswith(old) else 0
    points = tear_points(start, len(new))
    if old is None:
        points = sorted(set(points) | {4, 8} & set(range(len(new) + 1)))
    seen = set()
    for at in points:
        for label, data in ((f"zeros from {at}", new[:at] + bytes(len(new) - at)), (f"cut at {at}", new[:at])):
            if data != new and data not in seen:
                seen.add(data)
                yield label, data
    if old is None and len(new) >= 8 and bytes(8) not in seen:
        yield "header zeroed", bytes(8)


def crash_images(before, after, torn):
    """(label, files) for each state of the directory in which one file whose
    name `torn` accepts holds a torn version of its write, and the others
    hold what was synced before: their bytes before the write, or after it
    for files the write made (the write also removes no file)."""
    old, new = files_of(before), files_of(after)
    base = {**{n: b for n, b in new.items() if n not in old}, **old}
    for name, data in new.items():
        if not torn(name) or old.get(name) == data:
            continue
        for label, version in torn_versions(old.get(name), data):
            yield f"{name}: {label}", {**base, name: version}
    # The write done and synced, the files it removed still present.
    yield "whole", {**base, **{n: d for n, d in new.items() if torn(n)}}


def write_image(files, path):
    os.mkdir(path)
    for name, data in files.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)
    return path
