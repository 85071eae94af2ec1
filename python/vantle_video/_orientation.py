"""The display matrix of an MP4/MOV track, read from the container's bytes
(PyAV 10 does not expose it), and the turn the ffmpeg command line's
autorotation makes of it."""
import math

from ._runtime import Flip

_IDENTITY = (1 << 16, 0, 0, 0, 1 << 16, 0, 0, 0, 1 << 30)
# Boxes on the way from the file's top to tkhd; nothing else is opened.
_CONTAINERS = {b"moov", b"trak"}


def _boxes(read, start, end):
    """(type, payload start, box end) of each box between start and end;
    read(offset, length) gives the source's bytes."""
    while start + 8 <= end:
        head = bytes(read(start, 16))
        if len(head) < 8:
            return
        size, kind = int.from_bytes(head[:4], "big"), head[4:8]
        header = 8
        if size == 1:
            if len(head) < 16:
                return
            size, header = int.from_bytes(head[8:16], "big"), 16
        elif size == 0:
            size = end - start  # to the end of the file
        if size < header:
            return
        yield kind, start + header, min(start + size, end)
        start += size


def _matrix_at(payload, offset):
    return [int.from_bytes(payload[offset + 4 * i:offset + 4 * i + 4], "big", signed=True)
            for i in range(9)]


def _wrap32(value):
    return (value + (1 << 31)) % (1 << 32) - (1 << 31)


def display_matrix(read, size, track_id):
    """The display matrix FFmpeg's MOV demuxer gives the track whose tkhd
    has track_id (its stream id): the tkhd matrix times the mvhd one, in
    FFmpeg's fixed point; None when it is the identity or not found."""
    movie, tracks = list(_IDENTITY), {}

    def walk(start, end):
        nonlocal movie
        for kind, payload_start, box_end in _boxes(read, start, end):
            if kind in _CONTAINERS:
                walk(payload_start, box_end)
            elif kind in (b"mvhd", b"tkhd"):
                payload = bytes(read(payload_start, min(box_end - payload_start, 96)))
                version = payload[0] if payload else 0
                if kind == b"mvhd" and len(payload) >= (84 if version == 1 else 72):
                    movie = _matrix_at(payload, 48 if version == 1 else 36)
                elif kind == b"tkhd" and len(payload) >= (88 if version == 1 else 76):
                    track = int.from_bytes(payload[20:24] if version == 1 else payload[12:16],
                                           "big")
                    tracks[track] = _matrix_at(payload, 52 if version == 1 else 40)

    walk(0, size)
    track = tracks.get(track_id)
    if track is None:
        return None
    # As mov.c does: the movie's matrix applied after the track's, each
    # product shifted by its row's fixed-point scale.
    shifts = (16, 16, 30)
    result = []
    for i in range(3):
        for j in range(3):
            result.append(_wrap32(sum((track[3 * i + e] * movie[3 * e + j]) >> shifts[e]
                                      for e in range(3))))
    return None if tuple(result) == _IDENTITY else result


def rotation_of(matrix):
    """av_display_rotation_get: the counterclockwise angle in degrees that
    ffprobe shows as the stream's rotation; 0 without a matrix (NaN for a
    degenerate one)."""
    if matrix is None:
        return 0.0
    x = [v / 65536.0 for v in matrix]
    scale = (math.hypot(x[0], x[3]), math.hypot(x[1], x[4]))
    if scale[0] == 0 or scale[1] == 0:
        return math.nan
    return -math.degrees(math.atan2(x[1] / scale[1], x[0] / scale[0])) + 0.0


def _c_round(value):
    return math.copysign(math.floor(abs(value) + 0.5), value)


def turn_of(matrix):
    """(clockwise rotation, Flip) that make the stored picture upright, as
    the ffmpeg command line's autorotation does: transpose for quarter turns
    (with a flip where the matrix mirrors), hflip/vflip for half turns and
    mirrors; angles that are not quarter turns are left as stored."""
    angle = rotation_of(matrix)
    if matrix is None or math.isnan(angle):
        return 0, Flip.NONE
    theta = -_c_round(angle)
    theta -= 360 * math.floor(theta / 360 + 0.9 / 360)
    if abs(theta - 90) < 1:
        return 90, Flip.HORIZONTAL if matrix[3] > 0 else Flip.NONE
    if abs(theta - 180) < 1:
        return 0, ((Flip.HORIZONTAL if matrix[0] < 0 else Flip.NONE) |
                   (Flip.VERTICAL if matrix[4] < 0 else Flip.NONE))
    if abs(theta - 270) < 1:
        return 270, Flip.HORIZONTAL if matrix[3] < 0 else Flip.NONE
    if abs(theta) < 1:
        return 0, Flip.VERTICAL if matrix[4] < 0 else Flip.NONE
    return 0, Flip.NONE
