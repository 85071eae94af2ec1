"""Frames as NumPy arrays from the Vantle video runtime, through its C
interface.

    clip = vantle_video.open("film.mp4")
    frames = vantle_video.decode(*clip.group(0), positions=[0, 5])
"""
from ._clip import Clip, open  # noqa: A004
from ._library import VantleVideoError, layout_differences, library, library_path
from ._runtime import Codec, Frame, decode, decode_indexed, transcode_h264

__all__ = ["Clip", "Codec", "Frame", "VantleVideoError", "decode", "decode_indexed", "open",
           "runtime_version", "transcode_h264"]
__version__ = "1.1.0"


def runtime_version():
    """The library's version text: its own version and the FFmpeg versions it
    was built against and runs with."""
    return library().vantle_video_runtime_version().decode()


# Fail at import, not at the first decode, when the library is missing or
# does not match.
library()
