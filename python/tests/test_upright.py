"""Rotated and mirrored MP4 clips: Clip.rotation against ffprobe, pictures
upright (or as stored with apply_rotation=False) against the ffmpeg command
line's autorotation, 8- and 10-bit sources, 8- and 16-bit output."""
import subprocess

import pytest
from conftest import ffmpeg, ffmpeg_pictures, picture_bytes

import vantle_video

Q = 1 << 16
# Display matrices written into the track header as they are (a, b, c, d of
# the 16.16 matrix), for the mirrored turns no muxer option writes.
MATRICES = {"transpose": (0, Q, Q, 0), "antitranspose": (0, -Q, -Q, 0),
            "hflip": (-Q, 0, 0, Q), "vflip": (Q, 0, 0, -Q)}
# How each clip is made and whether its upright picture swaps width and height.
ORIENTATIONS = [("rotate 90", True), ("rotate 180", False), ("rotate 270", True),
                ("transpose", True), ("antitranspose", True), ("hflip", False), ("vflip", False)]
SOURCES = {"8-bit": ("yuv420p", ("rgb", "rgb48", "yuv420", "yuv420p16")),
           "10-bit": ("yuv420p10le", ("rgb48", "yuv420p16"))}


def with_matrix(plain, path, orientation):
    if orientation.startswith("rotate"):
        degrees = orientation.split()[1]
        # Newer FFmpeg writes a matrix only from -display_rotation; 5.1 lacks
        # the option and writes one from rotate= metadata.
        newer = subprocess.run(["ffmpeg", "-v", "error", "-y", "-display_rotation", degrees, "-i",
                                str(plain), "-c", "copy", str(path)], capture_output=True)
        if newer.returncode:
            ffmpeg("-i", plain, "-c", "copy", "-metadata:s:v", f"rotate={degrees}", path)
        return path
    data = bytearray(plain.read_bytes())
    at = data.index(b"tkhd") + 4 + 40  # version 0 header: the matrix's offset
    assert data[at - 40] == 0 and data[at:at + 4] == Q.to_bytes(4, "big")
    a, b, c, d = MATRICES[orientation]
    for i, value in ((0, a), (1, b), (3, c), (4, d)):
        data[at + 4 * i:at + 4 * i + 4] = value.to_bytes(4, "big", signed=True)
    path.write_bytes(data)
    return path


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    folder = tmp_path_factory.mktemp("upright")
    plain = {}
    for depth, (pix_fmt, _) in SOURCES.items():
        plain[depth] = folder / f"{depth}.mp4"
        ffmpeg("-f", "lavfi", "-i", "testsrc2=s=64x48:r=25", "-frames:v", "6", "-c:v", "libx264",
               "-pix_fmt", pix_fmt, "-g", "3", plain[depth])
    return folder, plain


def ffprobe_rotation(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream_side_data=rotation", "-of", "csv=p=0", str(path)],
                         capture_output=True, check=True, text=True).stdout.split()
    return float(out[0].rstrip(",")) if out else 0.0


@pytest.mark.parametrize("apply", [True, False])
@pytest.mark.parametrize("orientation, swaps", ORIENTATIONS)
@pytest.mark.parametrize("depth", SOURCES)
def test_pictures_equal_the_command_line_with_and_without_autorotation(sources, depth,
                                                                       orientation, swaps,
                                                                       apply):
    folder, plain = sources
    path = with_matrix(plain[depth], folder / f"{depth} {orientation}.mp4", orientation)
    clip = vantle_video.open(path, apply_rotation=apply)
    assert (clip.rotation - ffprobe_rotation(path)) % 360 == pytest.approx(0, abs=1e-6)
    assert clip.rotation != 0 or orientation == "vflip"
    stored = (64, 48)
    assert (clip.width, clip.height) == (stored[::-1] if swaps and apply else stored)
    order = [5, 0, 3, 1, 4, 2]
    for format in SOURCES[depth][1]:
        reference = ffmpeg_pictures(path, format, clip.width, clip.height, autorotate=apply)
        frames = clip.frames_at(order, format=format)
        for index, frame in zip(order, frames):
            assert picture_bytes(frame) == reference[index], f"{format} picture {index}"
    # Resized: the size is the upright picture's.
    size = (clip.width // 2 + 6, clip.height // 2 - 2)
    reference = ffmpeg_pictures(path, "rgb48", *size, autorotate=apply, scale=True)
    frame = clip.frames_at([4], format="rgb48", size=size)[0]
    assert frame.rgb.shape == (size[1], size[0], 3)
    assert picture_bytes(frame) == reference[4]


@pytest.mark.parametrize("arguments", [{"rotation": 45}, {"rotation": -90},
                                       {"flip": 4}, {"flip": -1}])
def test_turns_the_interface_has_no_value_for_are_refused(sources, arguments):
    clip = vantle_video.open(sources[1]["8-bit"])
    with pytest.raises(ValueError):
        vantle_video.decode(*clip.group(0), **arguments)
