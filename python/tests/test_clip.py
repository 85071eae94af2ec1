"""Clip against the ffmpeg command line: every picture by index and by time,
as YUV 4:2:0 and RGB, byte for byte, with the container's timestamps; and
open() on each container kind."""
import numpy as np
import pytest
from conftest import STREAMS, ffmpeg_pictures, ffprobe_times, picture_bytes

import vantle_video

# 8-bit 4:2:0 streams of the corpus that decode whole at one size (the
# command line scales a stream whose size changes to its first), one or more
# per container kind, and generated open and closed groups.
CORPUS = ["h264/h264_4bf_pyramid_nobsrestriction.mp4", "h264/MPS_MW_A.264",
          "h264/1242-small.mkv", "h264/h264small.mp4", "h264/interlaced_crop.mp4",
          "hevc/p_qcif_10f.265", "av1/av1-1-b8-01-size-66x66.ivf",
          "av1/av1-1-b8-01-size-16x18.ivf"]
GENERATED = ["h265_open_mp4", "h265_open_raw", "h264_open_mp4", "h264_closed_mkv", "h264_raw",
             "h265_closed_mkv"]


@pytest.fixture(params=CORPUS + GENERATED)
def path(request, media):
    return media[request.param] if request.param in media else STREAMS / request.param


def test_pictures_by_index_and_time_equal_the_ffmpeg_command_line(path):
    clip = vantle_video.open(path)
    times = ffprobe_times(path)
    assert clip.frame_count == len(clip) == len(times)
    np.testing.assert_allclose(clip.pts_seconds, times, atol=1e-6)
    last = clip.pts_seconds[-1] + clip.durations_seconds[-1]
    assert clip.duration_seconds == pytest.approx(last - times[0])
    # Inside each interval, at its start and just before its end; picks of a
    # leading picture without its group before come in the scattered order.
    picks = [(i, t + f * d) for i, (t, d) in enumerate(zip(clip.pts_seconds,
                                                           clip.durations_seconds))
             for f in (0, 0.5, 0.999)]
    for format in ("yuv420", "rgb"):
        reference = ffmpeg_pictures(path, format, clip.width, clip.height)
        assert len(reference) == clip.frame_count
        order = list(range(clip.frame_count))[::-1][::2] + list(range(clip.frame_count))
        for index, frame in zip(order, clip.frames_at(order, format=format)):
            assert picture_bytes(frame) == reference[index], f"{format} picture {index}"
            assert (frame.index, frame.pts_seconds) == (index, clip.pts_seconds[index])
        played = clip.frames_played_at([t for _, t in picks], format=format)
        for (index, t), frame in zip(picks, played):
            assert picture_bytes(frame) == reference[index], f"{format} at {t} s"
    for outside in (times[0] - 1e-3, last, last + 1):
        with pytest.raises(ValueError, match="outside"):
            clip.frames_played_at([outside])


def test_indexing_slicing_and_refusals(media):
    clip = vantle_video.open(media["h264_open_mp4"], threads=2)
    every = [picture_bytes(f) for f in clip.frames_at(range(48), format="yuv420")]
    assert picture_bytes(clip.frames_at([-1 % 48], format="yuv420")[0]) == every[-1]
    assert [f.index for f in clip[5:40:7]] == list(range(5, 40, 7))
    assert clip[-1].index == 47 and clip[0].rgb.shape == (96, 160, 3)
    with pytest.raises(ValueError, match="not video"):
        vantle_video.open(STREAMS / "h264/1242-small.mkv", stream=0)
    with pytest.raises(IndexError):
        clip.frames_at([48])
    with pytest.raises(ValueError, match="threads"):
        vantle_video.open(media["h264_raw"], threads=0)
