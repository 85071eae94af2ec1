"""What the package reads of the coded bytes themselves: H.264 and H.265
NAL units (Annex B or length-prefixed) for the kind of an access unit and
the leading pictures of a group, and VP8/VP9 frame headers for whether a
packet shows a picture."""
from ._runtime import Codec

# H.265 NAL unit types of random-access skipped leading pictures, which refer
# to the group before their CRA picture.
_H265_RASL = (8, 9)
_H264_IDR = 5


def length_size(codec, extradata):
    """The NAL unit length field's size in bytes of an MP4/Matroska stream
    (from its avcC or hvcC extradata), or None for Annex B."""
    # avcC and hvcC start with configuration version 1; Annex B with 0.
    if len(extradata) > 4 and extradata[0] == 1 and codec == Codec.H264:
        return (extradata[4] & 3) + 1
    if len(extradata) > 21 and extradata[0] == 1 and codec == Codec.H265:
        return (extradata[21] & 3) + 1
    return None


def _nal_units(data, length_size):
    """The NAL units of one access unit: length-prefixed (length_size bytes,
    as MP4 and Matroska store them) or Annex B (length_size None)."""
    if length_size:
        i = 0
        while i + length_size <= len(data):
            size = int.from_bytes(data[i:i + length_size], "big")
            yield data[i + length_size:i + length_size + size]
            i += length_size + size
        return
    i = data.find(b"\x00\x00\x01")
    while i >= 0:
        start = i + 3
        i = data.find(b"\x00\x00\x01", start)
        end = len(data) if i < 0 else i
        yield data[start:end].rstrip(b"\x00") if i >= 0 else data[start:end]


def _first_ue_values(payload, count):
    """The first `count` unsigned Exp-Golomb values of a slice header."""
    # Emulation prevention bytes (00 00 03) do not belong to the header.
    rbsp = payload[:64].replace(b"\x00\x00\x03", b"\x00\x00")
    bits = "".join(f"{byte:08b}" for byte in rbsp)
    values, i = [], 0
    for _ in range(count):
        zeros = 0
        while i < len(bits) and bits[i] == "0":
            zeros += 1
            i += 1
        values.append(int(bits[i:i + zeros + 1], 2) - 1)
        i += zeros + 1
    return values


def _first_slice(codec, packet, length_size):
    """(NAL unit type, payload after the NAL header) of the first picture
    slice of an H.264 or H.265 access unit, or None."""
    for nal in _nal_units(bytes(packet), length_size):
        if not nal:
            continue
        if codec == Codec.H264:
            kind = nal[0] & 0x1F
            if 1 <= kind <= 5:
                return kind, nal[1:]
        else:
            kind = (nal[0] >> 1) & 0x3F
            if kind <= 31:
                return kind, nal[2:]
    return None


def is_h264_idr(packet, length_size):
    """Whether an H.264 access unit is an IDR picture: the decoder starts
    afresh there, and nothing after it refers to anything before it."""
    first = _first_slice(Codec.H264, packet, length_size)
    return first is not None and first[0] == _H264_IDR


def unreferenced(codec, packets, length_size):
    """Whether no other picture of the run `packets` (H.264 or H.265 access
    units in decode order) refers to each, so that the run without it
    decodes the others the same: H.264 pictures whose every slice has
    nal_ref_idc 0; H.265 sub-layer non-reference pictures of the run's
    highest temporal sub-layer (only a higher one could refer to them)."""
    slices = [[nal[:2] for nal in _nal_units(bytes(packet), length_size)
               if len(nal) > 1 and (1 <= nal[0] & 0x1F <= 5 if codec == Codec.H264
                                    else nal[0] >> 1 & 0x3F <= 31)]
              for packet in packets]
    if codec == Codec.H264:
        return [bool(unit) and not any(nal[0] & 0x60 for nal in unit) for unit in slices]
    top = max((nal[1] & 7 for unit in slices for nal in unit), default=0)
    return [bool(unit) and all(nal[0] >> 1 & 0x3F <= 14 and not nal[0] >> 1 & 1
                               and nal[1] & 7 == top for nal in unit) for unit in slices]


class LeadingPictures:
    """Counts, as the packets of a stream come in decode order, each group's
    leading pictures: those after its key frame in decode order that refer
    to the group before. The decoder drops them when a run starts at that
    key frame. AV1, VP9 and VP8 key frames start closed groups."""

    def __init__(self, codec, length_size):
        self.codec, self.length_size = codec, length_size
        self.counts = []  # one a group
        self._counting = False

    def key_frame(self, packet):
        self.counts.append(0)
        if self.codec == Codec.H264:
            # Only after a recovery point, not an IDR, do B pictures lead.
            first = _first_slice(self.codec, packet, self.length_size)
            self._counting = first is not None and first[0] != _H264_IDR
        else:
            self._counting = self.codec == Codec.H265

    def other(self, packet):
        if not self._counting:
            return
        first = _first_slice(self.codec, packet, self.length_size)
        if self.codec == Codec.H265:
            self.counts[-1] += bool(first and first[0] in _H265_RASL)
        elif first is not None and _first_ue_values(first[1], 2)[1] % 5 == 1:
            self.counts[-1] += 1  # a B slice
        else:
            self._counting = False


def _vp9_frames(data):
    """The frames of a VP9 packet: those its superframe index lists, or the
    packet itself."""
    last = data[-1]
    if last & 0xE0 == 0xC0:
        count, width = (last & 7) + 1, ((last >> 3) & 3) + 1
        index = 2 + width * count
        if len(data) >= index and data[-index] == last:
            at, offset = len(data) - index + 1, 0
            for _ in range(count):
                size = int.from_bytes(data[at:at + width], "little")
                yield data[offset:offset + size]
                at, offset = at + width, offset + size
            return
    yield data


def _vp9_frame_shows(frame):
    """Whether a VP9 frame outputs a picture: show_existing_frame, or
    show_frame of its uncompressed header (a byte that is not a frame
    header counts as shown, and the decoder judges it)."""
    if not len(frame) or frame[0] >> 6 != 2:
        return True
    head = frame[0]
    profile = ((head >> 5) & 1) | ((head >> 3) & 2)
    bit = 3 if profile < 3 else 2  # profile 3 has a reserved bit first
    if head >> bit & 1:  # show_existing_frame
        return True
    return bool(head >> (bit - 2) & 1)


def shows_picture(codec, packet):
    """Whether a packet outputs a picture: VP8 invisible (alt-ref) frames and
    VP9 packets of hidden frames only do not."""
    data = memoryview(packet).cast("B")
    if codec == Codec.VP8:
        return len(data) < 3 or bool(data[0] & 0x10)  # show_frame of the frame tag
    if codec == Codec.VP9 and len(data):
        return any(_vp9_frame_shows(frame) for frame in _vp9_frames(data))
    return True
