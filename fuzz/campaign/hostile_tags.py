"""The fault campaign's hostile tags, written into copies of one generated
song as a tagger never would:

  many      60,000 comments in a FLAC, 12,000 ID3v2 frames before one,
            12,000 comments in an Ogg Vorbis and an Opus comment header,
            12,000 items in an M4A's user data and in an APEv2 tag after
            an MP3: each refused in one line naming the file by
            plim-shazamkit and add, well within the deadline (FFmpeg alone
            takes over a minute for the first);
  long      a 10-MB title: added with one warning that tags are cut, and
            no more than 4,096 bytes of it in list, show, match or the
            result line;
  control   terminal escapes (OSC, CSI, DCS) and a NUL in the title and
            artist: added, and no raw control character in list, show,
            match or the result line.

run(campaign, base, song) returns the summary line; faults go to the
campaign's list. `song` is not in the catalog `base`, so that it is added
as recording 3.
"""

import os
import re
import shutil
import struct
import subprocess

# Bytes a terminal may act on, beyond a table's tabs and the lines' ends;
# the result line writes DEL as it is, as its format says (JSON escapes
# U+0000 to U+001F only), and a terminal does nothing with it.
CONTROL = re.compile(rb"[\x00-\x08\x0b-\x1f\x7f]")
RESULT_LINE_CONTROL = re.compile(rb"[\x00-\x08\x0b-\x1f]")
TAG_BYTES = 4096


def encode(song, path, *codec):
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", song, *codec, path],
                   check=True)
    return open(path, "rb").read()


def vorbis_comment(tags):
    """A Vorbis comment of the (key, value) byte pairs `tags`."""
    vendor = b"plim campaign"
    return (struct.pack("<I", len(vendor)) + vendor + struct.pack("<I", len(tags)) +
            b"".join(struct.pack("<I", len(k) + 1 + len(v)) + k + b"=" + v for k, v in tags))


def flac_with(flac, tags):
    """`flac` with its Vorbis comment block replaced by one of `tags`."""
    at, blocks = 4, []
    while True:
        header, size = flac[at], int.from_bytes(flac[at + 1:at + 4], "big")
        if header & 0x7F != 4:
            blocks.append((header & 0x7F, flac[at + 4:at + 4 + size]))
        at += 4 + size
        if header & 0x80:
            break
    blocks.append((4, vorbis_comment(tags)))
    out = b"fLaC"
    for i, (kind, body) in enumerate(blocks):
        last = 0x80 if i == len(blocks) - 1 else 0
        out += bytes([kind | last]) + len(body).to_bytes(3, "big") + body
    return out + flac[at:]


def _crc_table():
    table = []
    for byte in range(256):
        crc = byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
        table.append(crc)
    return table


CRC_TABLE = _crc_table()


def ogg_crc(data):
    crc = 0
    for byte in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ CRC_TABLE[(crc >> 24) ^ byte]
    return crc


def ogg_page(serial, sequence, flags, granule, lacing, body):
    header = (b"OggS\x00" + bytes([flags]) + struct.pack("<qIII", granule, serial, sequence, 0) +
              bytes([len(lacing)]) + bytes(lacing))
    crc = ogg_crc(header + body)
    return header[:22] + struct.pack("<I", crc) + header[26:] + body


def ogg_with(ogg, header_packets, comment):
    """`ogg` (one stream whose `header_packets` headers end a page) with its
    second packet replaced by `comment`; the pages after the headers are
    renumbered."""
    at, packets, partial = 0, [], b""
    while len(packets) < header_packets:
        segments = ogg[at + 26]
        lacing = ogg[at + 27:at + 27 + segments]
        body_at = at + 27 + segments
        serial = struct.unpack("<I", ogg[at + 14:at + 18])[0]
        for value in lacing:
            partial += ogg[body_at:body_at + value]
            body_at += value
            if value < 255:
                packets.append(partial)
                partial = b""
        at = body_at
    packets[1] = comment
    out, sequence = bytearray(), 0
    for n, packet in enumerate(packets):
        lacing = [255] * (len(packet) // 255) + [len(packet) % 255]
        continued = False
        while lacing:
            take, lacing = lacing[:255], lacing[255:]
            size = sum(take)
            flags = (0x02 if n == 0 else 0) | (0x01 if continued else 0)
            # A page on which no packet ends has no granule position.
            out += ogg_page(serial, sequence, flags, -1 if lacing else 0, take, packet[:size])
            packet, sequence, continued = packet[size:], sequence + 1, True
    while at < len(ogg):
        segments = ogg[at + 26]
        end = at + 27 + segments + sum(ogg[at + 27:at + 27 + segments])
        page = bytearray(ogg[at:end])
        page[18:22] = struct.pack("<I", sequence)
        page[22:26] = b"\0\0\0\0"
        page[22:26] = struct.pack("<I", ogg_crc(bytes(page)))
        out += page
        sequence, at = sequence + 1, end
    return bytes(out)


def m4a_with_user_data(m4a, count):
    """`m4a`, whose movie box comes last, with `count` QuickTime texts in a
    user data box appended to it."""
    tags = b"".join(struct.pack(">I", 13) + b"\xa9cmt" + b"\0\1\0\0x" for _ in range(count))
    movie = m4a.rfind(b"moov") - 4
    user_data = struct.pack(">I", 8 + len(tags)) + b"udta" + tags
    return (m4a[:movie] + struct.pack(">I", len(m4a) - movie + len(user_data)) + m4a[movie + 4:] +
            user_data)


def id3v2_before(data, count):
    frames = b"".join(b"TXXX" + struct.pack(">IH", len(text), 0) + text
                      for text in (b"\0d%d\0x" % i for i in range(count)))
    size = bytes((len(frames) >> shift) & 0x7F for shift in (21, 14, 7, 0))
    return b"ID3\x03\x00\x00" + size + frames + data


def ape_tag_after(data, count):
    items = b"".join(struct.pack("<II", 1, 0) + b"Key%d\0x" % i for i in range(count))
    return (data + items + b"APETAGEX" + struct.pack("<III", 2000, len(items) + 32, count) +
            bytes(12))


def run(campaign, base, song):
    work = os.path.join(campaign.work, "tags")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    flac = encode(song, os.path.join(work, "song.flac"), "-c:a", "flac")
    vorbis = encode(song, os.path.join(work, "song.ogg"), "-c:a", "libvorbis")
    opus = encode(song, os.path.join(work, "song.opus"), "-c:a", "libopus")
    m4a = encode(song, os.path.join(work, "song.m4a"), "-c:a", "aac")
    mp3 = encode(song, os.path.join(work, "song.mp3"), "-c:a", "libmp3lame")

    def many(n):
        return [(b"COMMENT%d" % i, b"x") for i in range(n)]

    hostile = {
        "many.flac": flac_with(flac, many(60000)),
        "many-id3.flac": id3v2_before(flac, 12000),
        "many.ogg": ogg_with(vorbis, 3, b"\x03vorbis" + vorbis_comment(many(12000)) + b"\x01"),
        "many.opus": ogg_with(opus, 2, b"OpusTags" + vorbis_comment(many(12000))),
        "many.m4a": m4a_with_user_data(m4a, 12000),
        "many-ape.mp3": ape_tag_after(mp3, 12000),
        "long.flac": flac_with(flac, [(b"TITLE", b"T" * (10 << 20)), (b"ARTIST", b"Someone")]),
        "control.flac": flac_with(flac, [(b"TITLE", b"\x1b]0;retitled\x07Title\x1b[2J\x00end"),
                                         (b"ARTIST", b"\x1bP+q544e\x1b\\Artist\r\x7f")]),
    }
    runs = slowest = 0
    for name, data in hostile.items():
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        catalog = os.path.join(work, "catalog")
        shutil.rmtree(catalog, ignore_errors=True)
        shutil.copytree(base, catalog, symlinks=True)
        shazamkit = campaign.run([campaign.args.shazamkit, path], catalog)
        add = campaign.tool(catalog, "--quiet", "add", path)
        readers = [("shazamkit", shazamkit), ("add", add)]
        if name.startswith("many"):
            for verb, run_ in readers:
                campaign.check_run("tags", name, verb, run_)
                if run_.exit_code != 1 or b"tags, the most that are read" not in run_.stderr:
                    campaign.fault("tags", f"{name} {verb}", detail="not refused for its tags")
        else:
            readers += [("list", campaign.tool(catalog, "list")),
                        ("show", campaign.tool(catalog, "show", "3")),
                        ("match", campaign.tool(catalog, "match", path)),
                        ("shazamkit again", campaign.run([campaign.args.shazamkit, path], catalog))]
            for verb, run_ in readers:
                campaign.check_run("tags", name, verb, run_)
                if run_.exit_code != 0:
                    campaign.fault("tags", f"{name} {verb}", detail=f"exit {run_.exit_code}")
                control = RESULT_LINE_CONTROL if verb.startswith("shazamkit") else CONTROL
                if control.search(run_.stdout):
                    campaign.fault("tags", f"{name} {verb}", detail="raw control characters")
                if b"T" * (TAG_BYTES + 1) in run_.stdout:
                    campaign.fault("tags", f"{name} {verb}", detail="a tag printed past its cut")
            if name == "long.flac" and add.stderr.count(b"are cut to 4096 bytes") != 1:
                campaign.fault("tags", f"{name} add", detail="no one warning that tags are cut")
        runs += len(readers)
        slowest = max([slowest] + [r.wall_s for _, r in readers])
    return f"tags: {runs} runs over {len(hostile)} files, the slowest {slowest:.1f} s"
