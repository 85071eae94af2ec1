"""The Dask example on a LocalCluster of two worker processes gives exactly
the single-process result."""
import numpy as np
import pytest
from conftest import encode

# The FFmpeg 9.0 root has no Dask; Debian 12 has python3-distributed.
pytest.importorskip("distributed")
import dask_mean_colour  # noqa: E402


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask")
    x264 = {"g": "6", "keyint_min": "6", "sc_threshold": "0", "bf": "2"}
    encode(folder / "a.mp4", "libx264", frames=24, size=(96, 64), options=x264)
    encode(folder / "b.mkv", "libx265", frames=18, size=(64, 48),
           options={"x265-params": "keyint=6:min-keyint=6:scenecut=0:log-level=error"})
    (folder / "notes.txt").write_text("not a video")
    return folder


def test_two_workers_match_one_process(folder):
    local = dask_mean_colour.run_single_process(str(folder))
    assert {name: rows.shape for name, rows in local.items()} == {"a.mp4": (4, 96, 3),
                                                                  "b.mkv": (3, 64, 3)}
    distributed = dask_mean_colour.run_on_dask(str(folder), workers=2)
    assert distributed.keys() == local.keys()
    for name in local:
        assert distributed[name].tobytes() == local[name].tobytes()
    assert not np.array_equal(local["a.mp4"][0], local["a.mp4"][1])
