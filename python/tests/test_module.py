"""Options, errors the library reports, version, and calls from several threads at once."""

import threading
from importlib import metadata

import numpy as np
import pytest

import fwprune
import reference


class TestOptions:
    @pytest.mark.parametrize("backend", ["AUTO", "", "cuda", None, 1])
    def test_unknown_backend(self, backend):
        with pytest.raises(ValueError):
            fwprune.transitive_reduction(np.zeros((2, 2), dtype=bool), backend=backend)

    def test_negative_threads(self):
        with pytest.raises(ValueError):
            fwprune.weakest_link_reduction(np.zeros((2, 2)), 0.1, 1.0, threads=-1)

    def test_absurd_thread_counts_are_refused(self, monkeypatch):
        with pytest.raises(ValueError, match="4096"):
            fwprune.transitive_reduction(np.zeros((2, 2), dtype=bool), threads=4097)
        monkeypatch.setenv("FWPRUNE_NUM_THREADS", "lots")
        with pytest.raises(ValueError, match="FWPRUNE_NUM_THREADS"):
            fwprune.transitive_reduction(np.zeros((2, 2), dtype=bool), backend="emulated")

    @pytest.mark.parametrize("threads", [1.5, "2", True])
    def test_threads_must_be_an_int(self, threads):
        with pytest.raises(TypeError):
            fwprune.transitive_reduction(np.zeros((2, 2), dtype=bool), threads=threads)

    @pytest.mark.parametrize("threads", [1, 2, 3, np.int64(2)])
    def test_thread_counts_agree(self, rng, threads):
        graph = reference.random_digraph(rng, 40, 0.1, acyclic=True)
        result = fwprune.transitive_reduction(graph, backend="cpu", threads=threads)
        np.testing.assert_array_equal(result, reference.transitive_reduction(graph))

    def test_gpu_without_a_device_is_a_runtime_error(self):
        if fwprune.default_backend() == "gpu":
            pytest.skip("a GPU is usable here")
        with pytest.raises(RuntimeError, match="device"):
            fwprune.transitive_reduction(np.ones((2, 2), dtype=bool), backend="gpu")

    def test_too_many_nodes_is_a_value_error(self):
        # Refused before any n*n allocation: a broadcast view costs no memory.
        huge = np.broadcast_to(np.zeros((1, 1), dtype=np.float32), (46341, 46341))
        with pytest.raises(ValueError, match="46340"):
            fwprune.weakest_link_reduction(huge, 0.1, 1.0)


class TestVersion:
    def test_version_matches_package_metadata(self):
        assert fwprune.__version__ == metadata.version("fwprune")
        assert all(part.isdigit() for part in fwprune.__version__.split("."))


class TestThreads:
    def test_concurrent_calls_get_their_own_results_and_messages(self, tmp_path, rng):
        """Successes and failures interleave across threads; each caller must see its own
        result, and each failure its own file name."""
        graphs = [reference.random_digraph(rng, 30, 0.15, acyclic=True) for _ in range(4)]
        expected = [reference.transitive_reduction(g) for g in graphs]
        failures = []

        def work(index):
            try:
                for round_ in range(5):
                    result = fwprune.transitive_reduction(graphs[index], backend="cpu", threads=1)
                    if not np.array_equal(result, expected[index]):
                        failures.append(f"thread {index}: wrong result")
                    missing = tmp_path / f"missing-{index}-{round_}.txt"
                    try:
                        fwprune.transitive_reduction_file(missing, tmp_path / "out.txt")
                        failures.append(f"thread {index}: no error")
                    except FileNotFoundError as error:
                        if error.filename != str(missing):
                            failures.append(f"thread {index}: {error.filename}")
            except Exception as error:  # noqa: BLE001 - reported below
                failures.append(f"thread {index}: {error!r}")

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == []
