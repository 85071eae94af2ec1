"""The host's bounds through the package: refusals raise VantleVideoError
with the library's message, and allocation failures raise MemoryError."""
import re

import pytest
from conftest import ffmpeg

import vantle_video
from vantle_video import _runtime


@pytest.fixture
def limits():
    yield
    vantle_video.set_picture_area_limit(8192 * 4320)
    vantle_video.set_response_limit(4 << 30)


@pytest.mark.parametrize("setter,bound,message", [
    ("set_picture_area_limit", 160 * 96 - 1,
     "H.264 stream declares a 160x96 picture (15360 pixels), above the picture area limit of "
     "15359 pixels"),
    ("set_response_limit", 160 * 96 * 3 - 1,
     "response exceeds the response limit of 46079 bytes (46080 bytes)"),
])
def test_bounds_refuse_with_the_library_message(media, limits, setter, bound, message):
    clip = vantle_video.open(media["h264_open_mp4"])
    getattr(vantle_video, setter)(bound)
    with pytest.raises(vantle_video.VantleVideoError, match=r"^" + message.replace("(", r"\(")
                       .replace(")", r"\)") + "$"):
        clip.frames_at([0])
    getattr(vantle_video, setter)(0)
    frame = clip.frames_at([0])[0]
    assert (frame.width, frame.height) == (160, 96)
    with pytest.raises(ValueError):
        getattr(vantle_video, setter)(-1)


def test_open_probes_within_the_picture_area_limit(media, limits, tmp_path):
    # One flat 2048x2080 VP9 picture (2 KB): over the probe's max_pixels (the
    # bound plus the library's 64 columns of room) at a bound of 1, and a
    # refused probe decode leaves a VP9 stream's size unknown, so this
    # message shows that the bound reached PyAV's probing.
    large = tmp_path / "large.webm"
    ffmpeg("-f", "lavfi", "-i", "color=c=gray:s=2048x2080", "-frames:v", "1", "-c:v", "libvpx-vp9",
           "-deadline", "realtime", "-cpu-used", "8", large)
    cases = [(media["h264_open_mp4"], 160 * 96 - 1,
              "H.264 stream declares a 160x96 picture (15360 pixels), above the picture area "
              "limit of 15359 pixels"),
             (large, 1, "VP9 stream: PyAV's probe found no picture size within the picture area "
                        "limit of 1 pixels")]
    for source, bound, message in cases:
        vantle_video.set_picture_area_limit(bound)
        with pytest.raises(vantle_video.VantleVideoError, match=r"^" + re.escape(message) + "$"):
            vantle_video.open(source)
        vantle_video.set_picture_area_limit(0)
        assert vantle_video.open(source).pixel_format == "yuv420p"


def test_allocation_failures_raise_memory_error(monkeypatch):
    monkeypatch.setattr(_runtime, "last_error",
                        lambda: "failed to allocate a response buffer of 9 bytes: "
                                "Cannot allocate memory")
    with pytest.raises(MemoryError, match="response buffer of 9 bytes"):
        _runtime._call(lambda request, response: -1, _runtime.RuntimeDecodeRequest(),
                       _runtime.RuntimeDecodeResponse())
