"""A stored index opens a clip without a demux pass, reading only the first
group, with the same pictures, rotation and hidden frames; a stale,
foreign or older one is refused."""
import pickle
import shutil

import av
import pytest
from conftest import STREAMS, picture_bytes
from test_sources import CountingFile

import vantle_video


@pytest.mark.parametrize("name, located", [
    ("h265_open_mp4", True), ("h265_open_raw", True), ("h264_closed_mkv", True),
    ("h264/h264small.mp4", False),  # MPEG-TS: read through the demuxer
    ("h264/MPS_MW_A.264", True), ("av1/av1-1-b8-01-size-66x66.ivf", True),
])
def test_opening_with_a_stored_index_reads_the_first_group_only(media, monkeypatch, name,
                                                                located):
    path = media[name] if name in media else STREAMS / name
    clip = vantle_video.open(path)
    index = clip.index
    packets = sum(count for _, count in clip.groups)
    assert len(index) <= 160 + len(clip.extradata) + 16 * packets
    every = range(len(clip))
    reference = [picture_bytes(f) for f in clip.frames_at(every, format="yuv420")]
    if located:
        def refuse(*arguments, **keywords):
            raise AssertionError("the container was opened")
        monkeypatch.setattr(av, "open", refuse)
    counting = CountingFile(path)
    for stored in (index, index.to_bytes(), pickle.loads(pickle.dumps(index))):
        counting.count = 0
        again = vantle_video.open(counting, index=stored)
        if located:
            first = sum(len(p) for p in clip.group(0)[1])
            assert first <= counting.count <= first + 4096
        assert (again.frame_count, again.groups, again.width, again.codec) == (
            clip.frame_count, clip.groups, clip.width, clip.codec)
        assert (again.pts_seconds == clip.pts_seconds).all()
        assert [picture_bytes(f) for f in again.frames_at(every, format="yuv420")] == reference


def changed(path, tmp_path, how):
    copy = tmp_path / ("changed" + path.suffix)
    shutil.copy(path, copy)
    data = bytearray(copy.read_bytes())
    if how == "appended":
        data += b"\0"
    else:  # a byte inside the first picture, the size kept
        at = int(vantle_video.open(path)._offsets[0]) + 40
        data[at] ^= 0xFF
    copy.write_bytes(bytes(data))
    return copy


@pytest.mark.parametrize("case, error, message", [
    ("foreign", vantle_video.StaleIndexError, "source of"),
    ("appended", vantle_video.StaleIndexError, "source of"),
    ("flipped", vantle_video.StaleIndexError, "first group differs"),
    ("damaged", vantle_video.StaleIndexError, "damaged"),
    ("not an index", vantle_video.StaleIndexError, "not a stored"),
    ("older layout", vantle_video.StaleIndexError, "layout version 1, made by an older"),
    ("other stream", ValueError, "the index is of stream 0, not 1"),
])
def test_a_stale_or_foreign_index_is_refused(media, tmp_path, case, error, message):
    path = media["h264_open_mp4"]
    index = vantle_video.open(path).index.to_bytes()
    source, stream = path, None
    if case == "foreign":
        source = media["h264_closed_mkv"]
    elif case in ("appended", "flipped"):
        source = changed(path, tmp_path, case)
    elif case == "damaged":
        index = index[:100] + bytes([index[100] ^ 1]) + index[101:]
    elif case == "not an index":
        index = b"\0" * 200
    elif case == "older layout":
        index = index[:7] + b"1" + index[8:]
    else:
        stream = 1
    with pytest.raises(error, match=message):
        vantle_video.open(source, stream=stream, index=index)


@pytest.mark.parametrize("name, apply_rotation", [
    ("h264_10bit_rotated_mp4", True), ("h264_10bit_rotated_mp4", False),
    ("vp8_ivf", True),  # invisible frames with timestamps of their own
    ("vp9_webm", True),
])
def test_a_stored_index_gives_what_a_fresh_open_gives(media, name, apply_rotation):
    path = media[name]
    # Made upright; reopened with either choice, as open() is asked.
    index = vantle_video.open(path).index
    packets = sum(count for _, count in vantle_video.open(path).groups)
    assert len(index) <= 200 + 16 * packets
    fresh = vantle_video.open(path, apply_rotation=apply_rotation)
    again = vantle_video.open(path, apply_rotation=apply_rotation, index=index)
    fields = ("width", "height", "rotation", "pixel_format", "frame_count", "groups")
    assert [getattr(again, f) for f in fields] == [getattr(fresh, f) for f in fields]
    assert (again._shown == fresh._shown).all() and (again.pts_seconds == fresh.pts_seconds).all()
    every = range(len(fresh))
    assert ([picture_bytes(f) for f in again.frames_at(every, format="rgb48")] ==
            [picture_bytes(f) for f in fresh.frames_at(every, format="rgb48")])
    if name.endswith("rotated_mp4"):
        assert fresh.rotation != 0 and (fresh.width < fresh.height) == apply_rotation
