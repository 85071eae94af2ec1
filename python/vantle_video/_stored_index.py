"""A clip's index as bytes a data engine can keep next to the file's path,
and opening from it without a demux pass.

Layout (little-endian): a fixed header (the stored picture size, before
any turn), the container's format name, the stream's pixel format, its
display matrix when it has one and its extradata, then columns of signed
integers, each in the narrowest of 1, 2, 4 or 8 bytes that holds it, and a
CRC-32 of all of it.
Per packet: the gap from the end of the packet before (offsets are mostly
contiguous), the size, the decode-time step and the presentation offset
from the decode time (both in units of their greatest common divisor), the
packet's CRC-32, and a flags byte only when some packet is not located,
lacks a timestamp or shows no picture (VP8 invisible and VP9 hidden
frames). Per group: its packet count and its leading pictures."""
import struct
import zlib
from fractions import Fraction

import numpy as np

from . import _index
from ._runtime import Codec

# The last byte is the layout's version; an index of another is refused.
_MAGIC = b"VVINDEX2"
# magic, codec, stream, width, height, frame rate, time base, source size,
# packets, groups, tick, first offset, first dts, column widths
_HEADER = struct.Struct("<8sIIII qq qq Q QQ q q q 8B")
_COLUMNS = ("gap", "size", "dts", "pts", "crc", "flags", "count", "leading")
_UNLOCATED, _NO_PTS, _NO_DTS, _HIDDEN = 1, 2, 4, 8
_MATRIX = struct.Struct("<9i")


class StaleIndexError(ValueError):
    """A stored index that does not describe this source (another file, or
    this one changed since), or bytes that are not a stored index."""


def _width(values):
    if len(values) == 0:
        return 1
    low, high = int(values.min()), int(values.max())
    for width in (1, 2, 4, 8):
        bound = 1 << (8 * width - 1)
        if -bound <= low and high < bound:
            return width
    raise ValueError("an index value does not fit 64 bits")


def _forward_filled(values, known):
    """values with each unknown one replaced by the last known before it (or
    the first known one)."""
    if known.all() or not known.any():
        return np.where(known, values, 0)
    at = np.where(known, np.arange(len(values)), 0)
    np.maximum.accumulate(at, out=at)
    filled = values[at]
    filled[:np.argmax(known)] = values[np.argmax(known)]
    return filled


class StoredIndex:
    """What opening a clip needs, in at most 16 bytes a packet for the usual
    streams (plus a header with the extradata): to_bytes() for a column,
    StoredIndex.from_bytes(data) back; pickles as those bytes. open(source,
    index=...) takes one or its bytes."""

    __slots__ = ("_data",)

    def __init__(self, data):
        self._data = bytes(data)
        _parse(self._data)  # refuses what is not an index now, not at open

    @classmethod
    def from_bytes(cls, data):
        return cls(data)

    def to_bytes(self):
        return self._data

    def __reduce__(self):
        return StoredIndex, (self._data,)

    def __len__(self):
        return len(self._data)

    def __repr__(self):
        fields = _parse(self._data, columns=False)
        return (f"StoredIndex({fields['packets']} packets in {fields['groups']} groups, "
                f"{len(self._data)} bytes, for a source of {fields['source_size']} bytes)")


def of_clip(clip):
    """The StoredIndex of an opened clip."""
    count = len(clip._sizes)
    sizes, offsets = clip._sizes, clip._offsets
    located = offsets >= 0
    # An unlocated packet sits where the one before it ended, so gaps stay small.
    places = offsets.copy()
    if not located.all():
        end = 0
        for i in range(count):
            if not located[i]:
                places[i] = end
            end = places[i] + sizes[i]
    gaps = np.diff(places) - sizes[:-1]
    gaps = np.concatenate(([0], gaps))
    has_dts, has_pts = clip._dts != _index.NO_TIME, clip._pts != _index.NO_TIME
    dts = _forward_filled(clip._dts, has_dts)
    pts = np.where(has_pts, clip._pts, dts)
    steps = np.concatenate(([0], np.diff(dts)))
    shifts = pts - dts
    tick = int(np.gcd.reduce(np.concatenate((steps, shifts)))) or 1
    flags = ((~located * _UNLOCATED) | (~has_pts * _NO_PTS) | (~has_dts * _NO_DTS) |
             (~clip._shown * _HIDDEN))
    firsts = [f for f, _ in clip.groups]
    columns = {
        "gap": gaps, "size": sizes, "dts": steps // tick, "pts": shifts // tick,
        "crc": clip._crcs.astype(np.uint32).view(np.int32),
        "flags": flags if flags.any() else None,
        "count": np.diff(firsts + [count]), "leading": np.asarray(clip._leading),
    }
    widths = [0 if columns[name] is None else 4 if name == "crc" else _width(columns[name])
              for name in _COLUMNS]
    name = clip._format_name.encode()
    pixel_format = (clip.pixel_format or "").encode()
    matrix = b"" if clip._matrix is None else _MATRIX.pack(*clip._matrix)
    # The stored size: the turn is made again from the matrix at open.
    width, height = clip.width, clip.height
    if clip._turn[0] in (90, 270):
        width, height = height, width
    header = _HEADER.pack(_MAGIC, int(clip.codec), clip.stream, width, height,
                          clip.frame_rate.numerator, clip.frame_rate.denominator,
                          clip.time_base.numerator, clip.time_base.denominator,
                          clip._source.size, count, len(firsts), tick, int(places[0]),
                          int(dts[0]), *widths)
    parts = [header, struct.pack("<H", len(name)), name, struct.pack("<B", len(pixel_format)),
             pixel_format, struct.pack("<B", len(matrix)), matrix,
             struct.pack("<I", len(clip.extradata)), clip.extradata]
    for column, width in zip(_COLUMNS, widths):
        if width:
            parts.append(np.asarray(columns[column]).astype(f"<i{width}").tobytes())
    body = b"".join(parts)
    return StoredIndex(body + struct.pack("<I", zlib.crc32(body)))


def _parse(data, columns=True):
    if len(data) < _HEADER.size + 4 or data[:8] != _MAGIC:
        if data[:7] == _MAGIC[:7]:
            version = bytes(data[7:8]).decode(errors="replace")
            raise StaleIndexError(f"a stored index of layout version {version}, made by an "
                                  f"older vantle_video; this one reads version "
                                  f"{_MAGIC[7:].decode()}: open the source without index= and "
                                  "keep its new Clip.index")
        raise StaleIndexError("not a stored vantle_video index (no header)")
    if zlib.crc32(memoryview(data)[:-4]) != struct.unpack_from("<I", data, len(data) - 4)[0]:
        raise StaleIndexError("the stored index is damaged (its CRC-32 does not match)")
    (_, codec, stream, width, height, rate_num, rate_den, base_num, base_den, size, packets,
     groups, tick, first_offset, first_dts, *widths) = _HEADER.unpack_from(data)
    at = _HEADER.size
    (name_length,) = struct.unpack_from("<H", data, at)
    name = bytes(data[at + 2:at + 2 + name_length]).decode()
    at += 2 + name_length
    pixel_format = bytes(data[at + 1:at + 1 + data[at]]).decode() or None
    at += 1 + data[at]
    matrix = list(_MATRIX.unpack_from(data, at + 1)) if data[at] else None
    at += 1 + data[at]
    (extra_length,) = struct.unpack_from("<I", data, at)
    extradata = bytes(data[at + 4:at + 4 + extra_length])
    at += 4 + extra_length
    fields = dict(codec=Codec(codec), stream=stream, width=width, height=height,
                  frame_rate=Fraction(rate_num, rate_den), time_base=Fraction(base_num, base_den),
                  source_size=size, packets=packets, groups=groups, format_name=name,
                  extradata=extradata, pixel_format=pixel_format, matrix=matrix)
    if not columns:
        return fields
    for column, width in zip(_COLUMNS, widths):
        length = groups if column in ("count", "leading") else packets
        if not width:
            fields[column] = None
            continue
        end = at + width * length
        if end > len(data) - 4:
            raise StaleIndexError("the stored index is cut short")
        fields[column] = np.frombuffer(data, f"<i{width}", length, at).astype(np.int64)
        at = end
    fields["tick"], fields["first_offset"], fields["first_dts"] = tick, first_offset, first_dts
    return fields


def restore(clip, index, stream):
    """Fills an unopened clip from a stored index (a StoredIndex or its
    bytes) and checks it against the source: its size, then the first
    group's bytes against their CRC-32s, read directly where the index
    locates them."""
    data = index.to_bytes() if isinstance(index, StoredIndex) else bytes(index)
    fields = _parse(data)
    described = clip._source.describe()
    if stream is not None and stream != fields["stream"]:
        raise ValueError(f"the index is of stream {fields['stream']}, not {stream}")
    if fields["source_size"] != clip._source.size:
        raise StaleIndexError(f"{described}: the index is of a source of {fields['source_size']} "
                              f"bytes, this one has {clip._source.size}: another file, or "
                              "changed since it was indexed; open it without index=")
    for name in ("stream", "codec", "width", "height", "frame_rate", "time_base", "extradata",
                 "pixel_format"):
        setattr(clip, name, fields[name])
    clip._orient(fields["matrix"])  # as open() turns them, apply_rotation included
    clip._format_name = fields["format_name"]
    flags = fields["flags"] if fields["flags"] is not None else np.zeros(fields["packets"],
                                                                         np.int64)
    sizes = fields["size"]
    ends = fields["first_offset"] + np.cumsum(fields["gap"] + sizes)
    clip._offsets = np.where(flags & _UNLOCATED, -1, ends - sizes)
    clip._sizes = sizes
    dts = fields["first_dts"] + np.cumsum(fields["dts"]) * fields["tick"]
    clip._dts = np.where(flags & _NO_DTS, _index.NO_TIME, dts)
    clip._pts = np.where(flags & _NO_PTS, _index.NO_TIME, dts + fields["pts"] * fields["tick"])
    clip._crcs = fields["crc"].astype(np.uint32)
    counts = fields["count"].tolist()
    firsts = np.concatenate(([0], np.cumsum(counts)[:-1])).tolist()
    clip.groups = list(zip(firsts, counts))
    clip._leading = fields["leading"].tolist()
    clip._shown = (flags & _HIDDEN) == 0
    _index.count_pictures(clip)
    first, count = clip.groups[0]
    if (clip._offsets[first:first + count] >= 0).all():
        same = _index.located_group(clip, 0) is not None
    else:
        try:
            _index.group_packets(clip, 0)
            same = True
        except RuntimeError:
            same = False
    if not same:
        raise StaleIndexError(f"{described}: its first group differs from the index's (CRC-32): "
                              "another file of the same size, or changed since it was indexed; "
                              "open it without index=")
