"""The shared library and the records of its C interface, mirrored with
ctypes exactly as the public header lays them out."""
import ctypes
import os
import shutil
import subprocess
import threading
from pathlib import Path

SONAME = "libvantle_video_runtime.so.1"
LIBRARY_VARIABLE = "VANTLE_VIDEO_RUNTIME_LIBRARY"
# The soname's major version: the C interface only grows within it. 1.2
# added the codec and format values this package sends (an older library
# would decode VP9 and VP8 as H.265 and 16-bit formats as RGB), 1.3 the two
# bounds it sets.
VERSION_PREFIX = "vantle-video-runtime 1."
MINIMUM_MINOR = 3


class VantleVideoError(Exception):
    """A request the library refused; `message` is the library's exact text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class RuntimeBytes(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("len", ctypes.c_size_t)]


class RuntimePacket(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("len", ctypes.c_size_t)]


class RuntimeFrame(ctypes.Structure):
    _fields_ = [
        ("format", ctypes.c_uint32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("rgb", RuntimeBytes),
        ("y", RuntimeBytes),
        ("u", RuntimeBytes),
        ("v", RuntimeBytes),
        ("color_range", ctypes.c_int32),
        ("color_space", ctypes.c_int32),
        ("color_primaries", ctypes.c_int32),
        ("color_trc", ctypes.c_int32),
    ]


class RuntimeIndexedFrame(ctypes.Structure):
    _fields_ = [("frame", RuntimeFrame), ("packet_index", ctypes.c_size_t)]


class RuntimeDecodeRequest(ctypes.Structure):
    _fields_ = [
        ("codec", ctypes.c_uint32),
        ("extradata", ctypes.c_void_p),
        ("extradata_len", ctypes.c_size_t),
        ("reserved", ctypes.c_uint64),
        ("output_width", ctypes.c_uint32),
        ("output_height", ctypes.c_uint32),
        ("pixel_format", ctypes.c_uint32),
        ("packets", ctypes.POINTER(RuntimePacket)),
        ("packet_count", ctypes.c_size_t),
        ("selected_positions", ctypes.POINTER(ctypes.c_size_t)),
        ("selected_position_count", ctypes.c_size_t),
    ]


class RuntimeDecodeOptions(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ("size", "rotation", "flip", "reserved")]


class RuntimeTranscodeRequest(ctypes.Structure):
    _fields_ = [
        ("decode", RuntimeDecodeRequest),
        ("frame_rate_num", ctypes.c_uint32),
        ("frame_rate_den", ctypes.c_uint32),
        ("bit_rate", ctypes.c_uint64),
    ]


class RuntimeDecodeResponse(ctypes.Structure):
    _fields_ = [("frames", ctypes.POINTER(RuntimeFrame)), ("frame_count", ctypes.c_size_t)]


class RuntimeIndexedResponse(ctypes.Structure):
    _fields_ = [("frames", ctypes.POINTER(RuntimeIndexedFrame)), ("frame_count", ctypes.c_size_t)]


class RuntimeTranscodeResponse(ctypes.Structure):
    _fields_ = [("access_units", ctypes.POINTER(RuntimeBytes)),
                ("access_unit_count", ctypes.c_size_t)]


# Sizes and offsets as the header documents them (x86-64 Linux, LP64).
DOCUMENTED_LAYOUT = {
    RuntimeBytes: (16, {"data": 0, "len": 8}),
    RuntimePacket: (16, {"data": 0, "len": 8}),
    RuntimeFrame: (96, {"format": 0, "width": 4, "height": 8, "rgb": 16, "y": 32, "u": 48,
                        "v": 64, "color_range": 80, "color_space": 84, "color_primaries": 88,
                        "color_trc": 92}),
    RuntimeIndexedFrame: (104, {"frame": 0, "packet_index": 96}),
    RuntimeDecodeRequest: (80, {"codec": 0, "extradata": 8, "extradata_len": 16, "reserved": 24,
                                "output_width": 32, "output_height": 36, "pixel_format": 40,
                                "packets": 48, "packet_count": 56, "selected_positions": 64,
                                "selected_position_count": 72}),
    RuntimeDecodeOptions: (16, {"size": 0, "rotation": 4, "flip": 8, "reserved": 12}),
    RuntimeTranscodeRequest: (96, {"decode": 0, "frame_rate_num": 80, "frame_rate_den": 84,
                                   "bit_rate": 88}),
    RuntimeDecodeResponse: (16, {"frames": 0, "frame_count": 8}),
    RuntimeIndexedResponse: (16, {"frames": 0, "frame_count": 8}),
    RuntimeTranscodeResponse: (16, {"access_units": 0, "access_unit_count": 8}),
}


def layout_differences():
    """Every place where the ctypes records disagree with the header's tables."""
    problems = []
    for record, (size, offsets) in DOCUMENTED_LAYOUT.items():
        if ctypes.sizeof(record) != size:
            problems.append(f"{record.__name__}: {ctypes.sizeof(record)} bytes, not {size}")
        for field, offset in offsets.items():
            actual = getattr(record, field).offset
            if actual != offset:
                problems.append(f"{record.__name__}.{field}: offset {actual}, not {offset}")
    return problems


def _candidate_paths():
    """Where to look, first match wins: the variable, the copy `pip install`
    put inside the package, a prefix the package is installed under,
    pkg-config, then the dynamic loader's own search."""
    explicit = os.environ.get(LIBRARY_VARIABLE)
    if explicit:
        yield explicit
        return
    here = Path(__file__).resolve().parent
    for parent in [here] + list(here.parents)[:5]:
        for libdir in (parent, parent / "lib", parent / "lib64"):
            candidate = libdir / SONAME
            if candidate.exists():
                yield str(candidate)
    if shutil.which("pkg-config"):
        found = subprocess.run(["pkg-config", "--variable=libdir", "vantle-video-runtime"],
                               capture_output=True, text=True)
        libdir = found.stdout.strip()
        if found.returncode == 0 and libdir and (Path(libdir) / SONAME).exists():
            yield str(Path(libdir) / SONAME)
    yield SONAME


def _new_enough(version):
    """Whether a version text is 1.x with x at least MINIMUM_MINOR."""
    if not version.startswith(VERSION_PREFIX):
        return False
    minor = version[len(VERSION_PREFIX):].split(".")[0].split(" ")[0]
    return minor.isdigit() and int(minor) >= MINIMUM_MINOR


_FUNCTIONS = {
    "vantle_video_runtime_decode": (ctypes.c_int32, [ctypes.POINTER(RuntimeDecodeRequest),
                                                     ctypes.POINTER(RuntimeDecodeResponse)]),
    "vantle_video_runtime_decode_with_options": (
        ctypes.c_int32, [ctypes.POINTER(RuntimeDecodeRequest),
                         ctypes.POINTER(RuntimeDecodeOptions),
                         ctypes.POINTER(RuntimeDecodeResponse)]),
    "vantle_video_runtime_decode_indexed": (ctypes.c_int32,
                                            [ctypes.POINTER(RuntimeDecodeRequest),
                                             ctypes.POINTER(RuntimeIndexedResponse)]),
    "vantle_video_runtime_transcode_h264": (ctypes.c_int32,
                                            [ctypes.POINTER(RuntimeTranscodeRequest),
                                             ctypes.POINTER(RuntimeTranscodeResponse)]),
    "vantle_video_runtime_free_response": (None, [ctypes.POINTER(RuntimeDecodeResponse)]),
    "vantle_video_runtime_free_indexed_response": (None,
                                                   [ctypes.POINTER(RuntimeIndexedResponse)]),
    "vantle_video_runtime_free_transcode_response": (
        None, [ctypes.POINTER(RuntimeTranscodeResponse)]),
    "vantle_video_runtime_last_error": (RuntimeBytes, []),
    "vantle_video_runtime_version": (ctypes.c_char_p, []),
    "vantle_video_runtime_release_kept_memory": (None, []),
    "vantle_video_runtime_set_kept_memory_limit": (None, [ctypes.c_uint64]),
    "vantle_video_runtime_set_picture_area_limit": (None, [ctypes.c_uint64]),
    "vantle_video_runtime_set_response_limit": (None, [ctypes.c_uint64]),
}


def _bind(library, path):
    """Sets the types of every export the package calls; refuses a library
    that lacks one or is older than 1.MINIMUM_MINOR, by its version where it
    can tell it."""
    missing = [name for name in _FUNCTIONS if not hasattr(library, name)]
    for name, (result, arguments) in _FUNCTIONS.items():
        if name not in missing:
            function = getattr(library, name)
            function.restype, function.argtypes = result, arguments
    if "vantle_video_runtime_version" not in missing:
        version = library.vantle_video_runtime_version().decode()
        if not _new_enough(version):
            raise ImportError(f"vantle_video: {path} is '{version}', this package needs "
                              f"'{VERSION_PREFIX}{MINIMUM_MINOR}' or a later 1.x")
    if missing:
        raise ImportError(f"vantle_video: {path} has no {missing[0]} (a library older than this "
                          "package)")
    return library


_LOCK = threading.Lock()
_LIBRARY = _PATH = None


def library():
    """The loaded and checked library (loaded once per process)."""
    global _LIBRARY, _PATH
    if _LIBRARY is not None:
        return _LIBRARY
    with _LOCK:
        if _LIBRARY is None:
            problems = layout_differences()
            if problems:
                raise ImportError("vantle_video: records differ from the C header: " +
                                  "; ".join(problems))
            failures = []
            for path in _candidate_paths():
                try:
                    loaded = ctypes.CDLL(path)
                except OSError as error:
                    failures.append(str(error))
                    continue
                # _LIBRARY last: library() reads it without the lock.
                _PATH, _LIBRARY = path, _bind(loaded, path)
                break
            else:
                raise ImportError(f"vantle_video: cannot load {SONAME} (set {LIBRARY_VARIABLE} "
                                  "to its path): " + "; ".join(failures))
    return _LIBRARY


def library_path():
    library()
    return _PATH


def last_error():
    """The calling thread's last message, copied out of the library's view."""
    view = library().vantle_video_runtime_last_error()
    if view.len == 0:
        return ""
    return ctypes.string_at(view.data, view.len).decode("utf-8", "replace")
