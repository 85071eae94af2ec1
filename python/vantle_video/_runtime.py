"""The three requests of the C interface and the process-wide settings."""
import ctypes
import enum

import numpy as np

from ._frame import FORMATS, Frame, _Response
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

_RESIZABLE = (FORMATS["rgb"], FORMATS["rgb48"])


class Flip(enum.IntFlag):
    """Flips applied after the turn (the C interface's RuntimeFlip bits)."""
    NONE = 0
    HORIZONTAL = 1
    VERTICAL = 2


def codec_of(codec):
    """A Codec from a Codec, its value, or a name such as "h264", "hevc", "av1"."""
    if isinstance(codec, str):
        try:
            return _CODEC_NAMES[codec.lower()]
        except KeyError:
            raise ValueError(f"codec {codec!r} is not {CODEC_LIST}") from None
    return Codec(codec)


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


def output_of(format="rgb", size=None):
    """(pixel format code, (width, height) or None) from the format and size
    arguments. Only RGB output ("rgb", "rgb48") is resized."""
    if format not in FORMATS:
        raise ValueError(f"format {format!r} is not one of {', '.join(map(repr, FORMATS))}")
    if size is not None:
        if FORMATS[format] not in _RESIZABLE:
            raise ValueError("size resizes RGB output only")
        size = tuple(_u32("size", n) for n in size)
        if len(size) != 2:
            raise ValueError("size is (width, height)")
    return FORMATS[format], size


def decode(codec, packets, extradata=b"", positions=None, format="rgb", size=None, *, rotation=0,
           flip=Flip.NONE):
    """Decodes one run of access units (decode order; typically one group of
    pictures) and returns the pictures at the output positions asked for
    (all when positions is None), in output order.

    format="rgb" gives 8-bit RGB, at size=(width, height) when given, else
    at the decoded size; "rgb48" 16-bit RGB, resized the same way;
    "yuv420" the three YUV 4:2:0 planes, "yuv420p16" the same in 16 bits.

    rotation (clockwise degrees: 0, 90, 180, 270) and flip (Flip bits,
    applied after the turn) turn each stored picture before it is converted,
    as the ffmpeg command line's autorotation does; size is then the size of
    the turned picture. The arrays view the library's buffers; the response
    is released when the last of them is gone. The library runs without the
    GIL, so threads decode in parallel."""
    pixel_format, size = output_of(format, size)
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
    request.pixel_format = FORMATS[format]
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
    library().vantle_video_runtime_set_kept_memory_limit(
        _u64("kept memory limit", limit, " bytes"))


def _u64(name, value, unit=""):
    value = int(value)
    if not 0 <= value < 1 << 64:
        raise ValueError(f"{name} {value} is not 0 to 2**64 - 1{unit}")
    return value


# The library has no getter: the bound this package last set, from the
# library's default, for PyAV's probing in open().
_picture_area_limit = 8192 * 4320
# FFmpeg counts a width rounded up to its stride alignment; the library gives
# its decoders room for 64 such columns, and the probe gets the same so that
# it never refuses a picture decoding admits.
_ALIGNMENT_ROOM = 64 * 65536
# max_pixels is an int option; above this FFmpeg refuses the value itself.
_MAX_PIXELS_OPTION = (1 << 31) - 1
_CODEC_MESSAGE_NAMES = {Codec.H264: "H.264", Codec.H265: "H.265", Codec.AV1: "AV1",
                        Codec.VP9: "VP9", Codec.VP8: "VP8"}


def set_picture_area_limit(pixels):
    """Bounds the pixels (width x height) of any picture a stream may declare
    (the library's default admits 8192 x 4320); larger ones are refused with
    VantleVideoError before they are decoded, by open() already where PyAV's
    probing finds them. 0 leaves FFmpeg's own limit."""
    global _picture_area_limit
    pixels = _u64("picture area limit", pixels)
    library().vantle_video_runtime_set_picture_area_limit(pixels)
    _picture_area_limit = pixels


def probe_options():
    """av.open's options: FFmpeg's max_pixels for the decoders that
    avformat_find_stream_info runs on the streams the container declares
    before probing, as the library bounds its own (None without a bound)."""
    if not _picture_area_limit:
        return None
    return {"max_pixels": str(min(_picture_area_limit + _ALIGNMENT_ROOM, _MAX_PIXELS_OPTION))}


def check_probed_size(codec, width, height):
    """Raises VantleVideoError for a stream whose probed picture is over the
    picture area limit, or whose size the bounded probe could not find (a
    refused probe decode leaves it unknown for some codecs)."""
    limit = _picture_area_limit
    if not limit:
        return
    name = _CODEC_MESSAGE_NAMES[codec]
    if not width or not height:
        raise VantleVideoError(f"{name} stream: PyAV's probe found no picture size within the "
                               f"picture area limit of {limit} pixels")
    if width * height > limit:
        # The library's own text for the refusal.
        raise VantleVideoError(f"{name} stream declares a {width}x{height} picture "
                               f"({width * height} pixels), above the picture area limit of "
                               f"{limit} pixels")


def set_response_limit(limit):
    """Bounds the bytes of pixels one call may return (the library's default
    is 4 GiB); a call over it raises VantleVideoError. 0 means no bound."""
    library().vantle_video_runtime_set_response_limit(_u64("response limit", limit))
