"""Clip against the ffmpeg command line: every picture by index and by time,
as YUV 4:2:0 and RGB, byte for byte, with the container's timestamps; and
open() on each container kind."""
import numpy as np
import pytest
from conftest import STREAMS, ffmpeg_pictures, ffprobe_times, picture_bytes

import vantle_video

# 8-bit 4:2:0 streams of the corpus that decode whole at one size (the
# command line scales a stream whose size changes to its first), one or more
# per container kind, and generated open and closed groups; VP9 and VP8 with
# hidden frames, odd sizes and 10 and 12 bits.
CORPUS = ["h264/h264_4bf_pyramid_nobsrestriction.mp4", "h264/MPS_MW_A.264",
          "h264/1242-small.mkv", "h264/h264small.mp4", "h264/interlaced_crop.mp4",
          "hevc/p_qcif_10f.265", "av1/av1-1-b8-01-size-66x66.ivf",
          "av1/av1-1-b8-01-size-16x18.ivf"]
GENERATED = ["h265_open_mp4", "h265_open_raw", "h264_open_mp4", "h264_closed_mkv", "h264_raw",
             "h265_closed_mkv", "h265_10bit_open_mkv", "vp9_webm", "vp9_mp4", "vp9_odd_ivf",
             "vp9_10bit_mkv", "vp9_12bit_ivf", "vp8_webm", "vp8_ivf", "vp8_odd_ivf"]


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
    # Sources above 8 bits as 16-bit planes and RGB; 8-bit RGB of them is
    # not the command line's (its scaler flags differ). The 8-bit clips have
    # even heights: at odd ones the command line's rgb24 leaves the unscaled
    # conversion that the library's 8-bit RGB equals.
    formats = (("yuv420", "rgb", "rgb48") if clip.pixel_format == "yuv420p" else
               ("yuv420p16", "rgb48"))
    for format in formats:
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


def hidden_frames(codec, packet):
    """Frames of a packet that show no picture: those a VP9 superframe index
    lists besides its shown one, or a VP8 frame without show_frame."""
    if codec == vantle_video.Codec.VP8:
        return 0 if packet[0] & 0x10 else 1
    last = packet[-1]
    listed = (last & 7) + 1
    index = 2 + listed * (((last >> 3) & 3) + 1)
    return listed - 1 if last & 0xE0 == 0xC0 and packet[-index] == last else 0


@pytest.mark.parametrize("key, hidden", [("vp9_webm", True), ("vp9_mp4", True),
                                         ("vp9_12bit_ivf", True), ("vp8_webm", True),
                                         ("vp8_ivf", True), ("vp8_odd_ivf", False)])
def test_hidden_frames_stay_in_the_groups_and_are_not_counted(media, key, hidden):
    clip = vantle_video.open(media[key])
    packets = [bytes(p) for g in range(len(clip.groups)) for p in clip.group(g)[1]]
    count = sum(hidden_frames(clip.codec, p) for p in packets)
    assert (count > 0) == hidden
    # A VP8 invisible frame is a packet of its own; VP9 ones share a packet.
    invisible = count if clip.codec == vantle_video.Codec.VP8 else 0
    assert len(packets) == clip.frame_count + invisible
    assert clip.pixel_format == {"vp9_12bit_ivf": "yuv420p12le"}.get(key, "yuv420p")


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
