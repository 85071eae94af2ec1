"""A decoded picture: NumPy arrays that view the library's own buffers,
which are released when the last array is gone, and its colour fields."""
import ctypes
import enum
import weakref

import numpy as np

# The pixel formats of the C interface, by the names the package uses.
FORMATS = {"rgb": 0, "yuv420": 1, "rgb48": 2, "yuv420p16": 3}
FORMAT_NAMES = {code: name for name, code in FORMATS.items()}


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


# FFmpeg names the first eight primaries and transfer characteristics alike:
# H.273 numbers both tables the same up to smpte240m.
_H273_FIRST = ("reserved0", "bt709", "unknown", "reserved", "bt470m", "bt470bg", "smpte170m",
               "smpte240m")


def _h273_enum(name, doc, more):
    kind = enum.IntEnum(name, list(zip(_H273_FIRST, range(8))) + more, module=__name__)
    kind.__doc__ = doc
    return kind


ColorPrimaries = _h273_enum("ColorPrimaries", "AVColorPrimaries, named as FFmpeg prints them.", [
    ("film", 8), ("bt2020", 9), ("smpte428", 10), ("smpte431", 11), ("smpte432", 12),
    ("ebu3213", 22)])
ColorTrc = _h273_enum(
    "ColorTrc", "AVColorTransferCharacteristic, named as FFmpeg prints it with '-' as '_'.", [
        ("linear", 8), ("log100", 9), ("log316", 10), ("iec61966_2_4", 11), ("bt1361e", 12),
        ("iec61966_2_1", 13), ("bt2020_10", 14), ("bt2020_12", 15), ("smpte2084", 16),
        ("smpte428", 17), ("arib_std_b67", 18)])


def _named(kind, value):
    # A value a newer FFmpeg added stays a plain int rather than failing.
    try:
        return kind(value)
    except ValueError:
        return value


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
        self.format = FORMAT_NAMES.get(record.format, "rgb")
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
