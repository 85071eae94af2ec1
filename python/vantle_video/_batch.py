"""Pictures as one array, for training: a FrameBatch, filled as each decode
run finishes, so that at most one run's pictures are held beside it."""
import numpy as np


class FrameBatch:
    """RGB pictures of one size in one C-contiguous array.

    data: (N, H, W, 3) for pictures, (N, F, H, W, 3) for N clips of F
    pictures; the dtype of the pictures (uint8 for "rgb", uint16 for the
    16-bit RGB format). pts_seconds, duration_seconds (float64) and indices
    (int64, the display indices the pictures came from) are shaped like data
    without its picture axes. Indexing and iteration go along the first axis."""

    __slots__ = ("data", "pts_seconds", "duration_seconds", "indices")

    def __init__(self, data, pts_seconds, duration_seconds, indices):
        self.data = data
        self.pts_seconds = pts_seconds
        self.duration_seconds = duration_seconds
        self.indices = indices

    def __len__(self):
        return len(self.data)

    def __getitem__(self, key):
        return FrameBatch(self.data[key], self.pts_seconds[key], self.duration_seconds[key],
                          self.indices[key])

    def __iter__(self):
        for i in range(len(self)):
            yield self[i]

    def __getstate__(self):
        return {name: getattr(self, name) for name in self.__slots__}

    def __setstate__(self, state):
        for name, value in state.items():
            setattr(self, name, value)

    def __repr__(self):
        return (f"FrameBatch(data {self.data.dtype}{list(self.data.shape)}, "
                f"pictures {self.indices.tolist() if self.indices.size <= 8 else '...'})")


def check_format(format):
    """Refuses, before anything is decoded, a format a batch cannot hold."""
    if not str(format).startswith("rgb"):
        raise ValueError(f"a FrameBatch holds RGB pictures; format={format!r} has several "
                         "planes: ask for the list of Frames (batch=False)")


def collect(indices, parts, clip, format="rgb"):
    """A FrameBatch of the pictures at `indices` (a 1-D sequence), from
    `parts`, an iterable of {index: Frame} dicts, each copied in as it comes
    and then let go; `format` gives an empty batch its dtype."""
    indices = np.asarray(indices, dtype=np.int64).reshape(-1)
    slots = {}
    for position, index in enumerate(indices.tolist()):
        slots.setdefault(index, []).append(position)
    data = None
    for part in parts:
        for index, frame in part.items():
            picture = frame.rgb
            if picture is None:
                check_format(frame.format)
            if data is None:
                data = np.empty((len(indices),) + picture.shape, dtype=picture.dtype)
            elif picture.shape != data.shape[1:] or picture.dtype != data.dtype:
                raise ValueError(f"picture {index} is {picture.dtype}{list(picture.shape)}, "
                                 f"others {data.dtype}{list(data.shape[1:])}: pictures that "
                                 "change size fit one batch only with size=(width, height), "
                                 "or come as the list of Frames (batch=False)")
            positions = slots[index]
            if len(positions) == 1:
                data[positions[0]] = picture
            else:
                data[positions] = picture
    if data is None:
        data = np.empty((0, clip.height, clip.width, 3),
                        dtype=np.uint16 if format == "rgb48" else np.uint8)
    return FrameBatch(data, clip.pts_seconds[indices], clip.durations_seconds[indices], indices)


def clips_of(batch, clips, frames_per_clip):
    """The batch's leading axis as (clips, frames_per_clip): views, no copy."""
    shape = (clips, frames_per_clip)
    return FrameBatch(batch.data.reshape(shape + batch.data.shape[1:]),
                      batch.pts_seconds.reshape(shape), batch.duration_seconds.reshape(shape),
                      batch.indices.reshape(shape))
