"""Frames as NumPy arrays from the Vantle video runtime, through its C
interface.

    clip = vantle_video.open("film.mp4", threads=2)
    frames = clip.frames_at([0, 50, 100])           # RGB, H x W x 3 uint8
    frames = clip.frames_played_at([0.0, 2.5], format="yuv420")
    frames = clip.frames_at([0], format="rgb48")     # H x W x 3 uint16
    batch = vantle_video.samplers.clips_at_random_indices(clip, num_clips=4, seed=1)
"""
from . import samplers
from ._batch import FrameBatch
from ._clip import Clip, open  # noqa: A004
from ._stored_index import StaleIndexError, StoredIndex
from ._library import VantleVideoError, layout_differences, library, library_path
from ._frame import ColorPrimaries, ColorRange, ColorSpace, ColorTrc, Frame
from ._runtime import (Codec, Flip, decode, decode_indexed, release_kept_memory,
                       set_kept_memory_limit, set_picture_area_limit, set_response_limit,
                       transcode_h264)

__all__ = ["Clip", "Codec", "ColorPrimaries", "ColorRange", "ColorSpace", "ColorTrc", "Flip",
           "Frame", "FrameBatch", "StaleIndexError", "StoredIndex", "VantleVideoError", "decode",
           "decode_indexed", "open", "release_kept_memory", "runtime_version",
           "set_kept_memory_limit", "set_picture_area_limit", "set_response_limit",
           "transcode_h264"]
__version__ = "1.3.0"


def runtime_version():
    """The library's version text: its own version and the FFmpeg versions it
    was built against and runs with."""
    return library().vantle_video_runtime_version().decode()


# Fail at import, not at the first decode, when the library is missing or
# does not match.
library()
