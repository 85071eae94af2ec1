"""Samplers and batches against the ffmpeg command line, byte for byte; the
same seed gives the same clips; each needed group is decoded once a call."""
import ctypes
import pickle

import numpy as np
import pytest
from conftest import STREAMS, ffmpeg_pictures, ffprobe_times
from test_clip import CORPUS, GENERATED

import vantle_video
from vantle_video import _library, samplers

POLICIES = ["repeat_last", "wrap", "error"]


def fill(values, wanted, policy):
    """A clip's in-range values made `wanted` long, or None for "error"."""
    extra = wanted - len(values)
    if extra and policy == "error":
        return None
    return values + ([values[-1]] * extra if policy == "repeat_last" else
                     [values[i % len(values)] for i in range(extra)])


def calls(clip, times, policy):
    """Each sampler, arguments that run clips past the end, and for the
    regular ones the display indices expected from ffprobe's times."""
    count, period = len(clip), 1 / float(clip.frame_rate)
    finish = times[-1] + clip.durations_seconds[-1]
    # The last clips keep two, one or no pictures past their first.
    starts = np.linspace(max(0, count - 6), count - 1, 4).astype(int)
    regular = [fill(list(range(s, min(s + 5, count), 2)), 3, policy) for s in starts]
    # Starts and steps a fraction of a period off the pictures' starts, so
    # that no time falls on one.
    first, every, step = times[0] + 0.37 * period, (count // 4 + 0.25) * period, 1.5 * period
    moments = [fill([t for t in (first + k * every + j * step for j in range(3)) if t < finish],
                    3, policy) for k in range(int((finish - first) / every) + 1)
               if first + k * every < finish]
    common = {"num_frames_per_clip": 3, "policy": policy}
    return [
        (samplers.clips_at_random_indices, dict(common, num_clips=5, num_indices_between_frames=2,
                                                sampling_range_end=count, seed=1), None),
        (samplers.clips_at_regular_indices, dict(common, num_clips=4, num_indices_between_frames=2,
                                                 sampling_range_start=max(0, count - 6),
                                                 sampling_range_end=count), regular),
        (samplers.clips_at_random_timestamps, dict(common, num_clips=5, sampling_range_end=finish,
                                                   seconds_between_frames=step,
                                                   seed=2), None),
        (samplers.clips_at_regular_timestamps, dict(
            common, seconds_between_clip_starts=every, seconds_between_frames=step,
            sampling_range_start=first, sampling_range_end=finish),
         [None if m is None else (np.searchsorted(times, m, side="right") - 1).tolist()
          for m in moments]),
    ]


@pytest.mark.parametrize("name", CORPUS + GENERATED)
def test_every_sampled_picture_equals_the_ffmpeg_command_line(media, name):
    path = media[name] if name in media else STREAMS / name
    clip = vantle_video.open(path, threads=2)
    times = np.array(ffprobe_times(path))
    # Sources above 8 bits in 16-bit RGB: their 8-bit RGB is not the command
    # line's (its scaler flags differ).
    format, dtype = ("rgb", np.uint8) if clip.pixel_format == "yuv420p" else ("rgb48", np.uint16)
    reference = ffmpeg_pictures(path, format, clip.width, clip.height)
    for policy in POLICIES:
        for sampler, arguments, expected in calls(clip, times, policy):
            arguments = dict(arguments, format=format)
            if expected is not None and None in expected:
                with pytest.raises(ValueError, match="past the end"):
                    sampler(clip, **arguments)
                continue
            try:
                batch = sampler(clip, **arguments)
            except ValueError as error:
                assert policy == "error" and "past the end" in str(error)
                continue
            assert batch.data.shape[1:] == (3, clip.height, clip.width, 3)
            assert batch.data.flags.c_contiguous and batch.data.dtype == dtype
            if expected is not None:
                assert batch.indices.tolist() == expected, (sampler.__name__, policy)
            np.testing.assert_allclose(batch.pts_seconds, times[batch.indices], atol=1e-6)
            for index, picture in zip(batch.indices.ravel(), batch.data.reshape(
                    -1, clip.height, clip.width, 3)):
                assert picture.tobytes() == reference[index], (sampler.__name__, policy, index)


@pytest.mark.parametrize("sampler", [samplers.clips_at_random_indices,
                                     samplers.clips_at_random_timestamps])
def test_the_same_seed_gives_the_same_clips(media, sampler):
    clip = vantle_video.open(media["h264_open_mp4"])

    def draw(seed):
        return sampler(clip, num_clips=6, num_frames_per_clip=2, seed=seed)
    first, again = draw((7, 3)), draw(np.random.default_rng((7, 3)))
    assert first.indices.tolist() == again.indices.tolist()
    assert first.data.tobytes() == again.data.tobytes()
    assert draw((7, 4)).indices.tolist() != first.indices.tolist()
    shared = np.random.default_rng(1)
    assert draw(shared).indices.tolist() != draw(shared).indices.tolist()


@pytest.mark.parametrize("name, cut, skips", [
    ("h265_open_mp4", "some", True), ("h264_closed_mkv", "some", True),  # H.264 from IDR
    ("h264_open_mp4", "first group only", None),  # the others start at recovery points
    ("vp8_ivf", "some", False)])  # invisible packets of their own
def test_each_needed_group_is_decoded_once_per_call(media, monkeypatch, name, cut, skips):
    clip = vantle_video.open(media[name], threads=2)
    owner = {bytes(p): g for g in range(len(clip.groups)) for p in clip.group(g)[1]}
    lib = _library.library()
    real, decoded, sent = lib.vantle_video_runtime_decode, [], []

    def counting(request, response):
        record = ctypes.cast(request, ctypes.POINTER(_library.RuntimeDecodeRequest)).contents
        sent.append([ctypes.string_at(record.packets[i].data, record.packets[i].len)
                     for i in range(record.packet_count)])
        decoded.append([owner[packet] for packet in sent[-1]])
        return real(request, response)

    monkeypatch.setattr(lib, "vantle_video_runtime_decode", counting)
    batch = samplers.clips_at_random_indices(clip, num_clips=12, num_frames_per_clip=4, seed=3)
    needed = set()
    for index in batch.indices.ravel().tolist():
        g = np.searchsorted(clip._display_starts, index, side="right") - 1
        needed.add(g)
        if g > 0 and index - clip._display_starts[g] < clip._leading[g]:
            needed.add(g - 1)
    runs = [sorted(set(run)) for run in decoded]
    every = [g for run in runs for g in run]
    assert sorted(every) == sorted(needed)  # each once, none more
    # Consecutive groups, in decode order, to the last packet needed.
    assert all(run == sorted(run) and set(run) == set(range(run[0], run[-1] + 1))
               for run in decoded)
    # Runs cut after the last packet needed, by the group they start at.
    cut_from = {run[0] for run in decoded
                if len(run) < sum(clip.groups[g][1] for g in set(run))}
    if cut == "some":
        assert cut_from
    else:
        assert not cut_from - {0} and any(run[0] > 0 for run in decoded)
    # Unwanted pictures nothing refers to are left out inside a run too.
    runs_packets = [[bytes(p) for g in sorted(set(run)) for p in clip.group(g)[1]]
                    for run in decoded]
    gaps = [packets.index(run[-1]) + 1 > len(run) for run, packets in zip(sent, runs_packets)]
    if skips is not None:
        assert any(gaps) == skips


@pytest.mark.parametrize("arguments, error", [
    ({}, None), ({"size": (64, 32)}, None), ({"threads": 1}, None),
    ({"format": "yuv420"}, "list of Frames"),
])
def test_batches_equal_the_list_form(media, arguments, error):
    clip = vantle_video.open(media["h265_open_raw"], threads=2)
    order = [30, 2, 2, 47, 13, 12]
    if error:
        with pytest.raises(ValueError, match=error):
            clip.frames_at(order, batch=True, **arguments)
        return
    frames = clip.frames_at(order, **arguments)
    for batch in (clip.frames_at(order, batch=True, **arguments),
                  clip.frames_played_at(clip.pts_seconds[order] + 1e-4, batch=True, **arguments)):
        assert batch.data.tobytes() == b"".join(f.rgb.tobytes() for f in frames)
        assert batch.indices.tolist() == order and len(batch) == len(order)
        assert batch.duration_seconds.tolist() == [f.duration_seconds for f in frames]
        again = pickle.loads(pickle.dumps(batch[1:3]))
        assert again.data.tobytes() == batch.data[1:3].tobytes()
        assert again.pts_seconds.tolist() == [frames[1].pts_seconds, frames[2].pts_seconds]


def test_a_16_bit_batch_of_a_turned_clip_holds_upright_pictures(media):
    path = media["h264_10bit_rotated_mp4"]
    clip = vantle_video.open(path)
    batch = samplers.clips_at_regular_indices(clip, num_clips=2, num_frames_per_clip=3,
                                              format="rgb48")
    assert batch.data.shape == (2, 3, 64, 48, 3) and batch.data.dtype == np.uint16
    reference = ffmpeg_pictures(path, "rgb48", clip.width, clip.height)
    assert [p.tobytes() for p in batch.data.reshape(6, 64, 48, 3)] == [
        reference[i] for i in batch.indices.ravel()]
