"""Which packets of a decode run to send: those up to the last packet of a
wanted picture, less the pictures nothing refers to that are not wanted.
Every picture refers only to packets before it in decode order, so the
packets up to it decode the same pictures; only their output positions
change, as the pictures of later packets are not there. For decoders that
output every picture of a run drained at any point (FFmpeg's H.265, AV1,
VP9 and VP8 decoders, and its H.264 decoder on a run that starts at an
IDR picture). A packet that shows no picture (a hidden VP9 or invisible
VP8 frame) is kept when it comes before the last one wanted, as a later
picture may refer to it or show it."""
import numpy as np

_NO_TIME = np.iinfo(np.int64).min


def cut(pts, lost, positions, shown=None, skippable=None):
    """(indices in the run of the packets to send, output positions) of the
    shortest run that gives the pictures at `positions` (sorted output
    positions of the whole run), or None when the times cannot tell or the
    whole run is needed: pts are the run's presentation times in decode
    order, `lost` how many leading pictures of its first group the decoder
    drops (those before the first packet's time), `shown` whether each
    packet outputs a picture (default: all do), `skippable` whether no other
    picture refers to it (left out unless its own picture is wanted)."""
    if shown is None:
        shown = np.ones(len(pts), dtype=bool)
    visible = pts[shown]
    if len(visible) == 0 or (visible == _NO_TIME).any() or len(np.unique(visible)) != len(visible):
        return None
    dropped = ~shown
    if lost:
        if not shown.all():
            return None  # leading pictures and hidden frames: not seen together
        dropped[1:] = pts[1:] < pts[0]
        # Only the first group's leading pictures come before its key frame
        # in time; anything else is a stream this does not understand.
        if dropped.sum() != lost or not dropped[1:lost + 1].all():
            return None
    kept = np.flatnonzero(~dropped)
    outputs = kept[np.argsort(pts[kept], kind="stable")]  # packet of each output position
    wanted = outputs[positions]
    send = np.arange(int(wanted.max()) + 1)
    if skippable is not None:
        needed = ~skippable[:len(send)]
        needed[wanted] = True
        send = send[needed]
    if len(send) == len(pts):
        return None
    prefix = np.sort(pts[np.intersect1d(send, kept)])
    return send.tolist(), np.searchsorted(prefix, pts[wanted]).tolist()
