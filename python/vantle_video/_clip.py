"""A video stream of a container file as the library's host holds it: codec,
extradata and access units cut into groups at key frames. PyAV reads the
file; the library does all the decoding."""
import bisect

import av

from ._runtime import Codec, decode

# H.265 NAL unit types of random-access skipped leading pictures, which refer
# to the group before their CRA picture.
_H265_RASL = (8, 9)
_H264_IDR = 5


def _codec_of_stream(stream):
    name = stream.codec_context.codec.name
    ids = {}
    for codec, decoders in ((Codec.H264, ("h264",)), (Codec.H265, ("hevc",)),
                            (Codec.AV1, ("av1", "libdav1d", "libaom-av1"))):
        for decoder in decoders:
            try:
                ids[av.codec.Codec(decoder, "r").id] = codec
            except Exception:  # a decoder this FFmpeg lacks
                continue
    codec = ids.get(stream.codec_context.codec.id)
    if codec is None:
        raise ValueError(f"codec {name} is not H.264, H.265 or AV1")
    return codec


def _best_video_stream(container):
    """Close to FFmpeg's av_find_best_stream for video, as far as PyAV shows
    the fields it weighs: more than a single picture, the higher bit rate,
    then the first."""
    streams = list(container.streams.video)
    if not streams:
        raise ValueError("no video stream")
    return max(streams, key=lambda s: (min(5, s.frames or 5), s.codec_context.bit_rate or 0,
                                       -s.index))


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


class Clip:
    """The access units of one video stream, in decode order, cut into groups
    that each start at a key frame (units before the first key frame cannot be
    decoded on their own and are left out)."""

    def __init__(self, path, stream=None):
        container = av.open(str(path))
        try:
            if stream is None:
                chosen = _best_video_stream(container)
            else:
                chosen = container.streams[stream]
                if chosen.type != "video":
                    raise ValueError(f"stream {stream} is {chosen.type}, not video")
            self.path = str(path)
            self.stream = chosen.index
            self.codec = _codec_of_stream(chosen)
            self.width = chosen.codec_context.width
            self.height = chosen.codec_context.height
            rate = chosen.average_rate or chosen.guessed_rate
            self.frame_rate = (rate.numerator, rate.denominator) if rate else (25, 1)
            self.extradata = bytes(chosen.codec_context.extradata or b"")
            self.packets, keys = [], []
            for packet in container.demux(chosen):
                if packet.size > 0:
                    self.packets.append(bytes(packet))
                    keys.append(packet.is_keyframe)
        finally:
            container.close()
        if True not in keys:
            raise ValueError(f"{path}: no key frame in the video stream")
        first = keys.index(True)
        del self.packets[:first], keys[:first]
        self.groups = []  # (first packet, packet count)
        for i, key in enumerate(keys):
            if key:
                self.groups.append([i, 0])
            self.groups[-1][1] += 1
        self.groups = [tuple(g) for g in self.groups]
        self._leading = [self._leading_pictures(first, count) for first, count in self.groups]
        # Display index of each group's first picture in a decode of the whole
        # stream: a run that starts at a group loses its leading pictures,
        # which the stream's own start does too.
        self._display_starts, total = [], 0
        for g, (_, count) in enumerate(self.groups):
            self._display_starts.append(total)
            total += count - (self._leading[g] if g == 0 else 0)
        self.frame_count = total

    def __repr__(self):
        return (f"Clip({self.path!r}, {self.codec.name}, {self.width}x{self.height}, "
                f"{len(self.packets)} access units in {len(self.groups)} groups)")

    def group(self, g):
        """(codec, packets, extradata) of group g, ready for decode(*...)."""
        first, count = self.groups[g]
        return self.codec, self.packets[first:first + count], self.extradata

    def _length_size(self):
        extra = self.extradata
        # avcC and hvcC start with configuration version 1; Annex B with 0.
        if len(extra) > 4 and extra[0] == 1 and self.codec == Codec.H264:
            return (extra[4] & 3) + 1
        if len(extra) > 21 and extra[0] == 1 and self.codec == Codec.H265:
            return (extra[21] & 3) + 1
        return None

    def _first_slice(self, packet):
        """(NAL unit type, payload after the NAL header) of the first picture
        slice of an access unit, or None."""
        for nal in _nal_units(packet, self._length_size()):
            if not nal:
                continue
            if self.codec == Codec.H264:
                kind = nal[0] & 0x1F
                if 1 <= kind <= 5:
                    return kind, nal[1:]
            else:
                kind = (nal[0] >> 1) & 0x3F
                if kind <= 31:
                    return kind, nal[2:]
        return None

    def _leading_pictures(self, first, count):
        """How many pictures of the group come before its key picture in
        display order but need the group before it: H.265 RASL pictures;
        for H.264 after a non-IDR key frame (a recovery point), the B pictures
        decoded right after it. A decoder that starts at the group drops them."""
        if self.codec == Codec.AV1:
            return 0
        if self.codec == Codec.H265:
            kinds = [self._first_slice(p) for p in self.packets[first:first + count]]
            return sum(1 for k in kinds if k and k[0] in _H265_RASL)
        key = self._first_slice(self.packets[first])
        if key is None or key[0] == _H264_IDR:
            return 0
        leading = 0
        for packet in self.packets[first + 1:first + count]:
            piece = self._first_slice(packet)
            if piece is None or _first_ue_values(piece[1], 2)[1] % 5 != 1:  # not a B slice
                break
            leading += 1
        return leading

    def frames_at(self, indices, rgb=True, yuv420=False):
        """The stream's pictures by display index (0 is the first picture a
        decode of the whole stream outputs, as PyAV and the ffmpeg command
        line number them), in the order asked. Decodes only the groups that
        hold them, each once; a leading picture of an open group is decoded
        in one run with the group before it, which it refers to."""
        indices = [int(i) for i in indices]
        wanted = {}
        for index in indices:
            if not 0 <= index < self.frame_count:
                raise IndexError(f"frame {index} of {self.frame_count}")
            g = bisect.bisect_right(self._display_starts, index) - 1
            wanted.setdefault(g, set()).add(index - self._display_starts[g])
        runs = []  # lists of consecutive groups decoded together
        for g in sorted(wanted):
            if g > 0 and min(wanted[g]) < self._leading[g]:
                if runs and runs[-1][-1] == g - 1:
                    runs[-1].append(g)
                else:
                    runs.append([g - 1, g])
            else:
                runs.append([g])
        found = {}
        for run in runs:
            positions, base = {}, 0
            for k, g in enumerate(run):
                # The run's first group loses its leading pictures; the others
                # keep them, after every picture of the group before.
                shift = self._leading[g] if k == 0 and g > 0 else 0
                for p in wanted.get(g, ()):
                    positions[base + p - shift] = self._display_starts[g] + p
                base += self.groups[g][1] - (self._leading[g] if k == 0 else 0)
            first = self.groups[run[0]][0]
            last, count = self.groups[run[-1]]
            order = sorted(positions)
            frames = decode(self.codec, self.packets[first:last + count], self.extradata,
                            positions=order, rgb=rgb, yuv420=yuv420)
            if len(frames) != len(order):
                raise RuntimeError(f"{self.path}: groups {run} gave {len(frames)} of the "
                                   f"{len(order)} pictures expected")
            for position, frame in zip(order, frames):
                found[positions[position]] = frame
        return [found[i] for i in indices]


def open(path, stream=None):  # noqa: A001 (the package's entry point, as in av.open)
    """Reads a video stream of a container file (MP4/MOV, MKV/WebM, raw Annex B,
    IVF, ...). stream is the container's stream index; by default the best
    video stream."""
    return Clip(path, stream)
