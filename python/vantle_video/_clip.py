"""A video stream of a container, opened lazily: its index of groups of
pictures (made once by one demux pass, or restored from a stored index),
its pictures in display order with their timestamps, and requests for
them by index or time. PyAV reads the container; the library does all
the decoding."""
import math
from fractions import Fraction

import numpy as np

from . import _decoding, _index, _stored_index
from ._orientation import display_matrix, rotation_of, turn_of
from ._pool import thread_count
from ._runtime import Flip, check_probed_size, output_of
from ._source import Source


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
        self._source = Source(source)
        self.path = self._source.path
        self.threads = thread_count(threads)
        self.apply_rotation = bool(apply_rotation)
        if index is not None:
            _stored_index.restore(self, index, stream)  # no demux pass
            self._timeline()
            return
        container = self._source.container()
        try:
            if stream is None:
                chosen = _index.best_video_stream(container)
            else:
                chosen = container.streams[stream]
                if chosen.type != "video":
                    raise ValueError(f"stream {stream} is {chosen.type}, not video")
            self._format_name = container.format.name.split(",")[0]
            self.stream = chosen.index
            self.codec = _index.codec_of_stream(chosen)
            self.width = chosen.codec_context.width
            self.height = chosen.codec_context.height
            check_probed_size(self.codec, self.width, self.height)
            # Not pix_fmt: PyAV 17 crashes on it when the probe found no
            # format, and PyAV 10 raises.
            probed_format = chosen.codec_context.format
            self.pixel_format = probed_format.name if probed_format is not None else None
            matrix = None
            if "mov" in container.format.name.split(","):
                matrix = display_matrix(self._source.read, self._source.size, chosen.id)
            self._orient(matrix)
            rate = chosen.average_rate or chosen.guessed_rate
            self.frame_rate = Fraction(rate.numerator, rate.denominator) if rate else Fraction(25)
            self.time_base = Fraction(chosen.time_base.numerator, chosen.time_base.denominator)
            self.extradata = bytes(chosen.codec_context.extradata or b"")
            _index.build(self, container, chosen)
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
        if len(kept) and (kept != _index.NO_TIME).all():
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

    @property
    def index(self):
        """The clip's index as a StoredIndex, to keep (to_bytes() or pickle)
        and open the same source with again: open(source, index=...)."""
        return _stored_index.of_clip(self)

    def group(self, g):
        """(codec, packets, extradata) of group g, ready for decode(*...);
        reads the group's bytes from the source."""
        return self.codec, _index.group_packets(self, g), self.extradata

    def frames_at(self, indices, format="rgb", size=None, *, threads=None, batch=False):
        """The stream's pictures by display index (0 is the first picture a
        decode of the whole stream outputs, as PyAV and the ffmpeg command
        line number them), in the order asked. Decodes only the groups that
        hold them, each once, on `threads` threads (default: the clip's);
        a leading picture of an open group is decoded in one run with the
        group before it, which it refers to. format and size as in decode;
        size is that of the picture as it comes out (upright by default).
        batch=True returns one FrameBatch of RGB pictures instead of a list."""
        threads = self.threads if threads is None else thread_count(threads)
        return _decoding.frames_at(self, indices, output_of(format, size), threads, batch)

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
