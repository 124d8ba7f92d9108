"""Mutations of the campaign's seed files. A mutant is a pure function of its
seed number: the same number gives the same bytes, so a failure is rerun from
the number alone."""

import random

# Where headers and the fields that tell a reader how much to read live:
# chunk, box and page names of the families (sizes sit just before or after).
MARKERS = [
    b"RIFF", b"WAVE", b"fmt ", b"data", b"fact", b"LIST", b"FORM", b"AIFF", b"AIFC",
    b"COMM", b"SSND", b"fLaC", b"OggS", b"\x01vorbis", b"\x05vorbis", b"OpusHead",
    b"OpusTags", b"ID3", b"Xing", b"Info", b"LAME", b"ftyp", b"moov", b"mvhd", b"trak",
    b"mdhd", b"hdlr", b"stsd", b"mp4a", b"esds", b"stts", b"stsc", b"stsz", b"stco",
    b"mdat", b"\xff\xfb", b"\xff\xf3", b"\xff\xf8", b"\xff\xf1",
]
# Values that sit on the edges of what a field can hold.
BOUNDARY_VALUES = [0, 1, 2, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF, 0x80000000,
                   0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF]
MAX_MUTANT_BYTES = 1_000_000 - 1


def marker_offsets(data, limit=64):
    """Offsets of the first limit occurrences of each marker."""
    offsets = []
    for marker in MARKERS:
        start = 0
        for _ in range(limit):
            found = data.find(marker, start)
            if found < 0:
                break
            offsets.append(found)
            start = found + 1
    return sorted(offsets)


def flip_bits(rng, data, _seeds):
    count = rng.choice([1, 1, 2, 4, 8, 16])
    for _ in range(count):
        i = rng.randrange(len(data))
        data[i] ^= 1 << rng.randrange(8)
    return f"flip {count} bits"


def overwrite_bytes(rng, data, _seeds):
    count = rng.choice([1, 2, 4, 16, 64])
    if rng.random() < 0.5:  # a run
        i = rng.randrange(len(data))
        data[i:i + count] = bytes(rng.randrange(256) for _ in range(len(data[i:i + count])))
        return f"overwrite {count} bytes at {i}"
    for _ in range(count):
        data[rng.randrange(len(data))] = rng.randrange(256)
    return f"overwrite {count} random bytes"


def write_boundary(rng, data, _seeds):
    offsets = marker_offsets(bytes(data))
    if offsets and rng.random() < 0.85:
        anchor = rng.choice(offsets)
        i = max(0, anchor + rng.randrange(-8, 40))
    else:
        i = rng.randrange(min(len(data), 512))
    width = rng.choice([1, 2, 4, 4, 8])
    value = rng.choice(BOUNDARY_VALUES) & ((1 << (8 * width)) - 1)
    order = rng.choice(["little", "big"])
    field = value.to_bytes(width, order)
    data[i:i + width] = field[:len(data[i:i + width])]
    return f"write {value:#x} as {width} {order}-endian bytes at {i}"


def truncate(rng, data, _seeds):
    # Half the cuts fall in the first few kilobytes, where the headers are.
    limit = len(data) if rng.random() < 0.5 else min(len(data), 4096)
    at = rng.randrange(limit)
    del data[at:]
    return f"truncate at {at}"


def repeat_block(rng, data, _seeds):
    start = rng.randrange(len(data))
    size = rng.choice([1, 4, 27, 512, 4096, 65536])
    block = bytes(data[start:start + size])
    times = rng.choice([1, 1, 2, 16])
    at = rng.choice([start, rng.randrange(len(data) + 1)])
    data[at:at] = block * times
    return f"repeat {len(block)} bytes from {start} {times}x at {at}"


def delete_block(rng, data, _seeds):
    start = rng.randrange(len(data))
    size = rng.choice([1, 4, 27, 512, 4096, 65536])
    del data[start:start + size]
    return f"delete {size} bytes at {start}"


def splice(rng, data, seeds):
    other_name, other = rng.choice(seeds)
    cut = rng.randrange(len(data) + 1)
    other_cut = rng.randrange(len(other) + 1)
    data[cut:] = other[other_cut:]
    return f"splice at {cut} with {other_name} from {other_cut}"


OPERATIONS = [flip_bits, overwrite_bytes, write_boundary, truncate, repeat_block, delete_block,
              splice]


def _crc_table():
    table = []
    for i in range(256):
        r = i << 24
        for _ in range(8):
            r = ((r << 1) ^ 0x04C11DB7) if r & 0x80000000 else r << 1
        table.append(r & 0xFFFFFFFF)
    return table


_OGG_CRC_TABLE = _crc_table()


def fix_ogg_checksums(data):
    """Recomputes the checksum of every whole Ogg page, so that damage inside
    a page reaches the codec instead of being dropped by the demuxer."""
    fixed = 0
    at = data.find(b"OggS")
    while 0 <= at and at + 27 <= len(data):
        segments = data[at + 26]
        table_end = at + 27 + segments
        if table_end > len(data):
            break
        end = table_end + sum(data[at + 27:table_end])
        if end > len(data):
            break
        data[at + 22:at + 26] = b"\0\0\0\0"
        crc = 0
        for byte in data[at:end]:
            crc = ((crc << 8) & 0xFFFFFFFF) ^ _OGG_CRC_TABLE[(crc >> 24) ^ byte]
        data[at + 22:at + 26] = crc.to_bytes(4, "little")
        fixed += 1
        at = data.find(b"OggS", at + 1)
    return fixed


def make_mutant(campaign_seed, family, number, seed_files):
    """The bytes of mutant number of a family and what was done to them.
    seed_files: [(name, bytes)] of the family's seeds."""
    rng = random.Random(f"{campaign_seed}:{family}:{number}")
    name, original = rng.choice(seed_files)
    data = bytearray(original)
    steps = [f"from {name}"]
    for _ in range(rng.choices([1, 2, 3], weights=[6, 3, 1])[0]):
        if not data:
            break
        steps.append(rng.choice(OPERATIONS)(rng, data, seed_files))
    if family in ("vorbis", "opus") and rng.random() < 0.5:
        steps.append(f"checksums of {fix_ogg_checksums(data)} pages fixed")
    del data[MAX_MUTANT_BYTES:]
    return bytes(data), "; ".join(steps)
