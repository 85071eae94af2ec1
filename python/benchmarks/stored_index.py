#!/usr/bin/python3
"""Opening a one-hour 640x360 H.264 MP4 (90,000 packets, 2-second groups;
ten seconds encoded, then repeated with -stream_loop and -c copy) with and
without a stored index: time (median of 9 after one warm-up), bytes read
(/proc/self/io rchar), the index's size, and the first picture after it.

  stored_index.py [FOLDER]   (the media is made there; default a temporary one)
"""
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import vantle_video


def one_hour(folder):
    path = folder / "hour.mp4"
    if not path.exists():
        short = folder / "ten_seconds.mp4"
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=s=640x360:r=25", "-frames:v", "250", "-c:v", "libx264",
                        "-preset", "veryfast", "-g", "50", "-keyint_min", "50", "-sc_threshold",
                        "0", "-pix_fmt", "yuv420p", str(short)], check=True)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-stream_loop", "359", "-i", str(short),
                        "-c", "copy", str(path)], check=True)
    return path


def bytes_read():
    with open("/proc/self/io") as counts:
        return int(next(line for line in counts if line.startswith("rchar:")).split()[1])


def measured(work, runs=9):
    work()
    times, reads = [], []
    for _ in range(runs):
        before, start = bytes_read(), time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
        reads.append(bytes_read() - before)
    return statistics.median(times), max(reads), result


def main():
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())
    path = one_hour(folder)
    size = path.stat().st_size
    plain, plain_read, clip = measured(lambda: vantle_video.open(path), runs=3)
    packets = sum(count for _, count in clip.groups)
    stored = clip.index.to_bytes()
    fast, fast_read, again = measured(lambda: vantle_video.open(path, index=stored))
    first, _, _ = measured(lambda: again.frames_at([0]))
    middle, _, _ = measured(lambda: vantle_video.open(path, index=stored).frames_at(
        [clip.frame_count // 2]))
    pickled = pickle.dumps(clip)
    unpickle, _, _ = measured(lambda: pickle.loads(pickled))
    print(f"{path.name}: {size / 2**20:.1f} MiB, {packets} packets, {len(clip.groups)} groups, "
          f"{clip.width}x{clip.height}")
    print(f"  open, demux pass:   {plain * 1e3:8.1f} ms, {plain_read / 2**20:8.2f} MiB read")
    print(f"  open, stored index: {fast * 1e3:8.1f} ms, {fast_read / 2**20:8.2f} MiB read")
    print(f"  stored index: {len(stored)} bytes, {len(stored) / packets:.2f} bytes a packet; "
          f"a pickled Clip: {len(pickled)} bytes, unpickled in {unpickle * 1e3:.1f} ms")
    print(f"  first picture after opening: {first * 1e3:.1f} ms; open with the index and "
          f"decode the middle picture: {middle * 1e3:.1f} ms")
    print(f"  demux pass / stored index: {plain / fast:.0f}")


if __name__ == "__main__":
    sys.exit(main())
