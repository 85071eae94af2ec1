#!/usr/bin/python3
"""Prints three ratios of pictures per second (best of 3 runs each), all
pictures of 1080p clips decoded through Clip.frames_at on one thread:

  1. Upright RGB of a clip whose display matrix turns it a quarter, against
     the same clip as stored (apply_rotation=False).
  2. The same upright RGB against the stored pictures turned afterwards
     with numpy.rot90 and made contiguous.
  3. rgb48 of a 10-bit H.265 clip against PyAV's decode with
     to_ndarray(format="rgb48le") (its own scaler settings), as a reference.

  upright_and_16bit.py [FOLDER]   (media is made there with the ffmpeg
                                   command line; default a temporary one)
"""
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import av
import numpy as np

import vantle_video

FRAMES = 48


def ffmpeg(*arguments):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *map(str, arguments)], check=True)


def make(folder):
    source = ["-f", "lavfi", "-i", "testsrc2=s=1920x1080:r=25", "-frames:v", str(FRAMES)]
    plain, turned, ten_bit = folder / "plain.mp4", folder / "turned.mp4", folder / "10bit.mp4"
    if not plain.exists():
        ffmpeg(*source, "-c:v", "libx264", "-preset", "veryfast", "-g", "12", "-pix_fmt",
               "yuv420p", plain)
    if not turned.exists():
        # -display_rotation on newer FFmpeg; rotate= metadata on 5.1.
        if subprocess.run(["ffmpeg", "-v", "error", "-y", "-display_rotation", "90", "-i",
                           str(plain), "-c", "copy", str(turned)], capture_output=True).returncode:
            ffmpeg("-i", plain, "-c", "copy", "-metadata:s:v", "rotate=90", turned)
    if not ten_bit.exists():
        ffmpeg(*source, "-c:v", "libx265", "-preset", "ultrafast", "-pix_fmt", "yuv420p10le",
               "-x265-params", "keyint=12:log-level=error", ten_bit)
    return plain, turned, ten_bit


def rate(work):
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        count = work()
        best = min(best, time.perf_counter() - start)
    return count / best


def every(clip, format="rgb", turn=None):
    def work():
        frames = clip.frames_at(range(len(clip)), format=format)
        if turn:
            [np.ascontiguousarray(np.rot90(f.rgb, -1)) for f in frames]
        return len(frames)
    return work


def pyav_rgb48(path):
    def work():
        with av.open(str(path)) as container:
            return len([f.to_ndarray(format="rgb48le") for f in container.decode(video=0)])
    return work


def main():
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())
    _, turned, ten_bit = make(folder)
    upright = vantle_video.open(turned)
    stored = vantle_video.open(turned, apply_rotation=False)
    assert upright.rotation and (upright.width, upright.height) == (1080, 1920)
    upright_rate = rate(every(upright))
    print(f"upright / stored:            {upright_rate / rate(every(stored)):.3f}")
    print(f"upright / stored + rot90:    {upright_rate / rate(every(stored, turn=True)):.3f}")
    print(f"rgb48 / PyAV rgb48le:        "
          f"{rate(every(vantle_video.open(ten_bit), 'rgb48')) / rate(pyav_rgb48(ten_bit)):.3f}")


if __name__ == "__main__":
    main()
