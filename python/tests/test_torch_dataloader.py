"""The PyTorch example: two persistent workers give exactly the samples of
none, epoch by epoch; the script runs."""
import subprocess
import sys

import pytest
from conftest import PACKAGE_ROOT, encode

torch = pytest.importorskip("torch")
import torch_dataloader  # noqa: E402 (needs torch)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("torch")
    x264 = {"g": "8", "keyint_min": "8", "sc_threshold": "0", "bf": "2",
            "x264-params": "open-gop=1"}
    return [encode(folder / f"{n}.mp4", "libx264", frames=20 + 4 * n, size=(64, 48),
                   options=x264) for n in range(4)]


def samples(dataset, workers, epochs=2):
    batches = torch_dataloader.loader(dataset, workers, batch_size=2)
    out, served = {}, set()
    for epoch in range(epochs):
        batches.sampler.set_epoch(epoch)
        for batch in batches:
            for k, sample in enumerate(batch["sample"].tolist()):
                out[epoch, sample] = (batch["data"][k].numpy().tobytes(),
                                      batch["indices"][k].tolist())
            served.update(batch["worker"].tolist())
    return out, served


def test_two_workers_give_the_samples_of_none(files):
    dataset = torch_dataloader.ClipDataset(files, num_clips=3, num_frames_per_clip=4, seed=5)
    dataset.clip(0)  # opened in the parent before the workers fork
    alone, _ = samples(dataset, 0)
    shared, served = samples(dataset, 2)
    assert served == {0, 1} and len(alone) == 2 * len(files)
    assert shared == alone
    assert alone[0, 1][1] != alone[1, 1][1]  # another draw each epoch
    run = subprocess.run([sys.executable, str(PACKAGE_ROOT / "examples/torch_dataloader.py"),
                          *map(str, files), "--batches", "3"], capture_output=True, text=True,
                         check=True)
    assert "batch 3: data (2, 4, 8, 48, 64, 3) torch.uint8" in run.stdout
