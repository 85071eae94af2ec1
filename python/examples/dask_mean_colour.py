#!/usr/bin/python3
"""Decodes every group of pictures of every video file in a folder on a Dask
cluster and reduces each group to its mean colour row (the mean RGB of each
picture column over the group's pictures and rows).

  dask_mean_colour.py FOLDER [--scheduler tcp://HOST:8786] [--workers N]

Without --scheduler it starts a distributed.LocalCluster of N worker
processes (default 2, one thread each); with it the same code runs on that
cluster's workers, which need this package, the library and the files (a
shared file system) on their own machines.

The client indexes each file once; each task is (clip index, group) over the
clips sent to every worker once, so a worker reads only the bytes of the
groups it decodes.
"""
import argparse
import os
import sys

import numpy as np

import vantle_video

VIDEO_SUFFIXES = (".mp4", ".mkv", ".mov", ".webm", ".264", ".h264", ".265", ".hevc", ".ivf")


def open_clips(folder):
    """The video files of a folder, indexed, in a fixed order."""
    names = sorted(n for n in os.listdir(folder) if n.lower().endswith(VIDEO_SUFFIXES))
    return [vantle_video.open(os.path.join(folder, name)) for name in names]


def group_tasks(clips):
    """(clip index, group) for every group of every clip."""
    return [(c, g) for c, clip in enumerate(clips) for g in range(len(clip.groups))]


def mean_colour_row(clips, clip_index, group):
    """The group's pictures as RGB, reduced to one row of width x 3 float64."""
    frames = vantle_video.decode(*clips[clip_index].group(group))
    total = np.zeros((frames[0].width, 3), dtype=np.float64)
    for frame in frames:
        total += frame.rgb.mean(axis=0, dtype=np.float64)
    return total / len(frames)


def reduce_rows(clips, tasks, rows):
    """{file name: array groups x width x 3}."""
    result = {}
    for (c, _), row in zip(tasks, rows):
        result.setdefault(os.path.basename(clips[c].path), []).append(row)
    return {name: np.stack(group_rows) for name, group_rows in result.items()}


def run_single_process(folder):
    clips = open_clips(folder)
    tasks = group_tasks(clips)
    return reduce_rows(clips, tasks, [mean_colour_row(clips, c, g) for c, g in tasks])


def run_on_dask(folder, scheduler=None, workers=2):
    from distributed import Client, LocalCluster

    clips = open_clips(folder)
    tasks = group_tasks(clips)
    if scheduler:
        cluster, client = None, Client(scheduler)
    else:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        # The clips (paths and indexes, not the files' bytes) go to each
        # worker once.
        shared = client.scatter(clips, broadcast=True)
        futures = client.map(mean_colour_row, [shared] * len(tasks), [c for c, _ in tasks],
                             [g for _, g in tasks], pure=False)
        return reduce_rows(clips, tasks, client.gather(futures))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    arguments = parser.parse_args()
    rows = run_on_dask(arguments.folder, arguments.scheduler, arguments.workers)
    for name, groups in rows.items():
        means = ", ".join(f"({r:.1f} {g:.1f} {b:.1f})" for r, g, b in groups.mean(axis=1))
        print(f"{name}: {len(groups)} groups, mean colour per group {means}")


if __name__ == "__main__":
    sys.exit(main())
