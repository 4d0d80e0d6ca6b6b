"""Reads and writes the compound files that hold .xls workbooks, for the
sample-making script (make_xls_corpus.py). Only what those samples need:
a root holding streams (no storages), version 3 files with 512-byte
sectors, streams under 4096 bytes in the mini stream. Also splits and joins
BIFF record streams.
"""

import struct

SIGNATURE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
FREE, END, FATSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
NOSTREAM = 0xFFFFFFFF
CUTOFF = 4096
SECTOR = 512
MINI = 64


def read_streams(data):
    """The root's streams of a compound file: a list of (name, bytes, clsid, state, times)."""
    if data[:8] != SIGNATURE:
        raise ValueError("not a compound file")
    shift = struct.unpack_from("<H", data, 0x1E)[0]
    size = 1 << shift
    nfat, first_dir = struct.unpack_from("<II", data, 0x2C)
    first_minifat, nminifat, first_difat, ndifat = struct.unpack_from("<IIII", data, 0x3C)
    difat = list(struct.unpack_from("<109I", data, 0x4C))
    sect = first_difat
    while ndifat and sect not in (END, FREE):
        ids = struct.unpack_from("<%dI" % (size // 4), data, (sect + 1) * size)
        difat += ids[:-1]
        sect = ids[-1]
        ndifat -= 1
    fat = []
    for s in difat[:nfat]:
        fat += struct.unpack_from("<%dI" % (size // 4), data, (s + 1) * size)

    def chain(start):
        out, s, seen = [], start, set()
        while s not in (END, FREE) and s not in seen:
            seen.add(s)
            out.append(s)
            s = fat[s]
        return out

    def read(start, length=None):
        b = b"".join(data[(s + 1) * size:(s + 2) * size] for s in chain(start))
        return b if length is None else b[:length]

    directory = read(first_dir)
    entries = []
    for i in range(len(directory) // 128):
        e = directory[i * 128:(i + 1) * 128]
        nlen = struct.unpack_from("<H", e, 0x40)[0]
        name = e[:max(nlen - 2, 0)].decode("utf-16-le")
        etype = e[0x42]
        left, right, child = struct.unpack_from("<III", e, 0x44)
        start, length = struct.unpack_from("<II", e, 0x74)
        entries.append(dict(name=name, type=etype, left=left, right=right, child=child, clsid=e[0x50:0x60],
                            state=e[0x60:0x64], times=e[0x64:0x74], start=start, size=length))
    root = entries[0]
    ministream = read(root["start"], root["size"])
    minifat = []
    if nminifat:
        raw = read(first_minifat)
        minifat = list(struct.unpack("<%dI" % (len(raw) // 4), raw))

    def read_mini(start, length):
        out, s, seen = [], start, set()
        while s not in (END, FREE) and s not in seen and s < len(minifat):
            seen.add(s)
            out.append(ministream[s * MINI:(s + 1) * MINI])
            s = minifat[s]
        return b"".join(out)[:length]

    streams = []

    def walk(i):
        if i == NOSTREAM:
            return
        e = entries[i]
        walk(e["left"])
        if e["type"] == 1:
            raise ValueError("storages are not supported: " + e["name"])
        body = read_mini(e["start"], e["size"]) if e["size"] < CUTOFF else read(e["start"], e["size"])
        streams.append((e["name"], body, e["clsid"], e["state"], e["times"]))
        walk(e["right"])

    walk(root["child"])
    return streams, root["clsid"]


def _key(name):
    return (len(name), name.upper())


def write_streams(streams, root_clsid=b"\0" * 16):
    """A version 3 compound file holding `streams` (as read_streams returns them) in its root."""
    streams = sorted(streams, key=lambda s: _key(s[0]))
    sectors = []  # 512-byte sectors after the header
    fat = []

    def put(blob):
        start = len(sectors)
        count = -(-len(blob) // SECTOR)
        for k in range(count):
            sectors.append(blob[k * SECTOR:(k + 1) * SECTOR].ljust(SECTOR, b"\0"))
            fat.append(start + k + 1 if k + 1 < count else END)
        return start if count else END

    mini, minifat, starts = b"", [], []
    for name, body, *_ in streams:
        if len(body) < CUTOFF and body:
            first = len(mini) // MINI
            n = -(-len(body) // MINI)
            minifat += [first + k + 1 for k in range(n - 1)] + [END]
            mini += body.ljust(n * MINI, b"\0")
            starts.append(first)
        elif not body:
            starts.append(END)
        else:
            starts.append(None)
    mini_start = put(mini) if mini else END
    for i, (name, body, *_) in enumerate(streams):
        if starts[i] is None:
            starts[i] = put(body)
    minifat_start = put(struct.pack("<%dI" % len(minifat), *minifat)) if minifat else END
    nminifat = -(-len(minifat) * 4 // SECTOR)

    # Siblings as a balanced tree, all black.
    def tree(lo, hi):
        if lo >= hi:
            return NOSTREAM, {}
        mid = (lo + hi) // 2
        left, a = tree(lo, mid)
        right, b = tree(mid + 1, hi)
        links = dict(a)
        links.update(b)
        links[mid + 1] = (left, right)
        return mid + 1, links

    top, links = tree(0, len(streams))

    def entry(name, etype, left, right, child, clsid, state, times, start, size):
        raw = name.encode("utf-16-le")
        return (raw.ljust(64, b"\0") + struct.pack("<HBB", len(raw) + 2 if name else 0, etype, 1) +
                struct.pack("<III", left, right, child) + clsid + state + times + struct.pack("<III", start, size, 0))

    directory = entry("Root Entry", 5, NOSTREAM, NOSTREAM, top, root_clsid, b"\0" * 4, b"\0" * 16, mini_start,
                      len(mini))
    for i, (name, body, clsid, state, times) in enumerate(streams):
        left, right = links[i + 1]
        directory += entry(name, 2, left, right, NOSTREAM, clsid, state, times, starts[i], len(body))
    while len(directory) % SECTOR:
        directory += entry("", 0, NOSTREAM, NOSTREAM, NOSTREAM, b"\0" * 16, b"\0" * 4, b"\0" * 16, 0, 0)
    dir_start = put(directory)
    nfat = 1
    while len(fat) + nfat > nfat * (SECTOR // 4):
        nfat += 1
    if nfat > 109:
        raise ValueError("too large for this writer")
    fat_start = len(sectors)
    fat += [FATSECT] * nfat
    fat += [FREE] * (nfat * (SECTOR // 4) - len(fat))
    for k in range(nfat):
        sectors.append(struct.pack("<128I", *fat[k * 128:(k + 1) * 128]))
    difat = [fat_start + k for k in range(nfat)] + [FREE] * (109 - nfat)
    header = SIGNATURE + b"\0" * 16 + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6
    header += struct.pack("<IIIIIIIII", 0, nfat, dir_start, 0, CUTOFF, minifat_start, nminifat, END, 0)
    header += struct.pack("<109I", *difat)
    return header + b"".join(sectors)


def records(stream):
    """(offset, id, body) of each record of a BIFF stream."""
    out, at = [], 0
    while at + 4 <= len(stream):
        rid, size = struct.unpack_from("<HH", stream, at)
        if rid == 0 and size == 0 and not any(stream[at:]):
            break  # padding
        out.append((at, rid, stream[at + 4:at + 4 + size]))
        at += 4 + size
    return out


def record(rid, body):
    return struct.pack("<HH", rid, len(body)) + body
