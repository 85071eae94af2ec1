#!/usr/bin/python3
"""The PyTorch example's DataLoader (python/examples/torch_dataloader.py):

  1. Throughput with 2 workers against 1: 24 files of 720p H.264 (8 s,
     2-second groups), a sample being 4 clips of 8 pictures of one file;
     median of 3 epochs after a warm-up epoch, persistent workers.
  2. Each worker's resident memory after 50 and after 500 batches of one
     sample (2 clips of 4 pictures of 360p files with 1-second groups).

  torch_workers.py [FOLDER]   (the media is made there; default a temporary one)
"""
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import torch_dataloader  # noqa: E402


def files(folder, name, size, group, count):
    first = folder / f"{name}_0.mp4"
    if not first.exists():
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=s={size}:r=25", "-frames:v", "200", "-c:v", "libx264",
                        "-preset", "veryfast", "-g", str(group), "-keyint_min", str(group),
                        "-sc_threshold", "0", "-pix_fmt", "yuv420p", str(first)], check=True)
    paths = [first]
    for n in range(1, count):
        paths.append(folder / f"{name}_{n}.mp4")
        if not paths[-1].exists():
            shutil.copy(first, paths[-1])
    return paths


def epoch_seconds(batches, epoch):
    batches.sampler.set_epoch(epoch)
    start = time.perf_counter()
    for _ in batches:
        pass
    return time.perf_counter() - start


def main():
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())
    paths = files(folder, "hd", "1280x720", 50, 24)
    dataset = torch_dataloader.ClipDataset(paths, num_clips=4, num_frames_per_clip=8, seed=1)
    rates = {}
    for workers in (1, 2):
        batches = torch_dataloader.loader(dataset, workers, batch_size=2)
        epoch_seconds(batches, 0)
        rates[workers] = len(paths) / statistics.median(
            epoch_seconds(batches, e) for e in range(1, 4))
        del batches
    print(f"720p, {len(paths)} samples of 4 clips x 8 pictures an epoch, median of 3:")
    print(f"  1 worker {rates[1]:.2f} samples/s, 2 workers {rates[2]:.2f} samples/s, "
          f"2 / 1: {rates[2] / rates[1]:.2f}")

    small = files(folder, "sd", "640x360", 25, 10)
    dataset = torch_dataloader.ClipDataset(small, num_clips=2, num_frames_per_clip=4, seed=2)
    batches = torch_dataloader.loader(dataset, 2, batch_size=1)
    seen, latest, at_50, epoch = 0, {}, {}, 0
    while seen < 500:
        batches.sampler.set_epoch(epoch)
        for batch in batches:
            seen += 1
            latest[int(batch["worker"][0])] = int(batch["resident_bytes"][0])
            if seen == 50:
                at_50 = dict(latest)
            if seen == 500:
                break
        epoch += 1
    print("360p, one sample of 2 clips x 4 pictures a batch, each worker's resident memory:")
    for worker, before in sorted(at_50.items()):
        after = latest[worker]
        print(f"  worker {worker}: {before / 2**20:.1f} MiB after 50 batches, "
              f"{after / 2**20:.1f} MiB after 500 ({(after - before) / 2**20:+.1f} MiB)")

if __name__ == "__main__":
    sys.exit(main())
