"""A clip's source: a path, a bytes-like object or a binary file object,
read at positions (a group's bytes when it is decoded) and opened as a
PyAV container (the demux pass)."""
import os
import threading

import av
import numpy as np

from ._runtime import probe_options

# Packets this close together are read in one piece (container framing
# between them is a few bytes; another stream's data is usually more).
_MERGE_GAP = 512


class Source:
    """Positional reads of a path, a bytes-like object or a binary file
    object. Reads of a file object are serialised, as it has one position."""

    def __init__(self, source):
        self.path = self.data = self.file = None
        self._fd = None
        self._lock = threading.Lock()
        if isinstance(source, (str, os.PathLike)):
            self.path = os.fspath(source)
            self.size = os.path.getsize(self.path)
        elif hasattr(source, "read") and hasattr(source, "seek"):
            if isinstance(source.read(0), str):
                raise TypeError("a file object source must be opened in binary mode")
            self.file = source
            self.size = source.seek(0, os.SEEK_END)
        else:
            try:
                self.data = memoryview(source).cast("B")
            except TypeError:
                raise TypeError(f"a source is a path, bytes-like or a binary file object, "
                                f"not {type(source).__name__}") from None
            self.size = len(self.data)

    def describe(self):
        if self.path is not None:
            return repr(self.path)
        return f"<{'file object' if self.file is not None else 'bytes'} of {self.size} bytes>"

    def read(self, offset, length):
        """Up to `length` bytes from `offset` (a memoryview of bytes sources)."""
        length = max(0, min(length, self.size - offset))
        if self.data is not None:
            return self.data[offset:offset + length]
        if self.file is not None:
            with self._lock:
                self.file.seek(offset)
                return self.file.read(length)
        if self._fd is None:
            with self._lock:
                if self._fd is None:
                    self._fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        pieces = []
        while length > 0:
            piece = os.pread(self._fd, length, offset)
            if not piece:
                break
            pieces.append(piece)
            offset += len(piece)
            length -= len(piece)
        return pieces[0] if len(pieces) == 1 else b"".join(pieces)

    def read_pieces(self, offsets, sizes):
        """The byte ranges at `offsets` (any order) of `sizes`, as views of
        few reads: ranges close together are read in one piece."""
        order = np.argsort(offsets, kind="stable")
        pieces = [None] * len(offsets)
        i = 0
        while i < len(order):
            start = end = int(offsets[order[i]])
            j = i
            while j < len(order) and int(offsets[order[j]]) <= end + _MERGE_GAP:
                end = max(end, int(offsets[order[j]] + sizes[order[j]]))
                j += 1
            read = memoryview(self.read(start, end - start))
            for k in order[i:j]:
                at = int(offsets[k]) - start
                pieces[k] = read[at:at + int(sizes[k])]
            i = j
        return pieces

    def container(self, format_name=None):
        """A PyAV container reading this source, probed within the picture
        area limit."""
        # `options` rather than `stream_options`: PyAV 17 refuses the latter
        # for a format whose streams appear only while probing.
        options = probe_options()
        if self.path is not None:
            return av.open(self.path, format=format_name, options=options)
        return av.open(Reader(self), format=format_name, options=options)

    def __del__(self):
        if self._fd is not None:
            os.close(self._fd)

    def __getstate__(self):
        # A file object cannot travel: its bytes do.
        if self.path is not None:
            return {"path": self.path}
        return {"data": bytes(self.read(0, self.size))}

    def __setstate__(self, state):
        self.__init__(state.get("path") or state["data"])


class Reader:
    """The file interface PyAV reads through, over a Source, with a
    position of its own so that several readers share one source."""

    def __init__(self, source):
        self.source, self.position = source, 0

    def read(self, length=-1):
        if length is None or length < 0:
            length = self.source.size - self.position
        data = bytes(self.source.read(self.position, length))
        self.position += len(data)
        return data

    def seek(self, offset, whence=os.SEEK_SET):
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self.position, os.SEEK_END: self.source.size}[whence]
        self.position = base + offset
        return self.position

    def tell(self):
        return self.position
