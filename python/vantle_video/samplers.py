"""Clip samplers with torchcodec's names and arguments, over a Clip.

    batch = samplers.clips_at_random_indices(clip, num_clips=8, num_frames_per_clip=4, seed=7)
    batch.data.shape  # (8, 4, H, W, 3)

Each call plans its decoding as one frames_at request: every group its clips
need is decoded once, for all of them, on the clip's thread pool. Random
samplers draw from numpy: `seed` is an int, a sequence of ints (say
(run seed, sample index), so that a sample does not depend on which worker
draws it), a numpy SeedSequence or Generator, or None for fresh entropy.

sampling_range_end bounds where a clip may start (exclusive); by default the
last start whose clip fits in the video. A clip that runs past the end
follows `policy`: "repeat_last" repeats its last picture in the video,
"wrap" starts over from its own first picture, "error" raises ValueError."""
import numpy as np

from ._batch import clips_of

__all__ = ["clips_at_random_indices", "clips_at_regular_indices", "clips_at_random_timestamps",
           "clips_at_regular_timestamps"]

_POLICIES = ("repeat_last", "wrap", "error")


def _fill(values, wanted, policy):
    """A clip's in-range values, made `wanted` long by the policy."""
    if len(values) == wanted:
        return values
    if policy == "error":
        raise ValueError(f"policy 'error': a clip of {wanted} pictures runs past the end of the "
                         "video (leave sampling_range_end at its default to keep clips inside)")
    if policy == "repeat_last":
        return values + [values[-1]] * (wanted - len(values))
    return [values[i % len(values)] for i in range(wanted)]


def _check(clip, num_frames_per_clip, policy, num_clips=1):
    if len(clip) < 1:
        raise ValueError("the clip has no pictures")
    if num_frames_per_clip < 1:
        raise ValueError(f"num_frames_per_clip ({num_frames_per_clip}) must be at least 1")
    if num_clips is not None and num_clips < 1:
        raise ValueError(f"num_clips ({num_clips}) must be at least 1")
    if policy not in _POLICIES:
        raise ValueError(f"policy {policy!r} is not one of {', '.join(_POLICIES)}")


def _index_range(count, span, start, end):
    if not -count <= start < count:
        raise ValueError(f"sampling_range_start ({start}) is outside [{-count}, {count})")
    start %= count
    if end is None:
        end = max(count - span + 1, 1)
    else:
        end = min(end + count if end < 0 else end, count)
    if start >= end:
        raise ValueError(f"sampling_range_start ({start}) must be smaller than "
                         f"sampling_range_end ({end})")
    return start, end


def _index_sampler(clip, starts_of, num_clips, num_frames_per_clip, num_indices_between_frames,
                   sampling_range_start, sampling_range_end, policy, format, size, threads):
    _check(clip, num_frames_per_clip, policy, num_clips)
    if num_indices_between_frames < 1:
        raise ValueError(f"num_indices_between_frames ({num_indices_between_frames}) must be at "
                         "least 1")
    count = len(clip)
    span = num_indices_between_frames * (num_frames_per_clip - 1) + 1
    start, end = _index_range(count, span, int(sampling_range_start), sampling_range_end)
    indices = []
    for first in starts_of(start, end):
        inside = list(range(first, min(first + span, count), num_indices_between_frames))
        indices += _fill(inside, num_frames_per_clip, policy)
    batch = clip.frames_at(indices, format, size, threads=threads, batch=True)
    return clips_of(batch, num_clips, num_frames_per_clip)


def clips_at_random_indices(clip, *, num_clips=1, num_frames_per_clip=1,
                            num_indices_between_frames=1, sampling_range_start=0,
                            sampling_range_end=None, policy="repeat_last", seed=None,
                            format="rgb", size=None, threads=None):
    """num_clips clips of num_frames_per_clip pictures, num_indices_between_frames
    apart, each starting at a display index drawn uniformly from
    [sampling_range_start, sampling_range_end) (negative values count from
    the end). A FrameBatch whose data is (num_clips, num_frames_per_clip,
    H, W, 3)."""
    rng = np.random.default_rng(seed)
    return _index_sampler(
        clip, lambda start, end: rng.integers(start, end, size=num_clips).tolist(), num_clips,
        num_frames_per_clip, num_indices_between_frames, sampling_range_start,
        sampling_range_end, policy, format, size, threads)


def clips_at_regular_indices(clip, *, num_clips=1, num_frames_per_clip=1,
                             num_indices_between_frames=1, sampling_range_start=0,
                             sampling_range_end=None, policy="repeat_last", format="rgb",
                             size=None, threads=None):
    """As clips_at_random_indices, the starts evenly spaced from
    sampling_range_start to sampling_range_end - 1, both included, rounded
    down (more clips than starts repeat starts)."""
    def starts(start, end):
        return np.linspace(start, end - 1, num_clips).astype(np.int64).tolist()
    return _index_sampler(clip, starts, num_clips, num_frames_per_clip,
                          num_indices_between_frames, sampling_range_start, sampling_range_end,
                          policy, format, size, threads)


def _time_sampler(clip, starts_of, num_frames_per_clip, seconds_between_frames,
                  sampling_range_start, sampling_range_end, policy, format, size, threads):
    _check(clip, num_frames_per_clip, policy, None)
    begin = float(clip.pts_seconds[0])
    finish = float(clip.pts_seconds[-1] + clip.durations_seconds[-1])
    step = 1 / float(clip.frame_rate) if seconds_between_frames is None else float(
        seconds_between_frames)
    if step <= 0:
        raise ValueError(f"seconds_between_frames ({seconds_between_frames}) must be positive")
    if sampling_range_start is None:
        start = begin
    else:
        start = float(sampling_range_start)
        if not begin <= start < finish:
            raise ValueError(f"sampling_range_start ({start}) is outside the video's "
                             f"[{begin}, {finish}) s")
    if sampling_range_end is None:
        end = finish - (num_frames_per_clip - 1) * step
    else:
        end = float(sampling_range_end)
        if end <= begin:
            raise ValueError(f"sampling_range_end ({end}) must be past the video's start "
                             f"({begin} s)")
    if start >= end:
        raise ValueError(f"sampling_range_start ({start}) must be smaller than "
                         f"sampling_range_end ({end})")
    end = min(end, finish)
    times = []
    firsts = starts_of(start, end)
    for first in firsts:
        inside = [t for t in (first + i * step for i in range(num_frames_per_clip)) if t < finish]
        times += _fill(inside, num_frames_per_clip, policy)
    batch = clip.frames_played_at(times, format, size, threads=threads, batch=True)
    return clips_of(batch, len(firsts), num_frames_per_clip)


def clips_at_random_timestamps(clip, *, num_clips=1, num_frames_per_clip=1,
                               seconds_between_frames=None, sampling_range_start=None,
                               sampling_range_end=None, policy="repeat_last", seed=None,
                               format="rgb", size=None, threads=None):
    """num_clips clips of the pictures shown at num_frames_per_clip times,
    seconds_between_frames apart (default the frame period, 1 / frame_rate),
    each clip starting at a time drawn uniformly from [sampling_range_start,
    sampling_range_end) seconds (default from the first picture's time to
    the last start whose times all fall inside the video)."""
    if num_clips < 1:
        raise ValueError(f"num_clips ({num_clips}) must be at least 1")
    rng = np.random.default_rng(seed)
    return _time_sampler(
        clip, lambda start, end: (start + rng.random(num_clips) * (end - start)).tolist(),
        num_frames_per_clip, seconds_between_frames, sampling_range_start, sampling_range_end,
        policy, format, size, threads)


def clips_at_regular_timestamps(clip, *, seconds_between_clip_starts, num_frames_per_clip=1,
                                seconds_between_frames=None, sampling_range_start=None,
                                sampling_range_end=None, policy="repeat_last", format="rgb",
                                size=None, threads=None):
    """As clips_at_random_timestamps, a clip starting every
    seconds_between_clip_starts from sampling_range_start, before
    sampling_range_end."""
    if seconds_between_clip_starts <= 0:
        raise ValueError(f"seconds_between_clip_starts ({seconds_between_clip_starts}) must be "
                         "positive")

    def starts(start, end):
        firsts = start + np.arange(int(np.ceil((end - start) / seconds_between_clip_starts))) * (
            float(seconds_between_clip_starts))
        return firsts[firsts < end].tolist()
    return _time_sampler(clip, starts, num_frames_per_clip, seconds_between_frames,
                         sampling_range_start, sampling_range_end, policy, format, size, threads)
