"""A request for pictures by display index, planned as runs of groups,
each decoded once by one library call."""
import bisect

import numpy as np

from . import _batch, _bitstream, _index, _pool, _prefix
from ._frame import FORMAT_NAMES
from ._runtime import Codec, decode


def frames_at(clip, indices, output, threads, batch):
    """The pictures at `indices` (display order) in `output` ((pixel format
    code, size)), decoded on `threads` threads: Frames in the order asked,
    or a FrameBatch when `batch` is set."""
    format_name = FORMAT_NAMES[output[0]]
    if batch:
        _batch.check_format(format_name)
    indices = [int(i) for i in indices]
    wanted = {}
    for index in indices:
        if not 0 <= index < clip.frame_count:
            raise IndexError(f"frame {index} of {clip.frame_count}")
        g = bisect.bisect_right(clip._display_starts, index) - 1
        wanted.setdefault(g, set()).add(index - clip._display_starts[g])
    runs = []  # lists of consecutive groups decoded together
    for g in sorted(wanted):
        if g > 0 and min(wanted[g]) < clip._leading[g]:
            # A leading picture refers to the group before: decoded with it.
            if runs and runs[-1][-1] == g - 1:
                runs[-1].append(g)
            else:
                runs.append([g - 1, g])
        else:
            runs.append([g])
    # Lazily, so that a batch takes in each run's pictures as it comes.
    done = _pool.each(lambda run: _decode_run(clip, run, wanted, output), runs, threads)
    if batch:
        return _batch.collect(indices, done, clip, format_name)
    found = {}
    for part in done:
        found.update(part)
    return [found[i] for i in indices]


def _decode_run(clip, run, wanted, output):
    positions, base = {}, 0
    for k, g in enumerate(run):
        # The run's first group loses its leading pictures; the others
        # keep them, after every picture of the group before.
        shift = clip._leading[g] if k == 0 and g > 0 else 0
        for p in wanted.get(g, ()):
            positions[base + p - shift] = clip._display_starts[g] + p
        base += clip._pictures[g] - (clip._leading[g] if k == 0 else 0)
    packets = [p for g in run for p in _index.group_packets(clip, g)]
    order = sorted(positions)
    first = clip.groups[run[0]][0]
    end = first + len(packets)
    # The run stops after the last picture wanted, when times say where, and
    # an H.264 or H.265 run leaves out the unwanted pictures nothing refers to. An
    # H.264 run only when it starts at an IDR picture: FFmpeg's decoder drops
    # or delays pictures of a run cut short after a recovery point that is
    # not one, so positions would shift.
    cut = None
    if _may_cut(clip, packets[0]):
        skippable = None
        if clip.codec in (Codec.H264, Codec.H265):
            skippable = np.array(_bitstream.unreferenced(
                clip.codec, packets, _bitstream.length_size(clip.codec, clip.extradata)))
        cut = _prefix.cut(clip._pts[first:end], clip._leading[run[0]], order,
                          clip._shown[first:end], skippable)
    send, selected = cut if cut else (range(len(packets)), order)
    pixel_format, size = output
    rotation, flip = clip._turn
    frames = decode(clip.codec, [packets[i] for i in send], clip.extradata, positions=selected,
                    format=FORMAT_NAMES[pixel_format], size=size, rotation=rotation, flip=flip)
    if len(frames) != len(order):
        raise RuntimeError(f"{clip._source.describe()}: groups {run} gave {len(frames)} of "
                           f"the {len(order)} pictures expected")
    found = {}
    for position, frame in zip(order, frames):
        index = positions[position]
        frame.index = index
        frame.pts_seconds = float(clip.pts_seconds[index])
        frame.duration_seconds = float(clip.durations_seconds[index])
        found[index] = frame
    return found


def _may_cut(clip, first_packet):
    return clip.codec != Codec.H264 or _bitstream.is_h264_idr(
        first_packet, _bitstream.length_size(clip.codec, clip.extradata))
