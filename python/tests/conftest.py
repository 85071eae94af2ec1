"""Test media made with FFmpeg's encoders (PyAV and the ffmpeg command line).
The package under test is the installed one (pip install ./python), with the
library inside it or at VANTLE_VIDEO_RUNTIME_LIBRARY."""
import os
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import av
import numpy as np
import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
STREAMS = PACKAGE_ROOT.parent / "engine/plugins/modality/vantle-video-runtime/tests/data/streams"
sys.path[:0] = [str(PACKAGE_ROOT / "examples")]
# Worker processes of the Dask test import the example too.
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(PACKAGE_ROOT / "examples")] +
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


def ffmpeg(*arguments):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *map(str, arguments)], check=True)


def vpx(path, encoder, size=(96, 64), pix_fmt="yuv420p", alt_ref=True, options=()):
    """40 pictures from libvpx, a key frame every 12 at most. Hidden (alt-ref)
    frames need two passes: one pass makes none."""
    source = ["-f", "lavfi", "-i", "testsrc2=s=96x64:r=25", "-frames:v", "40", "-vf",
              "scale={}:{}".format(*size)]  # testsrc2 itself only makes even sizes
    common = ["-c:v", encoder, "-pix_fmt", pix_fmt, "-b:v", "300k", "-g", "12", *options]
    if alt_ref:
        log = path.with_suffix(".pass")
        ffmpeg(*source, *common, "-pass", "1", "-passlogfile", log, "-f", "null", "-")
        common += ["-pass", "2", "-passlogfile", log, "-auto-alt-ref", "1", "-lag-in-frames", "16"]
    ffmpeg(*source, *common, path)
    return path


X265_OPEN = "keyint=12:min-keyint=12:scenecut=0:bframes=3:open-gop=1:log-level=error"
X265_CLOSED = "keyint=12:min-keyint=12:scenecut=0:bframes=2:open-gop=0:log-level=error"


def x265_10bit(path):
    ffmpeg("-f", "lavfi", "-i", "testsrc2=s=96x64:r=25", "-frames:v", "30", "-c:v", "libx265",
           "-pix_fmt", "yuv420p10le", "-x265-params", X265_OPEN, path)
    return path


def rotated_10bit(path, degrees=90):
    """A 10-bit H.264 MP4 whose display matrix turns it by `degrees`."""
    plain = path.with_name("plain_" + path.name)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=s=64x48:r=25", "-frames:v", "12", "-c:v", "libx264",
           "-pix_fmt", "yuv420p10le", "-g", "4", plain)
    # Newer FFmpeg writes a matrix only from -display_rotation; 5.1 lacks the
    # option and writes one from rotate= metadata.
    newer = subprocess.run(["ffmpeg", "-v", "error", "-y", "-display_rotation", str(degrees),
                            "-i", str(plain), "-c", "copy", str(path)], capture_output=True)
    if newer.returncode:
        ffmpeg("-i", plain, "-c", "copy", "-metadata:s:v", f"rotate={degrees}", path)
    return path


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
        "h265_10bit_open_mkv": x265_10bit(folder / "open265_10.mkv"),
        "vp9_webm": vpx(folder / "vp9.webm", "libvpx-vp9"),
        "vp9_mp4": vpx(folder / "vp9.mp4", "libvpx-vp9"),
        "vp9_odd_ivf": vpx(folder / "vp9.ivf", "libvpx-vp9", size=(35, 22)),
        "vp9_10bit_mkv": vpx(folder / "vp9_10.mkv", "libvpx-vp9", pix_fmt="yuv420p10le",
                             options=["-profile:v", "2"]),
        "vp9_12bit_ivf": vpx(folder / "vp9_12.ivf", "libvpx-vp9", size=(35, 21),
                             pix_fmt="yuv420p12le", options=["-profile:v", "2"]),
        "vp8_webm": vpx(folder / "vp8.webm", "libvpx"),
        "vp8_ivf": vpx(folder / "vp8_alt.ivf", "libvpx"),  # invisible frames timed apart
        "vp8_odd_ivf": vpx(folder / "vp8.ivf", "libvpx", size=(35, 22), alt_ref=False),
        "h264_10bit_rotated_mp4": rotated_10bit(folder / "rotated.mp4"),
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


PIX_FMTS = {"rgb": "rgb24", "yuv420": "yuv420p", "rgb48": "rgb48le", "yuv420p16": "yuv420p16le"}


def ffmpeg_pictures(path, format, width, height, autorotate=True, scale=False):
    """The ffmpeg command line's pictures of the first video stream, each as
    the bytes of its planes: turned upright as the command line does unless
    autorotate is False, and resized to width x height when scale is set."""
    turn = [] if autorotate else ["-noautorotate"]
    resize = ["-vf", f"scale={width}:{height}"] if scale else []
    out = subprocess.run(["ffmpeg", "-v", "error", "-threads", "1", *turn, "-i", str(path),
                          "-map", "0:v:0", "-fps_mode", "passthrough", *resize, "-f", "rawvideo",
                          "-pix_fmt", PIX_FMTS[format], "-"], capture_output=True,
                         check=True).stdout
    sample = 2 if format in ("rgb48", "yuv420p16") else 1
    size = sample * (width * height * 3 if format.startswith("rgb") else (
        width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)))
    assert len(out) % size == 0
    return [out[i:i + size] for i in range(0, len(out), size)]


def ffprobe_times(path):
    """pts_time of each picture of the first video stream, as ffprobe shows
    it; for a stream without timestamps (raw Annex B), the picture's number
    over the frame rate, as the ffmpeg command line times it."""
    def probe(entries):
        return subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                               "-show_entries", entries, "-of", "csv=p=0", str(path)],
                              capture_output=True, check=True, text=True).stdout.split()
    times = [line.rstrip(",") for line in probe("frame=pts_time")]
    if "N/A" not in times:
        return [float(t) for t in times]
    rate = Fraction(probe("stream=avg_frame_rate")[0].rstrip(","))
    return [float(i / rate) for i in range(len(times))]


def picture_bytes(frame):
    """The frame's samples as the command line's rawvideo writes them (16-bit
    ones little-endian, as the library returns them)."""
    arrays = [frame.rgb] if frame.rgb is not None else frame.planes
    for array in arrays:
        assert array.flags.c_contiguous and all(s > 0 for s in array.strides)
    return b"".join(a.tobytes() for a in arrays)
