#!/usr/bin/python3
"""Training clips from a list of video files through a PyTorch DataLoader.

  torch_dataloader.py FILE... [--workers 2] [--batches 20] [--clips 4] [--frames 8]
                              [--seed 0] [--batch-size 2]

Each sample is one file's clips at random indices, a (clips, frames, H, W, 3)
uint8 tensor, drawn from (seed, epoch, sample index): the same samples come
out whatever the number of workers. The parent indexes each file once and
hands the workers the stored indexes (bytes); each worker opens its clips
after it starts, from those indexes, with no demux pass. worker_init_fn bounds
the library's kept memory and FFmpeg's threads in each worker.
"""
import argparse
import os
import sys
import time

import numpy as np
import torch
from torch.utils.data import DataLoader, Dataset, Sampler

import vantle_video
from vantle_video import samplers

KEPT_MEMORY_LIMIT = 64 << 20  # per worker: the library's default is 256 MiB a process


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class ClipDataset(Dataset):
    """Sample i: num_clips clips of num_frames_per_clip pictures of file i."""

    def __init__(self, paths, indexes=None, num_clips=4, num_frames_per_clip=8, seed=0,
                 size=None):
        self.paths = [os.fspath(p) for p in paths]
        # Bytes a data engine could keep in a column beside the paths.
        self.indexes = indexes or [vantle_video.open(p).index.to_bytes() for p in self.paths]
        self.num_clips, self.num_frames_per_clip = num_clips, num_frames_per_clip
        self.seed, self.size = seed, size
        self._clips, self._pid = {}, None

    def __len__(self):
        return len(self.paths)

    def clip(self, i):
        # Clips opened before a fork (in the parent) are not carried into a
        # worker: each process opens its own.
        if self._pid != os.getpid():
            self._clips, self._pid = {}, os.getpid()
        if i not in self._clips:
            self._clips[i] = vantle_video.open(self.paths[i], index=self.indexes[i])
        return self._clips[i]

    def __getitem__(self, key):
        epoch, i = key if isinstance(key, tuple) else (0, key)
        batch = samplers.clips_at_random_indices(
            self.clip(i), num_clips=self.num_clips, num_frames_per_clip=self.num_frames_per_clip,
            seed=(self.seed, epoch, i), size=self.size)
        data = batch.data
        if data.dtype == np.uint16:
            data = data.astype(np.int32)  # torch 1.13 has no uint16: one copy
        info = torch.utils.data.get_worker_info()
        return {"data": torch.from_numpy(data),  # no copy
                "indices": torch.from_numpy(batch.indices),
                "pts_seconds": torch.from_numpy(batch.pts_seconds),
                "sample": i, "worker": -1 if info is None else info.id,
                "resident_bytes": resident_bytes()}


class EpochSampler(Sampler):
    """(epoch, i) for every sample, in order; set_epoch in the parent reaches
    the workers through the keys, persistent workers too."""

    def __init__(self, count, epoch=0):
        self.count, self.epoch = count, epoch

    def set_epoch(self, epoch):
        self.epoch = epoch

    def __iter__(self):
        return iter([(self.epoch, i) for i in range(self.count)])

    def __len__(self):
        return self.count


def init_worker(worker_id):
    vantle_video.set_kept_memory_limit(KEPT_MEMORY_LIMIT)
    os.environ["VANTLE_VIDEO_FFMPEG_THREADS"] = "1"  # read by the library at every decode
    torch.set_num_threads(1)


def loader(dataset, workers=2, batch_size=2):
    return DataLoader(dataset, batch_size=batch_size, sampler=EpochSampler(len(dataset)),
                      num_workers=workers, persistent_workers=workers > 0,
                      worker_init_fn=init_worker if workers else None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--batches", type=int, default=20)
    parser.add_argument("--clips", type=int, default=4)
    parser.add_argument("--frames", type=int, default=8)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--batch-size", type=int, default=2)
    arguments = parser.parse_args()
    dataset = ClipDataset(arguments.files, num_clips=arguments.clips,
                          num_frames_per_clip=arguments.frames, seed=arguments.seed)
    batches = loader(dataset, arguments.workers, arguments.batch_size)
    done, epoch, start = 0, 0, time.perf_counter()
    while done < arguments.batches:
        batches.sampler.set_epoch(epoch)
        for batch in batches:
            done += 1
            print(f"batch {done}: data {tuple(batch['data'].shape)} {batch['data'].dtype}, "
                  f"files {batch['sample'].tolist()}, workers {batch['worker'].tolist()}")
            if done == arguments.batches:
                break
        epoch += 1
    seconds = time.perf_counter() - start
    print(f"{done} batches in {seconds:.2f} s ({done / seconds:.1f} a second)")


if __name__ == "__main__":
    sys.exit(main())
