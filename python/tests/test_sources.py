"""Sources (path, bytes, memoryview, file object), pickling and the thread
pool give the same pictures; a large file is indexed in little memory and a
group reads little more than its own bytes."""
import io
import pickle
import subprocess

import numpy as np
import pytest
from conftest import STREAMS, picture_bytes

import vantle_video


class CountingFile(io.RawIOBase):
    """A binary file object that counts the bytes read through it."""

    def __init__(self, path):
        self.file, self.count = open(path, "rb"), 0

    def readinto(self, buffer):
        n = self.file.readinto(buffer)
        self.count += n
        return n

    def seek(self, offset, whence=0):
        return self.file.seek(offset, whence)

    def tell(self):
        return self.file.tell()

    def readable(self):
        return True

    def seekable(self):
        return True


@pytest.mark.parametrize("key", ["h264_open_mp4", "h265_closed_mkv", "h265_open_raw",
                                 "h264small.mp4"])  # MPEG-TS: read through the demuxer
def test_every_source_pickled_or_not_gives_the_same_pictures(media, key):
    path = media[key] if key in media else STREAMS / "h264" / key
    data = path.read_bytes()
    reference = [picture_bytes(f) for f in vantle_video.open(path).frames_at(
        range(len(vantle_video.open(path))), format="yuv420")]
    sources = [str(path), data, memoryview(bytearray(data)), io.BytesIO(data),
               io.BufferedReader(CountingFile(path))]
    for source in sources:
        clip = vantle_video.open(source)
        for each in (clip, pickle.loads(pickle.dumps(clip))):
            # Two threads at once over one file object too: its reads are
            # serialised; results come in the order asked.
            order = list(range(len(reference)))[::-1]
            frames = each.frames_at(order, format="yuv420", threads=2)
            assert [picture_bytes(f) for f in frames] == [reference[i] for i in order], source
    pickled = pickle.dumps(vantle_video.open(str(path)))
    assert len(pickled) < 4096 + 64 * len(reference)  # the path and the index, not the bytes
    with pytest.raises(TypeError, match="binary"):
        vantle_video.open(io.StringIO("text"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def bytes_read():
    with open("/proc/self/io") as io_counts:
        return int(next(line for line in io_counts if line.startswith("rchar:")).split()[1])


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """A 1080p H.264 file of over 100 MB: a short clip of noise, lossless,
    repeated with -c copy; and the same stream in Matroska."""
    folder = tmp_path_factory.mktemp("large")
    run = ["ffmpeg", "-v", "error", "-y"]
    subprocess.run(run + ["-f", "lavfi", "-i", "nullsrc=s=1920x1080:r=25,geq=random(1)*255:128:128",
                          "-frames:v", "10", "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0",
                          "-g", "5", "-pix_fmt", "yuv420p", str(folder / "short.mp4")], check=True)
    (folder / "list.txt").write_text("file 'short.mp4'\n" * 12)
    subprocess.run(run + ["-f", "concat", "-i", str(folder / "list.txt"), "-c", "copy",
                          str(folder / "large.mp4")], check=True)
    subprocess.run(run + ["-i", str(folder / "large.mp4"), "-c", "copy",
                          str(folder / "large.mkv")], check=True)
    return folder


@pytest.mark.parametrize("name, allowed", [
    ("large.mp4", lambda group: group + (256 << 10)),
    ("large.mkv", lambda group: 2 * group + (1 << 20)),
])
def test_a_large_file_opens_in_little_memory_and_a_group_reads_its_bytes(large, name, allowed):
    path = large / name
    size = path.stat().st_size
    assert size >= 100 << 20
    vantle_video.open(large / "short.mp4")  # PyAV's and the demuxers' own first use
    before = resident_bytes()
    clip = vantle_video.open(path)
    assert resident_bytes() - before < 0.05 * size
    assert len(clip.groups) == 24
    for g in (0, 13, 23):
        start = bytes_read()
        _, packets, _ = clip.group(g)
        read = bytes_read() - start
        group = sum(len(p) for p in packets)
        assert group <= read <= allowed(group), (g, group, read)
        counting = CountingFile(path)
        from_file = vantle_video.open(counting)
        counting.count = 0
        assert [bytes(p) for p in from_file.group(g)[1]] == [bytes(p) for p in packets]
        assert group <= counting.count <= allowed(group), (g, group, counting.count)
    frames = clip.frames_at([5 * 13 + 2], format="yuv420")
    assert frames[0].y.shape == (1080, 1920)
