"""A video stream of a container as an index of its groups of pictures:
where each access unit lies in the source, its timestamps and key flag,
made once by one demux pass. A group's bytes are read when it is decoded.
PyAV reads the container; the library does all the decoding."""
import array
import bisect
import math
import os
import threading
import zlib
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction

import av
import numpy as np

from . import _batch, _prefix, _stored_index
from ._orientation import display_matrix, rotation_of, turn_of
from ._runtime import _FORMAT_NAMES, CODEC_LIST, Codec, Flip, decode, output_of

# H.265 NAL unit types of random-access skipped leading pictures, which refer
# to the group before their CRA picture.
_H265_RASL = (8, 9)
_H264_IDR = 5
# PyAV 17 dropped the AVError alias; FFmpegError is in both 10 and 17.
_AV_ERROR = getattr(av, "FFmpegError", None) or av.AVError


def _codec_of_stream(stream):
    name = stream.codec_context.codec.name
    ids = {}
    for codec, decoders in ((Codec.H264, ("h264",)), (Codec.H265, ("hevc",)),
                            (Codec.AV1, ("av1", "libdav1d", "libaom-av1")),
                            (Codec.VP9, ("vp9", "libvpx-vp9")), (Codec.VP8, ("vp8", "libvpx"))):
        for decoder in decoders:
            try:
                ids[av.codec.Codec(decoder, "r").id] = codec
            except Exception:  # a decoder this FFmpeg lacks
                continue
    codec = ids.get(stream.codec_context.codec.id)
    if codec is None:
        raise ValueError(f"codec {name} is not {CODEC_LIST}")
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


class _Source:
    """Positional reads of a path, a bytes-like object or a binary file
    object. Reads of a file object are serialised, as it has one position."""

    def __init__(self, source):
        self.path = self.data = self.file = None
        self._fd = None
        self._lock = threading.Lock()
        if isinstance(source, (str, os.PathLike)):
            self.path = os.fspath(source)
            self.size = os.path.getsize(self.path)
        elif hasattr(source, "read") and hasattr(source, "seek"):
            if isinstance(source.read(0), str):
                raise TypeError("a file object source must be opened in binary mode")
            self.file = source
            self.size = source.seek(0, os.SEEK_END)
        else:
            try:
                self.data = memoryview(source).cast("B")
            except TypeError:
                raise TypeError(f"a source is a path, bytes-like or a binary file object, "
                                f"not {type(source).__name__}") from None
            self.size = len(self.data)

    def describe(self):
        if self.path is not None:
            return repr(self.path)
        return f"<{'file object' if self.file is not None else 'bytes'} of {self.size} bytes>"

    def read(self, offset, length):
        """Up to `length` bytes from `offset` (a memoryview of bytes sources)."""
        length = max(0, min(length, self.size - offset))
        if self.data is not None:
            return self.data[offset:offset + length]
        if self.file is not None:
            with self._lock:
                self.file.seek(offset)
                return self.file.read(length)
        if self._fd is None:
            with self._lock:
                if self._fd is None:
                    self._fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        pieces = []
        while length > 0:
            piece = os.pread(self._fd, length, offset)
            if not piece:
                break
            pieces.append(piece)
            offset += len(piece)
            length -= len(piece)
        return pieces[0] if len(pieces) == 1 else b"".join(pieces)

    def container(self, format_name=None):
        """A PyAV container reading this source."""
        if self.path is not None:
            return av.open(self.path, format=format_name)
        return av.open(_Reader(self), format=format_name)

    def __del__(self):
        if self._fd is not None:
            os.close(self._fd)

    def __getstate__(self):
        # A file object cannot travel: its bytes do.
        if self.path is not None:
            return {"path": self.path}
        return {"data": bytes(self.read(0, self.size))}

    def __setstate__(self, state):
        self.__init__(state.get("path") or state["data"])


class _Reader:
    """The file interface PyAV reads through, over a _Source, with a
    position of its own so that several readers share one source."""

    def __init__(self, source):
        self.source, self.position = source, 0

    def read(self, length=-1):
        if length is None or length < 0:
            length = self.source.size - self.position
        data = bytes(self.source.read(self.position, length))
        self.position += len(data)
        return data

    def seek(self, offset, whence=os.SEEK_SET):
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self.position, os.SEEK_END: self.source.size}[whence]
        self.position = base + offset
        return self.position

    def tell(self):
        return self.position


_NO_TIME = np.iinfo(np.int64).min
# Packets this close together are read in one piece (container framing
# between them is a few bytes; another stream's data is usually more).
_MERGE_GAP = 512
_POOLS, _POOLS_LOCK = {}, threading.Lock()


def _pool(threads):
    # One lasting pool per size: the library keeps decoders per thread, and
    # threads that outlive a request find theirs again.
    with _POOLS_LOCK:
        if threads not in _POOLS:
            _POOLS[threads] = ThreadPoolExecutor(threads, thread_name_prefix="vantle_video")
        return _POOLS[threads]


if hasattr(os, "register_at_fork"):
    # A child has none of its parent's threads.
    os.register_at_fork(after_in_child=_POOLS.clear)


class Clip:
    """One video stream of a container: its index of access units in decode
    order, cut into groups that each start at a key frame (units before the
    first key frame cannot be decoded on their own and are left out), and
    its pictures in display order, with their timestamps.

    Picks up from a path, bytes-like object or binary file object; pickles
    as its source (the path, or the bytes: a file object's are read) and its
    index, so that a worker given one reads only the groups it decodes.

    Pictures come upright, turned as the container's display matrix says,
    unless apply_rotation is False; width and height are those of the
    pictures as they come out."""

    def __init__(self, source, stream=None, threads=1, apply_rotation=True, *, index=None):
        self._source = _Source(source)
        self.path = self._source.path
        self.threads = _threads(threads)
        self.apply_rotation = bool(apply_rotation)
        if index is not None:
            _stored_index.restore(self, index, stream)  # no demux pass
            self._timeline()
            return
        container = self._source.container()
        try:
            if stream is None:
                chosen = _best_video_stream(container)
            else:
                chosen = container.streams[stream]
                if chosen.type != "video":
                    raise ValueError(f"stream {stream} is {chosen.type}, not video")
            self._format_name = container.format.name.split(",")[0]
            self.stream = chosen.index
            self.codec = _codec_of_stream(chosen)
            self.width = chosen.codec_context.width
            self.height = chosen.codec_context.height
            self.pixel_format = chosen.codec_context.pix_fmt
            matrix = None
            if "mov" in container.format.name.split(","):
                matrix = display_matrix(self._source.read, self._source.size, chosen.id)
            self._orient(matrix)
            rate = chosen.average_rate or chosen.guessed_rate
            self.frame_rate = Fraction(rate.numerator, rate.denominator) if rate else Fraction(25)
            self.time_base = Fraction(chosen.time_base.numerator, chosen.time_base.denominator)
            self.extradata = bytes(chosen.codec_context.extradata or b"")
            self._index(container, chosen)
        finally:
            container.close()
        self._timeline()

    def _orient(self, matrix):
        """rotation (ffprobe's value) and the turn that makes pictures
        upright, from an MP4/MOV track's display matrix (None: none);
        width and height are the stored ones until then."""
        self._matrix = matrix  # kept for the stored index
        angle = rotation_of(matrix)
        self.rotation = 0.0 if math.isnan(angle) else angle
        self._turn = turn_of(matrix) if self.apply_rotation else (0, Flip.NONE)
        if self._turn[0] in (90, 270):
            self.width, self.height = self.height, self.width

    def _index(self, container, chosen):
        offsets, sizes, pts, dts = (array.array("q") for _ in range(4))
        crcs, firsts, leading, shown = array.array("L"), [], [], array.array("b")
        counting = False
        length_size = self._length_size()
        for packet in container.demux(chosen):
            if packet.size == 0:
                continue
            key = packet.is_keyframe
            if key:
                firsts.append(len(sizes))
                leading.append(0)
                # AV1, VP9 and VP8 key frames start closed groups.
                counting = self.codec in (Codec.H264, Codec.H265)
                if self.codec == Codec.H264:
                    # Only after a recovery point, not an IDR, do B pictures lead.
                    kind = _first_slice(self.codec, bytes(packet), length_size)
                    counting = kind is not None and kind[0] != _H264_IDR
            elif not firsts:
                continue
            elif counting:
                piece = _first_slice(self.codec, bytes(packet), length_size)
                if self.codec == Codec.H265:
                    leading[-1] += bool(piece and piece[0] in _H265_RASL)
                elif piece is not None and _first_ue_values(piece[1], 2)[1] % 5 == 1:
                    leading[-1] += 1  # a B slice
                else:
                    counting = False
            sizes.append(packet.size)
            # Invisible VP8/VP9 packets have timestamps of their own but no
            # picture: they are decoded, not counted.
            shown.append(_shows_picture(self.codec, packet))
            crcs.append(zlib.crc32(packet))
            offsets.append(self._locate(packet))
            pts.append(_NO_TIME if packet.pts is None else packet.pts)
            dts.append(_NO_TIME if packet.dts is None else packet.dts)
        if not firsts:
            raise ValueError(f"{self._source.describe()}: no key frame in the video stream")
        self._offsets, self._sizes, self._pts, self._dts = (
            np.frombuffer(a, dtype=np.int64) for a in (offsets, sizes, pts, dts))
        self._crcs = np.frombuffer(crcs, dtype=np.uint32 if crcs.itemsize == 4 else np.uint64)
        counts = np.diff(firsts + [len(sizes)])
        self.groups = [(int(f), int(c)) for f, c in zip(firsts, counts)]
        self._leading = leading
        self._shown = np.frombuffer(shown, dtype=np.int8).astype(bool)
        # Pictures each group outputs.
        self._pictures = [int(self._shown[f:f + c].sum()) for f, c in self.groups]

    def _locate(self, packet):
        """Where the packet's bytes lie in the source, or -1. Demuxers report
        the position of the unit's framing (IVF's frame header, Matroska's
        block), so its bytes start a few bytes after it; a unit spread over
        pieces (MPEG-TS) is not found and is read through the demuxer."""
        if packet.pos is None or packet.pos < 0:
            return -1
        head = bytes(memoryview(packet)[:16])
        window = bytes(self._source.read(packet.pos, 64 + len(head)))
        found = window.find(head)
        return -1 if found < 0 else packet.pos + found

    def _timeline(self):
        # A decode from the stream's start loses the first group's leading
        # pictures, as a run that starts at any group does.
        starts, total = [], 0
        for g, count in enumerate(self._pictures):
            starts.append(total)
            total += count - (self._leading[g] if g == 0 else 0)
        self._display_starts = starts
        self.frame_count = total
        period = 1 / float(self.frame_rate)
        first = self.groups[0][0]
        kept = self._pts[first:][self._shown[first:]]
        if len(kept) and (kept != _NO_TIME).all():
            # Display order is timestamp order; the lost leading pictures
            # come first.
            shown = np.sort(kept)[self._leading[0]:]
            self.pts_seconds = shown * float(self.time_base)
        else:
            # As the ffmpeg command line numbers a stream without timestamps.
            self.pts_seconds = np.arange(total) * period
        self.durations_seconds = np.append(np.diff(self.pts_seconds), period)
        end = self.pts_seconds[-1] + self.durations_seconds[-1]
        self.duration_seconds = float(end - self.pts_seconds[0])

    def __repr__(self):
        turned = f", rotation {self.rotation:g}" if self.rotation else ""
        return (f"Clip({self._source.describe()}, {self.codec.name} {self.pixel_format}, "
                f"{self.width}x{self.height}{turned}, "
                f"{self.frame_count} pictures in {len(self.groups)} groups, "
                f"{float(self.frame_rate):.6g} fps)")

    def __len__(self):
        return self.frame_count

    def __getitem__(self, key):
        if isinstance(key, slice):
            return self.frames_at(range(*key.indices(self.frame_count)))
        index = int(key)
        return self.frames_at([index + self.frame_count if index < 0 else index])[0]

    def __getstate__(self):
        return dict(self.__dict__)

    def __setstate__(self, state):
        self.__dict__.update(state)

    @property
    def index(self):
        """The clip's index as a StoredIndex, to keep (to_bytes() or pickle)
        and open the same source with again: open(source, index=...)."""
        return _stored_index.of_clip(self)

    def group(self, g):
        """(codec, packets, extradata) of group g, ready for decode(*...);
        reads the group's bytes from the source."""
        return self.codec, self._packets(g), self.extradata

    def _packets(self, g):
        first, count = self.groups[g]
        end = first + count
        offsets = self._offsets[first:end]
        if (offsets >= 0).all():
            packets = self._read_located(offsets, self._sizes[first:end])
            if all(zlib.crc32(p) == c for p, c in zip(packets, self._crcs[first:end])):
                return packets
        return self._demux_group(first, count)

    def _read_located(self, offsets, sizes):
        order = np.argsort(offsets, kind="stable")
        packets = [None] * len(offsets)
        i = 0
        while i < len(order):
            start = end = int(offsets[order[i]])
            j = i
            while j < len(order) and int(offsets[order[j]]) <= end + _MERGE_GAP:
                end = max(end, int(offsets[order[j]] + sizes[order[j]]))
                j += 1
            piece = memoryview(self._source.read(start, end - start))
            for k in order[i:j]:
                at = int(offsets[k]) - start
                packets[k] = piece[at:at + int(sizes[k])]
            i = j
        return packets

    def _demux_group(self, first, count):
        """The group's packets through the demuxer: from a seek to its key
        frame when the stream has timestamps, else (or when the seek lands
        past it) from the start."""
        wanted = (int(self._pts[first]), int(self._dts[first]), int(self._sizes[first]),
                  int(self._crcs[first]))
        for seek in (wanted[0] != _NO_TIME, False):
            container = self._source.container(self._format_name)
            try:
                stream = container.streams[self.stream]
                if seek:
                    try:
                        container.seek(wanted[0], stream=stream, backward=True)
                    except _AV_ERROR:
                        continue
                packets = []
                for packet in container.demux(stream):
                    if packet.size == 0:
                        continue
                    if not packets:
                        here = (_NO_TIME if packet.pts is None else packet.pts,
                                _NO_TIME if packet.dts is None else packet.dts, packet.size)
                        if here + (zlib.crc32(packet),) != wanted:
                            if seek and wanted[1] != _NO_TIME and here[1] > wanted[1]:
                                break  # past it: try from the start
                            continue
                    packets.append(bytes(packet))
                    if len(packets) == count:
                        return packets
            finally:
                container.close()
        raise RuntimeError(f"{self._source.describe()}: the demuxer no longer gives packet "
                           f"{first} of the index")

    def _length_size(self):
        extra = self.extradata
        # avcC and hvcC start with configuration version 1; Annex B with 0.
        if len(extra) > 4 and extra[0] == 1 and self.codec == Codec.H264:
            return (extra[4] & 3) + 1
        if len(extra) > 21 and extra[0] == 1 and self.codec == Codec.H265:
            return (extra[21] & 3) + 1
        return None

    def frames_at(self, indices, format="rgb", size=None, *, threads=None, rgb=None,
                  yuv420=None, batch=False):
        """The stream's pictures by display index (0 is the first picture a
        decode of the whole stream outputs, as PyAV and the ffmpeg command
        line number them), in the order asked. Decodes only the groups that
        hold them, each once, on `threads` threads (default: the clip's);
        a leading picture of an open group is decoded in one run with the
        group before it, which it refers to. format and size as in decode;
        size is that of the picture as it comes out (upright by default).
        batch=True returns one FrameBatch of RGB pictures instead of a list."""
        output = output_of(format, size, rgb, yuv420)
        if batch:
            _batch.check_format(_FORMAT_NAMES[output[0]])
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
        threads = self.threads if threads is None else _threads(threads)
        # Lazily, so that a batch takes in each run's pictures as it comes.
        if threads > 1 and len(runs) > 1:
            done = _pool(threads).map(lambda run: self._decode_run(run, wanted, output), runs)
        else:
            done = (self._decode_run(run, wanted, output) for run in runs)
        if batch:
            return _batch.collect(indices, done, self, _FORMAT_NAMES[output[0]])
        found = {}
        for part in done:
            found.update(part)
        return [found[i] for i in indices]

    def _decode_run(self, run, wanted, output):
        positions, base = {}, 0
        for k, g in enumerate(run):
            # The run's first group loses its leading pictures; the others
            # keep them, after every picture of the group before.
            shift = self._leading[g] if k == 0 and g > 0 else 0
            for p in wanted.get(g, ()):
                positions[base + p - shift] = self._display_starts[g] + p
            base += self._pictures[g] - (self._leading[g] if k == 0 else 0)
        packets = [p for g in run for p in self._packets(g)]
        order = sorted(positions)
        first = self.groups[run[0]][0]
        end = first + len(packets)
        # The run stops after the last picture wanted, when times say where.
        # Not for H.264: FFmpeg's decoder drops or delays pictures of a run
        # cut short after a recovery point, so positions would shift.
        cut = None if self.codec == Codec.H264 else _prefix.cut(
            self._pts[first:end], self._leading[run[0]], order, self._shown[first:end])
        count, selected = cut if cut else (len(packets), order)
        pixel_format, size = output
        rotation, flip = self._turn
        frames = decode(self.codec, packets[:count], self.extradata, positions=selected,
                        format=_FORMAT_NAMES[pixel_format], size=size, rotation=rotation,
                        flip=flip)
        if len(frames) != len(order):
            raise RuntimeError(f"{self._source.describe()}: groups {run} gave {len(frames)} of "
                               f"the {len(order)} pictures expected")
        found = {}
        for position, frame in zip(order, frames):
            index = positions[position]
            frame.index = index
            frame.pts_seconds = float(self.pts_seconds[index])
            frame.duration_seconds = float(self.durations_seconds[index])
            found[index] = frame
        return found

    def frames_played_at(self, seconds, format="rgb", size=None, *, threads=None, batch=False):
        """For each time t (seconds), the picture whose display interval
        [pts_seconds, pts_seconds + duration_seconds) holds it; a time before
        the first picture or past the last one raises ValueError."""
        times = np.asarray(seconds, dtype=np.float64).reshape(-1)
        indices = np.searchsorted(self.pts_seconds, times, side="right") - 1
        for t, i in zip(times, indices):
            if i < 0 or t >= self.pts_seconds[i] + self.durations_seconds[i]:
                raise ValueError(f"{t} s is outside the pictures' "
                                 f"[{self.pts_seconds[0]}, {self.pts_seconds[0] + self.duration_seconds}) s")
        return self.frames_at(indices, format, size, threads=threads, batch=batch)


def _threads(threads):
    threads = int(threads)
    if threads < 1:
        raise ValueError(f"threads is at least 1, not {threads}")
    return threads


def _first_slice(codec, packet, length_size):
    """(NAL unit type, payload after the NAL header) of the first picture
    slice of an access unit, or None."""
    for nal in _nal_units(packet, length_size):
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


def _shows_picture(codec, packet):
    """Whether a packet outputs a picture: VP8 invisible (alt-ref) frames and
    VP9 packets of hidden frames only do not."""
    data = memoryview(packet).cast("B")
    if codec == Codec.VP8:
        return len(data) < 3 or bool(data[0] & 0x10)  # show_frame of the frame tag
    if codec == Codec.VP9 and len(data):
        return any(_vp9_frame_shows(frame) for frame in _vp9_frames(data))
    return True


# noqa: A001 below: the package's entry point, named as av.open.
def open(source, stream=None, threads=1, apply_rotation=True, *, index=None):  # noqa: A001
    """Indexes a video stream of a container (MP4/MOV, MKV/WebM, raw Annex B,
    IVF, MPEG-TS, ...) given as a path, a bytes-like object or a binary file
    object. stream is the container's stream index; by default the best
    video stream. threads is how many groups frames_at decodes at once.
    Pictures come upright as the display matrix says (as the ffmpeg command
    line's autorotation), or as stored with apply_rotation=False.
    index, a Clip.index or its bytes, replaces the demux pass; one that does
    not match the source raises StaleIndexError."""
    return Clip(source, stream, threads, apply_rotation, index=index)
