#!/usr/bin/python3
"""Prints two ratios (best of 3 runs each):

  1. Clip.frames_at over 20 groups of a 720p H.264 file with threads=2
     against threads=1, and against two plain Python threads calling
     vantle_video.decode on the same groups (packets already read).
  2. At 1080p, with packets already in memory, vantle_video.decode to RGB
     against the bare C call (a prepared request, vantle_video_runtime_decode
     and its release through ctypes, no arrays made).

  threads_and_overhead.py [FOLDER]   (media is made there with the ffmpeg
                                      command line; default a temporary one)
"""
import ctypes
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import vantle_video
from vantle_video import _library, _runtime


def make(path, size, frames):
    if not path.exists():
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=s={size}:r=25", "-frames:v", str(frames), "-c:v", "libx264",
                        "-preset", "veryfast", "-g", "12", "-bf", "2", "-pix_fmt", "yuv420p",
                        str(path)], check=True)
    return path


def best_of_3(work):
    times = []
    for _ in range(3):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def two_plain_threads(groups):
    halves = [groups[0::2], groups[1::2]]

    kept = []  # every picture held to the end, as frames_at holds them

    def run(half):
        for group in half:
            kept.extend(vantle_video.decode(*group))

    threads = [threading.Thread(target=run, args=(h,)) for h in halves]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def main():
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())
    clip = vantle_video.open(make(folder / "bench720.mp4", "1280x720", 240))
    pictures = clip.frame_count
    groups = [clip.group(g) for g in range(len(clip.groups))]
    clip.frames_at(range(pictures), threads=2)  # decoders and buffers in place
    one = best_of_3(lambda: clip.frames_at(range(pictures), threads=1))
    two = best_of_3(lambda: clip.frames_at(range(pictures), threads=2))
    plain = best_of_3(lambda: two_plain_threads(groups))
    print(f"720p H.264, {len(groups)} groups, {pictures} pictures to RGB:")
    print(f"  threads=1 {pictures / one:.0f}/s, threads=2 {pictures / two:.0f}/s, "
          f"two plain threads {pictures / plain:.0f}/s")
    print(f"  threads=2 / threads=1: {one / two:.2f}")
    print(f"  threads=2 / two plain threads: {plain / two:.2f}")

    big = vantle_video.open(make(folder / "bench1080.mp4", "1920x1080", 24))
    codec, packets, extradata = big.group(0)
    packets = [bytes(p) for p in packets]
    lib = _library.library()
    request, keep = _library.RuntimeDecodeRequest(), []
    _runtime._fill_request(request, codec, packets, extradata, None, keep)

    def bare():
        response = _library.RuntimeDecodeResponse()
        assert lib.vantle_video_runtime_decode(ctypes.byref(request), ctypes.byref(response)) == 0
        lib.vantle_video_runtime_free_response(ctypes.byref(response))

    def package():
        frames = vantle_video.decode(codec, packets, extradata)
        del frames

    for work in (bare, package):
        work()
    c_time = best_of_3(lambda: [bare() for _ in range(5)])
    py_time = best_of_3(lambda: [package() for _ in range(5)])
    count = 5 * len(packets)
    print(f"1080p H.264 to RGB, packets in memory: C call {count / c_time:.0f}/s, "
          f"vantle_video.decode {count / py_time:.0f}/s")
    print(f"  package / C interface: {c_time / py_time:.3f}")


if __name__ == "__main__":
    main()
