"""open() on each container kind and frames_at() against FFmpeg's own decode
of the whole stream, open groups included."""
import random

import numpy as np
import pytest
from conftest import STREAMS, pyav_decode

import vantle_video


@pytest.mark.parametrize("key, codec, leading", [
    ("h265_open_mp4", vantle_video.Codec.H265, True),
    ("h265_open_raw", vantle_video.Codec.H265, True),
    ("h264_open_mp4", vantle_video.Codec.H264, True),
    ("h264_closed_mkv", vantle_video.Codec.H264, False),
    ("h264_raw", vantle_video.Codec.H264, False),
    ("h265_closed_mkv", vantle_video.Codec.H265, False),
])
def test_frames_at_equals_the_whole_stream_decode(media, key, codec, leading):
    clip = vantle_video.open(media[key])
    assert clip.codec == codec and clip.groups[0][0] == 0 and len(clip.groups) >= 4
    assert any(clip._leading) == leading
    reference = pyav_decode(media[key])
    assert clip.frame_count == len(reference) == 48
    # Every picture at once, then scattered picks that land on leading
    # pictures without their group before being asked for.
    picks = [list(range(48)), [13, 2, 40, 13, 25, 24, 47, 0]]
    picks += [random.Random(seed).sample(range(48), 5) for seed in range(4)]
    for indices in picks:
        frames = clip.frames_at(indices, yuv420=True)
        for index, frame in zip(indices, frames):
            for ours, theirs in zip(frame.planes, reference[index]):
                np.testing.assert_array_equal(ours, theirs, err_msg=f"{key} frame {index}")


@pytest.mark.parametrize("name, codec, size", [
    ("h264/h264_4bf_pyramid_nobsrestriction.mp4", "H264", (320, 240)),  # MP4, avcC
    ("h264/MPS_MW_A.264", "H264", (176, 144)),  # Annex B, 5 groups
    ("h264/1242-small.mkv", "H264", (1280, 718)),  # Matroska, video is stream 1
    ("h264/h264small.mp4", "H264", (82, 144)),  # MPEG-TS
    ("hevc/p_qcif_10f.265", "H265", (176, 144)),
    ("av1/av1-1-b8-01-size-66x66.ivf", "AV1", (66, 66)),
])
def test_open_reads_every_container_kind(name, codec, size):
    clip = vantle_video.open(STREAMS / name)
    assert clip.codec.name == codec and (clip.width, clip.height) == size
    reference = pyav_decode(STREAMS / name)
    assert clip.frame_count == len(reference)
    last = clip.frame_count - 1
    for index, frame in zip([0, last], clip.frames_at([0, last], yuv420=True)):
        np.testing.assert_array_equal(frame.y, reference[index][0])


def test_open_refusals(media, tmp_path):
    with pytest.raises(ValueError, match="not video"):
        vantle_video.open(STREAMS / "h264/1242-small.mkv", stream=0)
    with pytest.raises(IndexError):
        vantle_video.open(media["h264_raw"]).frames_at([48])
