"""A clip's container index, made by one demux pass: where each access unit
of the video stream lies in the source, its size, timestamps, CRC-32 and
whether it shows a picture, and the groups it is cut into at key frames.
A group's bytes are read from the source when it is decoded, or through
the demuxer where the index cannot locate them."""
import array
import zlib

import av
import numpy as np

from . import _bitstream
from ._runtime import CODEC_LIST, Codec

NO_TIME = np.iinfo(np.int64).min
# PyAV 17 dropped the AVError alias; FFmpegError is in both 10 and 17.
_AV_ERROR = getattr(av, "FFmpegError", None) or av.AVError


def codec_of_stream(stream):
    name = stream.codec_context.codec.name
    ids = {}
    for codec, decoders in ((Codec.H264, ("h264",)), (Codec.H265, ("hevc",)),
                            (Codec.AV1, ("av1", "libdav1d", "libaom-av1")),
                            (Codec.VP9, ("vp9", "libvpx-vp9")), (Codec.VP8, ("vp8", "libvpx"))):
        for decoder in decoders:
            try:
                ids[av.codec.Codec(decoder, "r").id] = codec
            except Exception:  # a decoder this FFmpeg lacks
                continue
    codec = ids.get(stream.codec_context.codec.id)
    if codec is None:
        raise ValueError(f"codec {name} is not {CODEC_LIST}")
    return codec


def best_video_stream(container):
    """Close to FFmpeg's av_find_best_stream for video, as far as PyAV shows
    the fields it weighs: more than a single picture, the higher bit rate,
    then the first."""
    streams = list(container.streams.video)
    if not streams:
        raise ValueError("no video stream")
    return max(streams, key=lambda s: (min(5, s.frames or 5), s.codec_context.bit_rate or 0,
                                       -s.index))


def build(clip, container, chosen):
    """Fills the clip's index from a demux pass over stream `chosen`. Units
    before the first key frame cannot be decoded on their own: left out."""
    offsets, sizes, pts, dts = (array.array("q") for _ in range(4))
    crcs, firsts, shown = array.array("L"), [], array.array("b")
    leading = _bitstream.LeadingPictures(
        clip.codec, _bitstream.length_size(clip.codec, clip.extradata))
    for packet in container.demux(chosen):
        if packet.size == 0:
            continue
        if packet.is_keyframe:
            firsts.append(len(sizes))
            leading.key_frame(packet)
        elif not firsts:
            continue
        else:
            leading.other(packet)
        sizes.append(packet.size)
        # Invisible VP8/VP9 packets have timestamps of their own but no
        # picture: they are decoded, not counted.
        shown.append(_bitstream.shows_picture(clip.codec, packet))
        crcs.append(zlib.crc32(packet))
        offsets.append(_locate(clip._source, packet))
        pts.append(NO_TIME if packet.pts is None else packet.pts)
        dts.append(NO_TIME if packet.dts is None else packet.dts)
    if not firsts:
        raise ValueError(f"{clip._source.describe()}: no key frame in the video stream")
    clip._offsets, clip._sizes, clip._pts, clip._dts = (
        np.frombuffer(a, dtype=np.int64) for a in (offsets, sizes, pts, dts))
    clip._crcs = np.frombuffer(crcs, dtype=np.uint32 if crcs.itemsize == 4 else np.uint64)
    counts = np.diff(firsts + [len(sizes)])
    clip.groups = [(int(f), int(c)) for f, c in zip(firsts, counts)]
    clip._leading = leading.counts
    clip._shown = np.frombuffer(shown, dtype=np.int8).astype(bool)
    count_pictures(clip)


def count_pictures(clip):
    """The pictures each group outputs."""
    clip._pictures = [int(clip._shown[f:f + c].sum()) for f, c in clip.groups]


def _locate(source, packet):
    """Where the packet's bytes lie in the source, or -1. Demuxers report
    the position of the unit's framing (IVF's frame header, Matroska's
    block), so its bytes start a few bytes after it; a unit spread over
    pieces (MPEG-TS) is not found and is read through the demuxer."""
    if packet.pos is None or packet.pos < 0:
        return -1
    head = bytes(memoryview(packet)[:16])
    window = bytes(source.read(packet.pos, 64 + len(head)))
    found = window.find(head)
    return -1 if found < 0 else packet.pos + found


def located_group(clip, g):
    """Group g's packets read where the index locates them, or None where it
    does not locate every one or the bytes there are not the indexed ones."""
    first, count = clip.groups[g]
    end = first + count
    offsets = clip._offsets[first:end]
    if not (offsets >= 0).all():
        return None
    packets = clip._source.read_pieces(offsets, clip._sizes[first:end])
    if all(zlib.crc32(p) == c for p, c in zip(packets, clip._crcs[first:end])):
        return packets
    return None


def group_packets(clip, g):
    """Group g's packets: read directly, else through the demuxer."""
    packets = located_group(clip, g)
    return packets if packets is not None else _demux_group(clip, *clip.groups[g])


def _demux_group(clip, first, count):
    """The group's packets through the demuxer: from a seek to its key
    frame when the stream has timestamps, else (or when the seek lands
    past it) from the start."""
    wanted = (int(clip._pts[first]), int(clip._dts[first]), int(clip._sizes[first]),
              int(clip._crcs[first]))
    for seek in (wanted[0] != NO_TIME, False):
        container = clip._source.container(clip._format_name)
        try:
            stream = container.streams[clip.stream]
            if seek:
                try:
                    container.seek(wanted[0], stream=stream, backward=True)
                except _AV_ERROR:
                    continue
            packets = []
            for packet in container.demux(stream):
                if packet.size == 0:
                    continue
                if not packets:
                    here = (NO_TIME if packet.pts is None else packet.pts,
                            NO_TIME if packet.dts is None else packet.dts, packet.size)
                    if here + (zlib.crc32(packet),) != wanted:
                        if seek and wanted[1] != NO_TIME and here[1] > wanted[1]:
                            break  # past it: try from the start
                        continue
                packets.append(bytes(packet))
                if len(packets) == count:
                    return packets
        finally:
            container.close()
    raise RuntimeError(f"{clip._source.describe()}: the demuxer no longer gives packet "
                       f"{first} of the index")
