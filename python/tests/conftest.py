"""Test media made with FFmpeg's encoders through PyAV, and the package from
this tree (the library comes from VANTLE_VIDEO_RUNTIME_LIBRARY or an
installed prefix)."""
import os
import sys
from pathlib import Path

import av
import numpy as np
import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
STREAMS = PACKAGE_ROOT.parent / "engine/plugins/modality/vantle-video-runtime/tests/data/streams"
sys.path[:0] = [str(PACKAGE_ROOT), str(PACKAGE_ROOT / "examples")]
# Worker processes of the Dask test import the package and the example too.
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(PACKAGE_ROOT), str(PACKAGE_ROOT / "examples")] +
    [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])


def pattern(i, width, height):
    """A moving picture with detail in every plane, so a wrong reference shows."""
    y, x = np.mgrid[0:height, 0:width]
    rgb = np.stack([(x * 3 + i * 7) % 256, (y * 5 + i * 3) % 256, ((x + y) * 2 + i * 11) % 256],
                   axis=-1)
    return rgb.astype(np.uint8)


def encode(path, encoder, frames=48, size=(160, 96), options=None, container_format=None):
    with av.open(str(path), "w", format=container_format) as out:
        stream = out.add_stream(encoder, rate=25)
        stream.width, stream.height = size
        stream.pix_fmt = "yuv420p"
        stream.options = options or {}
        for i in range(frames):
            frame = av.VideoFrame.from_ndarray(pattern(i, *size), format="rgb24")
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode(None):
            out.mux(packet)
    return path


X265_OPEN = "keyint=12:min-keyint=12:scenecut=0:bframes=3:open-gop=1:log-level=error"
X265_CLOSED = "keyint=12:min-keyint=12:scenecut=0:bframes=2:open-gop=0:log-level=error"


@pytest.fixture(scope="session")
def media(tmp_path_factory):
    folder = tmp_path_factory.mktemp("media")
    x264_open = {"g": "12", "keyint_min": "12", "sc_threshold": "0", "bf": "3",
                 "x264-params": "open-gop=1"}
    x264_closed = {"g": "12", "keyint_min": "12", "sc_threshold": "0", "bf": "2"}
    return {
        "h265_open_mp4": encode(folder / "open.mp4", "libx265", options={"x265-params": X265_OPEN}),
        "h265_open_raw": encode(folder / "open.hevc", "libx265", options={"x265-params": X265_OPEN},
                                container_format="hevc"),
        "h264_open_mp4": encode(folder / "open264.mp4", "libx264", options=x264_open),
        "h264_closed_mkv": encode(folder / "closed.mkv", "libx264", options=x264_closed),
        "h264_raw": encode(folder / "closed.264", "libx264", options=x264_closed,
                           container_format="h264"),
        "h265_closed_mkv": encode(folder / "closed265.mkv", "libx265",
                                  options={"x265-params": X265_CLOSED}),
    }


def planes_of(av_frame):
    """The Y, U, V planes of a PyAV frame, without its row padding."""
    out = []
    for plane in av_frame.planes:
        rows = np.frombuffer(plane, dtype=np.uint8).reshape(plane.height, plane.line_size)
        out.append(rows[:, :plane.width])
    return out


def pyav_decode(path, packets=None, codec=None, extradata=b""):
    """PyAV's own decode: of the whole stream in path, or of the packets given."""
    if packets is None:
        with av.open(str(path)) as container:
            return [planes_of(f) for f in container.decode(video=0)]
    context = av.CodecContext.create(codec, "r")
    if extradata:
        context.extradata = extradata
    frames = []
    for packet in [av.Packet(p) for p in packets] + [None]:
        frames += [planes_of(f) for f in context.decode(packet)]
    return frames
