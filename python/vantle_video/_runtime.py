"""The three requests of the C interface, with NumPy arrays that view the
library's own buffers."""
import ctypes
import enum
import weakref

import numpy as np

from ._library import (RuntimeDecodeOptions, RuntimeDecodeRequest, RuntimeDecodeResponse,
                       RuntimeIndexedResponse, RuntimePacket, RuntimeTranscodeRequest,
                       RuntimeTranscodeResponse, VantleVideoError, last_error, library)


class Codec(enum.IntEnum):
    H264 = 0
    AV1 = 1
    H265 = 2
    VP9 = 3
    VP8 = 4


_CODEC_NAMES = {"h264": Codec.H264, "h.264": Codec.H264, "avc": Codec.H264,
                "h265": Codec.H265, "h.265": Codec.H265, "hevc": Codec.H265,
                "av1": Codec.AV1, "vp9": Codec.VP9, "vp8": Codec.VP8}
CODEC_LIST = "H.264, H.265, AV1, VP9 or VP8"

_RGB, _YUV420, _RGB48, _YUV420P16 = 0, 1, 2, 3
_FORMATS = {"rgb": _RGB, "yuv420": _YUV420, "rgb48": _RGB48, "yuv420p16": _YUV420P16}
_FORMAT_NAMES = {code: name for name, code in _FORMATS.items()}
_RESIZABLE = (_RGB, _RGB48)


class Flip(enum.IntFlag):
    """Flips applied after the turn (the C interface's RuntimeFlip bits)."""
    NONE = 0
    HORIZONTAL = 1
    VERTICAL = 2


class ColorRange(enum.IntEnum):
    """AVColorRange, named as FFmpeg prints it (av_color_range_name)."""
    unknown = 0
    tv = 1
    pc = 2


class ColorSpace(enum.IntEnum):
    """AVColorSpace (the matrix), named as FFmpeg prints it with '-' as '_'."""
    gbr = 0
    bt709 = 1
    unknown = 2
    reserved = 3
    fcc = 4
    bt470bg = 5
    smpte170m = 6
    smpte240m = 7
    ycgco = 8
    bt2020nc = 9
    bt2020c = 10
    smpte2085 = 11
    chroma_derived_nc = 12
    chroma_derived_c = 13
    ictcp = 14


class ColorPrimaries(enum.IntEnum):
    """AVColorPrimaries, named as FFmpeg prints them."""
    reserved0 = 0
    bt709 = 1
    unknown = 2
    reserved = 3
    bt470m = 4
    bt470bg = 5
    smpte170m = 6
    smpte240m = 7
    film = 8
    bt2020 = 9
    smpte428 = 10
    smpte431 = 11
    smpte432 = 12
    ebu3213 = 22


class ColorTrc(enum.IntEnum):
    """AVColorTransferCharacteristic, named as FFmpeg prints it with '-' as '_'."""
    reserved0 = 0
    bt709 = 1
    unknown = 2
    reserved = 3
    bt470m = 4
    bt470bg = 5
    smpte170m = 6
    smpte240m = 7
    linear = 8
    log100 = 9
    log316 = 10
    iec61966_2_4 = 11
    bt1361e = 12
    iec61966_2_1 = 13
    bt2020_10 = 14
    bt2020_12 = 15
    smpte2084 = 16
    smpte428 = 17
    arib_std_b67 = 18


def _named(kind, value):
    # A value a newer FFmpeg added stays a plain int rather than failing.
    try:
        return kind(value)
    except ValueError:
        return value


def codec_of(codec):
    """A Codec from a Codec, its value, or a name such as "h264", "hevc", "av1"."""
    if isinstance(codec, str):
        try:
            return _CODEC_NAMES[codec.lower()]
        except KeyError:
            raise ValueError(f"codec {codec!r} is not {CODEC_LIST}") from None
    return Codec(codec)


class _Response:
    """Owns one filled response record. Arrays reach it through their base,
    so it lives while any of them does; when it goes, its finalizer hands the
    whole record to the library's release function, once."""

    __slots__ = ("record", "__weakref__")

    def __init__(self, record, release):
        self.record = record
        finalizer = weakref.finalize(self, _release, release, record)
        # At interpreter exit arrays may still view the buffers: leave them.
        finalizer.atexit = False


def _release(release, record):
    release(ctypes.byref(record))


class _PlaneView:
    """What np.asarray reads: the address and shape of one library buffer,
    plus the owner that keeps the buffer alive."""

    __slots__ = ("__array_interface__", "owner")

    def __init__(self, owner, address, shape, typestr):
        self.owner = owner
        # No strides: C order, rows packed, every stride positive.
        self.__array_interface__ = {"shape": shape, "typestr": typestr, "data": (address, False),
                                    "version": 3}


def _view(owner, buffer, shape, dtype):
    expected = dtype.itemsize
    for extent in shape:
        expected *= extent
    if buffer.len != expected:
        raise AssertionError(f"library buffer of {buffer.len} bytes for shape {shape} {dtype}")
    if expected == 0:
        # An empty buffer's address must not be read.
        return np.empty(shape, dtype=dtype)
    return np.asarray(_PlaneView(owner, buffer.data, shape, dtype.str))


_U8 = np.dtype("|u1")
_U16 = np.dtype("<u2")  # the library's 16-bit samples are little-endian


class Frame:
    """One decoded picture. `format` "rgb": `rgb` is an H x W x 3 uint8 array;
    "rgb48": the same in uint16 at the source's precision. "yuv420": `y`
    (H x W), `u` and `v` (ceil(H/2) x ceil(W/2)) uint8; "yuv420p16": the
    same in uint16, the source's range kept. The colour fields are
    ColorRange, ColorSpace, ColorPrimaries and ColorTrc members (plain ints
    for values they do not name). `packet_index` is set by decode_indexed;
    `index`, `pts_seconds` and `duration_seconds` by a Clip."""

    __slots__ = ("format", "width", "height", "rgb", "y", "u", "v", "color_range", "color_space",
                 "color_primaries", "color_trc", "packet_index", "index", "pts_seconds",
                 "duration_seconds")

    def __init__(self, owner, record, packet_index=None):
        self.width = record.width
        self.height = record.height
        self.color_range = _named(ColorRange, record.color_range)
        self.color_space = _named(ColorSpace, record.color_space)
        self.color_primaries = _named(ColorPrimaries, record.color_primaries)
        self.color_trc = _named(ColorTrc, record.color_trc)
        self.packet_index = packet_index
        self.index = self.pts_seconds = self.duration_seconds = None
        self.format = _FORMAT_NAMES.get(record.format, "rgb")
        dtype = _U16 if self.format in ("rgb48", "yuv420p16") else _U8
        if self.format in ("rgb", "rgb48"):
            self.rgb = _view(owner, record.rgb, (self.height, self.width, 3), dtype)
            self.y = self.u = self.v = None
        else:
            self.rgb = None
            chroma = ((self.height + 1) // 2, (self.width + 1) // 2)
            self.y = _view(owner, record.y, (self.height, self.width), dtype)
            self.u = _view(owner, record.u, chroma, dtype)
            self.v = _view(owner, record.v, chroma, dtype)

    @property
    def planes(self):
        """(y, u, v) of a YUV 4:2:0 frame (8 or 16 bits)."""
        return self.y, self.u, self.v

    def __array__(self, dtype=None, copy=None):
        """NumPy 1 and 2: the RGB array itself, unless a dtype or copy=True
        asks for a new one; copy=False with another dtype raises."""
        if self.rgb is None:
            raise TypeError("a YUV 4:2:0 frame has three planes: use frame.y, frame.u, frame.v")
        converts = dtype is not None and np.dtype(dtype) != self.rgb.dtype
        if converts and copy is False:
            raise ValueError(f"{self.rgb.dtype} pixels cannot be viewed as {np.dtype(dtype)} "
                             "without a copy")
        if converts:
            return self.rgb.astype(dtype)
        return self.rgb.copy() if copy else self.rgb

    def __repr__(self):
        extra = "" if self.packet_index is None else f", packet {self.packet_index}"
        if self.index is not None:
            extra += f", picture {self.index} at {self.pts_seconds:.6g} s"
        colour = "/".join(getattr(v, "name", str(v)) for v in (
            self.color_range, self.color_space, self.color_primaries, self.color_trc))
        return f"Frame({self.format} {self.width}x{self.height}, colour {colour}{extra})"


def _address(buffer):
    """Address and length of a contiguous bytes-like object, without a copy.
    The returned array keeps the object alive for the call."""
    array = np.frombuffer(buffer, dtype=np.uint8)
    if array.size == 0:
        return None, 0, array
    return array.ctypes.data, array.size, array


def _fill_request(request, codec, packets, extradata, positions, keep):
    request.codec = codec_of(codec)
    if extradata is not None and memoryview(extradata).nbytes:
        request.extradata, request.extradata_len, held = _address(extradata)
        keep.append(held)
    packets = list(packets)
    records = (RuntimePacket * len(packets))()
    for record, packet in zip(records, packets):
        record.data, record.len, held = _address(packet)
        keep.append(held)
    keep.append(records)
    request.packets = records
    request.packet_count = len(packets)
    if positions is not None:
        positions = [int(p) for p in positions]
        if any(p < 0 for p in positions):
            raise ValueError("positions are counted from 0")
        selected = (ctypes.c_size_t * len(positions))(*positions)
        keep.append(selected)
        request.selected_positions = selected
        request.selected_position_count = len(positions)


def _u32(name, value):
    value = int(value)
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{name}: {value} does not fit the request's 32-bit field")
    return value


def _call(function, *records):
    if function(*(ctypes.byref(record) for record in records)) != 0:
        # Read on the same thread, before anything else calls the library.
        message = last_error()
        # The system's ENOMEM text: the library or FFmpeg found no memory,
        # which Python hosts handle as they handle their own.
        if "Cannot allocate memory" in message:
            raise MemoryError(message)
        raise VantleVideoError(message)


def output_of(format="rgb", size=None, rgb=None, yuv420=None):
    """(pixel format code, (width, height) or None) from the format/size
    arguments or the older rgb=/yuv420= ones (rgb=(width, height) resizes).
    Only RGB output ("rgb", "rgb48") is resized."""
    if yuv420:
        format = "yuv420"
    elif isinstance(rgb, (tuple, list)):
        format, size = "rgb", rgb
    elif rgb is False:
        raise ValueError("ask for format='rgb' or format='yuv420'")
    if format not in _FORMATS:
        raise ValueError(f"format {format!r} is not one of {', '.join(map(repr, _FORMATS))}")
    if size is not None:
        if _FORMATS[format] not in _RESIZABLE:
            raise ValueError("size resizes RGB output only")
        size = tuple(_u32("size", n) for n in size)
        if len(size) != 2:
            raise ValueError("size is (width, height)")
    return _FORMATS[format], size


def decode(codec, packets, extradata=b"", positions=None, format="rgb", size=None, *, rotation=0,
           flip=Flip.NONE, rgb=None, yuv420=None):
    """Decodes one run of access units (decode order; typically one group of
    pictures) and returns the pictures at the output positions asked for
    (all when positions is None), in output order.

    format="rgb" gives 8-bit RGB, at size=(width, height) when given, else
    at the decoded size; "rgb48" 16-bit RGB, resized the same way;
    "yuv420" the three YUV 4:2:0 planes, "yuv420p16" the same in 16 bits.
    The older rgb=(width, height) and yuv420=True still work.

    rotation (clockwise degrees: 0, 90, 180, 270) and flip (Flip bits,
    applied after the turn) turn each stored picture before it is converted,
    as the ffmpeg command line's autorotation does; size is then the size of
    the turned picture. The arrays view the library's buffers; the response
    is released when the last of them is gone. The library runs without the
    GIL, so threads decode in parallel."""
    pixel_format, size = output_of(format, size, rgb, yuv420)
    rotation, flip = int(rotation), int(flip)
    if rotation not in (0, 90, 180, 270):
        raise ValueError(f"rotation {rotation} is not 0, 90, 180 or 270")
    if not 0 <= flip <= Flip.HORIZONTAL | Flip.VERTICAL:
        raise ValueError(f"flip {flip} has bits other than Flip.HORIZONTAL and Flip.VERTICAL")
    lib = library()
    request = RuntimeDecodeRequest()
    keep = []
    _fill_request(request, codec, packets, extradata, positions, keep)
    request.pixel_format = pixel_format
    if size is not None:
        request.output_width, request.output_height = size
    response = RuntimeDecodeResponse()
    if rotation or flip:
        options = RuntimeDecodeOptions(ctypes.sizeof(RuntimeDecodeOptions), rotation, flip, 0)
        _call(lib.vantle_video_runtime_decode_with_options, request, options, response)
    else:
        _call(lib.vantle_video_runtime_decode, request, response)
    owner = _Response(response, lib.vantle_video_runtime_free_response)
    return [Frame(owner, response.frames[i]) for i in range(response.frame_count)]


def decode_indexed(codec, packets, extradata=b"", format="yuv420"):
    """Decodes an H.264 or H.265 run and returns every picture as YUV 4:2:0
    (format "yuv420", or "yuv420p16" for 16 bits), each with `packet_index`,
    the index of the packet that produced it."""
    if format not in ("yuv420", "yuv420p16"):
        raise ValueError(f"format {format!r} is not 'yuv420' or 'yuv420p16'")
    lib = library()
    request = RuntimeDecodeRequest()
    keep = []
    _fill_request(request, codec, packets, extradata, None, keep)
    request.pixel_format = _FORMATS[format]
    response = RuntimeIndexedResponse()
    _call(lib.vantle_video_runtime_decode_indexed, request, response)
    owner = _Response(response, lib.vantle_video_runtime_free_indexed_response)
    frames = []
    for i in range(response.frame_count):
        record = response.frames[i]
        frames.append(Frame(owner, record.frame, record.packet_index))
    return frames


def transcode_h264(codec, packets, extradata=b"", positions=(0,), frame_rate=(25, 1),
                   bit_rate=0):
    """Re-encodes the pictures at the given display positions as one new
    H.264 group of pictures; returns its Annex B access units as bytes, the
    first a key frame. frame_rate is (numerator, denominator) or a Fraction; bit_rate 0
    leaves it to the encoder."""
    lib = library()
    request = RuntimeTranscodeRequest()
    keep = []
    _fill_request(request.decode, codec, packets, extradata, positions, keep)
    if hasattr(frame_rate, "numerator"):  # a Fraction, such as Clip.frame_rate
        frame_rate = (frame_rate.numerator, frame_rate.denominator)
    request.frame_rate_num, request.frame_rate_den = (_u32("frame_rate", n) for n in frame_rate)
    request.bit_rate = int(bit_rate)
    response = RuntimeTranscodeResponse()
    _call(lib.vantle_video_runtime_transcode_h264, request, response)
    try:
        return [ctypes.string_at(response.access_units[i].data, response.access_units[i].len)
                for i in range(response.access_unit_count)]
    finally:
        lib.vantle_video_runtime_free_transcode_response(ctypes.byref(response))


def release_kept_memory():
    """Gives back to the system the buffers and idle decoders the library
    keeps for reuse, of every thread, that no call is using now: for when a
    worker goes idle, before a fork, or under memory pressure."""
    library().vantle_video_runtime_release_kept_memory()


def set_kept_memory_limit(limit):
    """Bounds what the whole process keeps for reuse to `limit` bytes (the
    library's default is 256 MiB) and trims to it at once; 0 keeps nothing
    between calls."""
    limit = int(limit)
    if not 0 <= limit < 1 << 64:
        raise ValueError(f"kept memory limit {limit} is not 0 to 2**64 - 1 bytes")
    library().vantle_video_runtime_set_kept_memory_limit(limit)


def _u64(name, value):
    value = int(value)
    if not 0 <= value < 1 << 64:
        raise ValueError(f"{name} {value} is not 0 to 2**64 - 1")
    return value


def set_picture_area_limit(pixels):
    """Bounds the pixels (width x height) of any picture a stream may declare
    (the library's default admits 8192 x 4320); larger ones are refused with
    VantleVideoError before they are decoded. 0 leaves FFmpeg's own limit."""
    library().vantle_video_runtime_set_picture_area_limit(_u64("picture area limit", pixels))


def set_response_limit(limit):
    """Bounds the bytes of pixels one call may return (the library's default
    is 4 GiB); a call over it raises VantleVideoError. 0 means no bound."""
    library().vantle_video_runtime_set_response_limit(_u64("response limit", limit))
