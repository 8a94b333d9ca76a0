import zlib

import numpy as np
import pytest

import fwprune

# Every engine must give the same answer; the GPU joins only where one is usable.
BACKENDS = ["cpu", "emulated", "auto"] + (["gpu"] if fwprune.default_backend() == "gpu" else [])


@pytest.fixture(params=BACKENDS)
def backend(request):
    return request.param


@pytest.fixture
def rng(request):
    # A seed per test, so a failure reproduces on its own: a stable hash of the test's name
    # (str's hash() is salted per process).
    return np.random.default_rng(zlib.crc32(request.node.name.encode("utf-8")))
