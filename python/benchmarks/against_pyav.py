#!/usr/bin/python3
"""The same clip sampling with the package and with PyAV, one thread each,
in the same run: 8 clips of 4 consecutive pictures at random indices of a
30-second 720p H.264 file with 2-second groups, as YUV 4:2:0 arrays.

PyAV as its documentation shows: per clip, seek to the key frame at or
before the clip's first picture, decode forward until its last picture,
to_ndarray() the ones wanted. The pictures are checked to be the same, byte
for byte; prints the median of 5 draws (seeds 1 to 5) of each and the ratio.

  against_pyav.py [FOLDER] [ENCODER]   (the media is made in FOLDER, default a
                                       temporary one; ENCODER libx264 or libx265)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ["VANTLE_VIDEO_FFMPEG_THREADS"] = "1"
import av  # noqa: E402
import numpy as np  # noqa: E402

import vantle_video  # noqa: E402
from vantle_video import samplers  # noqa: E402


def make(folder, encoder):
    path = folder / f"thirty_seconds_720p_{encoder}.mp4"
    if not path.exists():
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=s=1280x720:r=25", "-frames:v", "750", "-c:v", encoder,
                        "-preset", "veryfast", "-g", "50", "-keyint_min", "50", "-sc_threshold",
                        "0", "-pix_fmt", "yuv420p", str(path)] + (
                            # closed groups: seek-and-decode loses open groups' leading pictures
                            ["-x265-params", "open-gop=0:log-level=error"]
                            if encoder == "libx265" else []), check=True)
    return path


def with_pyav(path, clips_pts):
    """{pts: yuv420p array (H * 3 / 2, W)} of every wanted picture."""
    found = {}
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        stream.thread_type = "SLICE"
        stream.codec_context.thread_count = 1
        second = int(1 / stream.time_base)
        for wanted in clips_pts:
            target = wanted[0]
            while True:
                container.seek(target, stream=stream, backward=True)
                first = None
                for frame in container.decode(stream):
                    first = frame.pts if first is None else first
                    if frame.pts in wanted:
                        found[frame.pts] = frame.to_ndarray()
                    if frame.pts >= wanted[-1]:
                        break
                # MP4 seeks by decode time: a clip that starts just before a key
                # frame in display order can land on that key frame. Go back.
                if first is None or first <= wanted[0] or target <= 0:
                    break
                target = min(target, first) - second
    return found


def main():
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())
    path = make(folder, sys.argv[2] if len(sys.argv) > 2 else "libx264")
    clip = vantle_video.open(path, threads=1)
    ticks = np.rint(clip.pts_seconds / float(clip.time_base)).astype(np.int64)
    ours_times, pyav_times = [], []
    for seed in range(1, 6):
        indices = samplers.clips_at_random_indices(clip, num_clips=8, num_frames_per_clip=4,
                                                   seed=seed, size=(16, 16)).indices
        start = time.perf_counter()
        ours = clip.frames_at(indices.ravel(), format="yuv420")
        ours_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        theirs = with_pyav(path, [sorted(ticks[row].tolist()) for row in indices])
        pyav_times.append(time.perf_counter() - start)
        for index, frame in zip(indices.ravel(), ours):
            planes = b"".join(p.tobytes() for p in frame.planes)
            assert planes == theirs[ticks[index]].tobytes(), f"picture {index}, seed {seed}"
    ours_time, pyav_time = statistics.median(ours_times), statistics.median(pyav_times)
    print(f"{path.name}: {clip.frame_count} pictures, {len(clip.groups)} groups; 8 clips x 4 "
          "pictures as YUV 4:2:0, the same pictures byte for byte")
    print(f"  vantle_video {ours_time * 1e3:.0f} ms, PyAV {pyav_time * 1e3:.0f} ms "
          f"(median of 5 draws); PyAV / vantle_video: {pyav_time / ours_time:.2f}")


if __name__ == "__main__":
    sys.exit(main())
