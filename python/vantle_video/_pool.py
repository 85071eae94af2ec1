"""The threads that decode a request's runs at once."""
import os
import threading
from concurrent.futures import ThreadPoolExecutor

_POOLS, _POOLS_LOCK = {}, threading.Lock()


def thread_count(threads):
    threads = int(threads)
    if threads < 1:
        raise ValueError(f"threads is at least 1, not {threads}")
    return threads


def _pool(threads):
    # One lasting pool per size: the library keeps decoders per thread, and
    # threads that outlive a request find theirs again.
    with _POOLS_LOCK:
        if threads not in _POOLS:
            _POOLS[threads] = ThreadPoolExecutor(threads, thread_name_prefix="vantle_video")
        return _POOLS[threads]


if hasattr(os, "register_at_fork"):
    # A child has none of its parent's threads.
    os.register_at_fork(after_in_child=_POOLS.clear)


def each(function, items, threads):
    """function(item) of each item, in order, lazily: on `threads` threads
    where there are several items, else on the calling thread."""
    if threads > 1 and len(items) > 1:
        return _pool(threads).map(function, items)
    return (function(item) for item in items)
