"""decode, decode_indexed and transcode_h264 through the C interface:
pixels, zero-copy views, release, errors."""
import ctypes
import ctypes.util
import gc
import subprocess
import threading
import weakref

import av
import numpy as np
import pytest
from conftest import STREAMS, pyav_decode

import vantle_video
from vantle_video import _frame, _library

# 8-bit 4:2:0 streams of the corpus, one per container kind.
CORPUS = ["h264/h264_4bf_pyramid_nobsrestriction.mp4", "h264/MPS_MW_A.264",
          "h264/1242-small.mkv", "h264/h264small.mp4", "hevc/p_qcif_10f.265",
          "av1/av1-1-b8-01-size-66x66.ivf", "av1/av1-1-b8-01-size-16x18.ivf"]


def owner_of(array):
    while not isinstance(array, _frame._PlaneView):
        array = array.base
    return array.owner


@pytest.mark.parametrize("version, accepted", [
    ("vantle-video-runtime 1.3.0 (libavcodec 59.37.100 built, 59.37.100 loaded)", True),
    ("vantle-video-runtime 1.10.1", True), ("vantle-video-runtime 1.2.9 (libavcodec 61)", False),
    ("vantle-video-runtime 2.2.0", False), ("vantle-video-runtime 1.x", False)])
def test_a_library_older_than_1_3_is_refused(version, accepted):
    assert _library._new_enough(version) == accepted


def test_layout_and_version():
    assert _library.layout_differences() == []
    assert _library._new_enough(vantle_video.runtime_version())
    assert f"libavcodec {av.library_versions['libavcodec'][0]}." in vantle_video.runtime_version()


@pytest.mark.parametrize("name", CORPUS)
def test_corpus_groups_equal_ffmpeg_and_the_records(name):
    clip = vantle_video.open(STREAMS / name)
    reference = pyav_decode(STREAMS / name)  # FFmpeg's decode of the whole stream
    decoded = 0
    for g in range(len(clip.groups)):
        frames = vantle_video.decode(*clip.group(g), format="yuv420")
        for frame, planes in zip(frames, reference[decoded:]):
            for ours, theirs in zip(frame.planes, planes):
                np.testing.assert_array_equal(ours, theirs)
        decoded += len(frames)
        # The arrays are the C records' bytes, in place.
        records = owner_of(frames[0].y).record
        for i, frame in enumerate(frames):
            record = records.frames[i]
            for array, plane in zip(frame.planes, (record.y, record.u, record.v)):
                assert array.__array_interface__["data"][0] == plane.data
                assert array.tobytes() == ctypes.string_at(plane.data, plane.len)
    assert decoded == len(reference)
    rgb = vantle_video.decode(*clip.group(0), positions=[0], size=(64, 48))
    assert rgb[0].rgb.shape == (48, 64, 3) and np.asarray(rgb[0]).dtype == np.uint8


def test_indexed_and_transcode(media):
    clip = vantle_video.open(STREAMS / "h264/h264_4bf_pyramid_nobsrestriction.mp4")
    indexed = vantle_video.decode_indexed(*clip.group(0))
    plain = vantle_video.decode(*clip.group(0), format="yuv420")
    assert sorted(f.packet_index for f in indexed) == list(range(len(clip.group(0)[1])))
    for a, b in zip(indexed, plain):
        np.testing.assert_array_equal(a.y, b.y)
    units = vantle_video.transcode_h264(*clip.group(0), positions=[0, 3, 4], frame_rate=(25, 1))
    assert len(units) == 3 and all(u[:3] == b"\0\0\1" or u[:4] == b"\0\0\0\1" for u in units)
    again = vantle_video.decode("h264", units, format="yuv420")
    assert [f.y.shape for f in again] == [plain[0].y.shape] * 3
    ten_bit = vantle_video.open(media["h265_10bit_open_mkv"]).group(1)
    indexed = vantle_video.decode_indexed(*ten_bit, format="yuv420p16")
    plain = vantle_video.decode(*ten_bit, format="yuv420p16")
    # A group of an open run: its leading pictures are not output alone.
    indices = [f.packet_index for f in indexed]
    assert len(set(indices)) == len(indices) == len(plain) and max(indices) < len(ten_bit[1])
    assert indices != sorted(indices)  # B pictures come out after those they refer to
    for a, b in zip(indexed, plain):
        assert a.format == b.format == "yuv420p16" and a.y.dtype == np.uint16
        for ours, theirs in zip(a.planes, b.planes):
            np.testing.assert_array_equal(ours, theirs)
        assert (a.color_range, a.color_space) == (b.color_range, b.color_space)


def test_the_response_lives_while_an_array_views_it_and_is_released_once(monkeypatch):
    lib = _library.library()
    releases = []
    real = lib.vantle_video_runtime_free_response

    def counting_release(response):
        releases.append(ctypes.cast(response, ctypes.POINTER(
            _library.RuntimeDecodeResponse)).contents)
        real(response)

    monkeypatch.setattr(lib, "vantle_video_runtime_free_response", counting_release)
    clip = vantle_video.open(STREAMS / "h264/MPS_MW_A.264")
    frames = vantle_video.decode(*clip.group(0), format="yuv420")
    kept = frames[3].u[2:, 1:]  # a view of a view keeps it too
    copy = kept.copy()
    owner = weakref.ref(owner_of(kept))
    del frames
    gc.collect()
    assert owner() is not None and releases == []
    # Released buffers are reused by this thread's next requests: had the
    # response gone, these would overwrite what `kept` shows.
    other = vantle_video.open(STREAMS / "h264/h264_4bf_pyramid_nobsrestriction.mp4")
    for _ in range(3):
        vantle_video.decode(*other.group(0), format="yuv420")
        vantle_video.decode(*clip.group(1), format="yuv420")
    np.testing.assert_array_equal(kept, copy)
    releases.clear()
    del kept
    gc.collect()
    assert owner() is None and len(releases) == 1
    assert not releases[0].frames and releases[0].frame_count == 0  # reset by the library
    gc.collect()
    assert len(releases) == 1


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_memory_comes_back():
    clip = vantle_video.open(STREAMS / "h264/1242-small.mkv")  # 1280x718, 12 pictures
    for _ in range(3):
        vantle_video.decode(*clip.group(0))
    before = resident_bytes()
    for _ in range(40):  # 40 x 33 MB if nothing were released
        frames = vantle_video.decode(*clip.group(0))
        assert frames[-1].rgb[-1, -1].shape == (3,)
        del frames
    assert resident_bytes() - before < 64 << 20


GROUP = vantle_video.open(STREAMS / "hevc/p_qcif_10f.265").group(0)


@pytest.mark.parametrize("call, message", [
    (lambda: vantle_video.decode("h264", [b"\0"]),
     "failed to decode H.264 packet 0: Invalid data found when processing input"),
    (lambda: vantle_video.decode_indexed("av1", [b"\0"]),
     "Indexed decode requires H264 or H265 YUV420"),
    (lambda: vantle_video.transcode_h264(*GROUP, positions=[]),
     "H.264 transcode requires selected display positions"),
    (lambda: vantle_video.transcode_h264(*GROUP, frame_rate=(0, 1)),
     "H.264 frame rate must be positive"),
    (lambda: vantle_video.transcode_h264(*GROUP, frame_rate=(2147483648, 1)),
     "H.264 frame rate exceeds i32"),
])
def test_failures_carry_the_library_message(call, message):
    with pytest.raises(vantle_video.VantleVideoError) as raised:
        call()
    assert raised.value.message == message and str(raised.value) == message


def test_threads_get_their_own_messages():
    messages = {}

    def fail(name, call):
        try:
            for _ in range(20):
                call()
        except vantle_video.VantleVideoError as error:
            messages[name] = error.message

    threads = [threading.Thread(target=fail, args=("indexed", lambda: vantle_video.decode_indexed(
        "av1", [b"\0"]))), threading.Thread(target=fail, args=(
            "transcode", lambda: vantle_video.transcode_h264("h264", [b"\0"], positions=[])))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert messages == {"indexed": "Indexed decode requires H264 or H265 YUV420",
                        "transcode": "H.264 transcode requires selected display positions"}


def test_colour_fields_are_named_as_ffmpeg_names_them(tmp_path):
    avutil = ctypes.CDLL(ctypes.util.find_library("avutil"))
    for kind, function in ((vantle_video.ColorRange, "av_color_range_name"),
                           (vantle_video.ColorSpace, "av_color_space_name"),
                           (vantle_video.ColorPrimaries, "av_color_primaries_name"),
                           (vantle_video.ColorTrc, "av_color_transfer_name")):
        name_of = getattr(avutil, function)
        name_of.restype = ctypes.c_char_p
        for member in kind:
            # FFmpeg calls both 0 and 3 "reserved"; one enum cannot.
            name = "reserved" if member.name == "reserved0" else member.name.replace("_", "-")
            assert name == name_of(member.value).decode(), member
    tagged = tmp_path / "tagged.mp4"
    # FFmpeg 9.0's command line takes primaries and transfer from the
    # frames (setparams), 5.1's from the output options.
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=64x48", "-frames:v",
                    "2", "-vf", "setparams=color_primaries=bt470bg:color_trc=bt709:"
                    "colorspace=smpte170m:range=pc", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                    "-colorspace", "smpte170m",
                    "-color_primaries", "bt470bg", "-color_trc", "bt709", "-color_range", "pc",
                    str(tagged)], check=True)
    frame = vantle_video.open(tagged).frames_at([0], format="yuv420")[0]
    assert (frame.color_range, frame.color_space, frame.color_primaries, frame.color_trc) == (
        vantle_video.ColorRange.pc, vantle_video.ColorSpace.smpte170m,
        vantle_video.ColorPrimaries.bt470bg, vantle_video.ColorTrc.bt709)
    assert "colour pc/smpte170m/bt470bg/bt709" in repr(frame)


@pytest.mark.parametrize("dtype, copy, same, result", [
    (None, None, True, np.uint8), (np.uint8, False, True, np.uint8),
    (None, True, False, np.uint8), (np.float32, None, False, np.float32),
    (np.float32, False, None, ValueError),
])
def test_array_protocol_of_numpy_1_and_2(dtype, copy, same, result):
    frame = vantle_video.decode(*GROUP, positions=[0])[0]
    if result is ValueError:
        with pytest.raises(ValueError):
            frame.__array__(dtype, copy=copy)
        return
    array = frame.__array__(dtype, copy=copy)
    assert array.dtype == result and np.shares_memory(array, frame.rgb) == same
    np.testing.assert_array_equal(array, frame.rgb.astype(result))


@pytest.mark.parametrize("arguments, shape", [
    ({"format": "rgb", "size": (64, 48)}, (48, 64, 3)), ({"format": "yuv420"}, (144, 176)),
    ({"format": "rgb48", "size": (64, 48)}, (48, 64, 3)), ({"format": "yuv420p16"}, (144, 176)),
    ({"format": "rgb", "rotation": 90, "size": (48, 64)}, (64, 48, 3)),
    ({"format": "yuv420p16", "rotation": 270, "flip": vantle_video.Flip.VERTICAL}, (176, 144)),
    ({"format": "bgr"}, ValueError), ({"format": "yuv420", "size": (64, 48)}, ValueError),
    ({"format": "yuv420p16", "size": (64, 48)}, ValueError),
])
def test_format_size_and_turn(arguments, shape):
    codec, packets, extradata = GROUP
    if shape is ValueError:
        with pytest.raises(ValueError):
            vantle_video.decode(codec, packets, extradata, **arguments)
        return
    frame = vantle_video.decode(codec, packets, np.frombuffer(extradata, np.uint8),
                                positions=[3], **arguments)[0]
    array = frame.rgb if frame.rgb is not None else frame.y
    assert array.shape == shape and frame.format == arguments.get("format", frame.format)
    assert array.dtype == (np.uint16 if frame.format in ("rgb48", "yuv420p16") else np.uint8)


def test_kept_memory_calls_while_threads_decode():
    clip = vantle_video.open(STREAMS / "h264/MPS_MW_A.264")
    reference = [f.y.copy() for f in vantle_video.decode(*clip.group(1), format="yuv420")]
    failures = []

    def decode_many():
        for _ in range(15):
            frames = vantle_video.decode(*clip.group(1), format="yuv420")
            if any(not np.array_equal(f.y, r) for f, r in zip(frames, reference)):
                failures.append("pixels")

    threads = [threading.Thread(target=decode_many) for _ in range(2)]
    for thread in threads:
        thread.start()
    for limit in (0, 1 << 20, 256 << 20):
        vantle_video.set_kept_memory_limit(limit)
        vantle_video.release_kept_memory()
    for thread in threads:
        thread.join()
    assert failures == [] and len(reference) == len(clip.group(1)[1])
    with pytest.raises(ValueError):
        vantle_video.set_kept_memory_limit(-1)
