"""The file functions: the same answers as the in-memory jobs, path types, and file errors."""

import errno
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import fwprune
import reference


class TestSameAsInMemory:
    @pytest.mark.parametrize("n", [1, 6, 30])
    def test_transitive_reduction(self, tmp_path, backend, rng, n):
        graph = reference.random_digraph(rng, n, 0.2, self_loops=0.1)
        graph[0, n - 1] = 1  # the file's n is the largest node plus one
        source, output = tmp_path / "graph.txt", tmp_path / "reduced.txt"
        reference.write_edge_list(source, graph)
        fwprune.transitive_reduction_file(source, output, backend=backend)
        in_memory = fwprune.transitive_reduction(graph, backend=backend)
        assert reference.read_edge_list(output) == reference.edges_of(in_memory)

    @pytest.mark.parametrize("n", [1, 6, 30])
    def test_weakest_link_reduction(self, tmp_path, backend, rng, n):
        weights = reference.random_weights(rng, n)
        source = tmp_path / "weights.txt"
        edges, matrix = tmp_path / "edges.txt", tmp_path / "matrix.txt"
        reference.write_weight_matrix(source, weights)
        fwprune.weakest_link_reduction_file(source, edges, matrix, 0.125, 0.9, backend=backend)
        in_memory = fwprune.weakest_link_reduction(weights, 0.125, 0.9, backend=backend)
        assert reference.same_floats(reference.read_weight_matrix(matrix), in_memory)
        # NaN cells are edges: only the absent mark is left out.
        assert reference.read_edge_list(edges) == reference.edges_of(~(in_memory == 2.0))


class TestPaths:
    def test_str_bytes_and_pathlike(self, tmp_path):
        source = tmp_path / "graph.txt"
        source.write_text("0 edge 1\n1 edge 2\n0 edge 2\n")
        for number, kind in enumerate((str, pathlib.Path, lambda p: bytes(str(p), "utf-8"))):
            output = tmp_path / f"out-{number}.txt"
            fwprune.transitive_reduction_file(kind(source), kind(output), backend="cpu")
            assert output.read_text() == "0 edge 1\n1 edge 2\n"

    def test_output_may_name_the_input(self, tmp_path):
        source = tmp_path / "graph.txt"
        source.write_text("0 edge 1\n1 edge 2\n0 edge 2\n")
        fwprune.transitive_reduction_file(source, source, backend="cpu")
        assert source.read_text() == "0 edge 1\n1 edge 2\n"

    def test_non_ascii_names(self, tmp_path):
        source = tmp_path / "gráf ✓.txt"
        source.write_text("0 edge 1\n")
        output = tmp_path / "réduit.txt"
        fwprune.transitive_reduction_file(source, output, backend="cpu")
        assert output.read_text() == "0 edge 1\n"

    def test_bad_path_type(self, tmp_path):
        with pytest.raises(TypeError):
            fwprune.transitive_reduction_file(12, tmp_path / "out.txt")

    def test_embedded_nul_is_refused_not_cut(self, tmp_path):
        source = tmp_path / "graph.txt"
        source.write_text("0 edge 1\n")
        for output in (str(tmp_path / "out.txt") + "\0.bak", bytes(tmp_path / "out.txt") + b"\0x"):
            with pytest.raises(ValueError, match="null"):
                fwprune.transitive_reduction_file(source, output, backend="cpu")
        assert list(tmp_path.iterdir()) == [source]


class TestFileErrors:
    def test_missing_input_names_the_file(self, tmp_path):
        missing = tmp_path / "missing.txt"
        with pytest.raises(FileNotFoundError) as caught:
            fwprune.transitive_reduction_file(missing, tmp_path / "out.txt", backend="cpu")
        assert caught.value.filename == str(missing)
        assert caught.value.errno == errno.ENOENT
        assert not (tmp_path / "out.txt").exists()

    def test_missing_weight_matrix_names_the_file(self, tmp_path):
        missing = tmp_path / "weights.txt"
        with pytest.raises(OSError) as caught:
            fwprune.weakest_link_reduction_file(
                str(missing), tmp_path / "e.txt", tmp_path / "m.txt", 0.1, 1.0, backend="cpu"
            )
        assert caught.value.filename == str(missing)
        assert caught.value.errno == errno.ENOENT

    def test_unwritable_output_names_the_output(self, tmp_path):
        source = tmp_path / "weights.txt"
        source.write_text("0 0.5\n2 0\n")
        edges = tmp_path / "no-such-dir" / "edges.txt"
        with pytest.raises(OSError) as caught:
            fwprune.weakest_link_reduction_file(
                source, edges, tmp_path / "matrix.txt", 0.1, 1.0, backend="cpu"
            )
        assert caught.value.filename == str(edges)
        assert caught.value.errno == errno.ENOENT

    def test_output_path_extending_the_input_path_is_told_apart(self, tmp_path):
        # The message starts with the output path, which begins with the input path.
        source = tmp_path / "graph"
        source.write_text("0 edge 1\n")
        output = tmp_path / "graph.d" / "out.txt"
        with pytest.raises(OSError) as caught:
            fwprune.transitive_reduction_file(source, output, backend="cpu")
        assert caught.value.filename == str(output)

    def test_directory_as_input(self, tmp_path):
        with pytest.raises(OSError) as caught:
            fwprune.transitive_reduction_file(tmp_path, tmp_path / "out.txt", backend="cpu")
        assert caught.value.filename == str(tmp_path)

    def test_short_matrix_is_a_value_error_naming_the_file(self, tmp_path):
        source = tmp_path / "weights.txt"
        source.write_text("0 0.5 0.25\n2 0 0.5\n")
        with pytest.raises(ValueError, match="weights.txt"):
            fwprune.weakest_link_reduction_file(
                source, tmp_path / "e.txt", tmp_path / "m.txt", 0.1, 1.0, backend="cpu"
            )
        assert not (tmp_path / "e.txt").exists() and not (tmp_path / "m.txt").exists()

    def test_truncated_edge_list_is_a_value_error(self, tmp_path):
        source = tmp_path / "graph.txt"
        source.write_text("0 edge 1\n1 edge")
        with pytest.raises(ValueError, match="graph.txt"):
            fwprune.transitive_reduction_file(source, tmp_path / "out.txt", backend="cpu")

    def test_empty_path_is_a_value_error(self, tmp_path):
        with pytest.raises(ValueError):
            fwprune.transitive_reduction_file("", tmp_path / "out.txt", backend="cpu")


class TestInterruption:
    def test_termination_signal_leaves_no_temporary_file(self, tmp_path):
        # The matrix is complete in its temporary file while the edge list waits for a reader of
        # its FIFO that never comes; SIGTERM, at its default action, then ends the process.
        source, matrix, edges = tmp_path / "w.txt", tmp_path / "m.txt", tmp_path / "edges.fifo"
        source.write_text("0 0.5\n0.5 0\n")
        os.mkfifo(edges)
        script = (
            "import fwprune; fwprune.weakest_link_reduction_file("
            f"{str(source)!r}, {str(edges)!r}, {str(matrix)!r}, 0.1, 1.0, backend='cpu')"
        )
        child = subprocess.Popen([sys.executable, "-c", script])

        def temporaries():
            return [p for p in tmp_path.iterdir() if p.name.startswith(".fwprune-")]

        deadline = time.monotonic() + 60
        while not temporaries() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        saw_temporary = bool(temporaries())
        child.send_signal(signal.SIGTERM)
        child.wait()
        assert saw_temporary, "no temporary output file appeared"
        assert child.returncode == -signal.SIGTERM
        assert temporaries() == [] and not matrix.exists()

    def test_ctrl_c_stops_the_call_and_writes_nothing(self, tmp_path):
        if threading.current_thread() is not threading.main_thread():
            pytest.skip("only the main thread runs signal handlers")
        # The input is a FIFO, so the signal surely arrives while the call runs: the feeder can
        # open it only once the call reads it.
        source, output = tmp_path / "graph.fifo", tmp_path / "reduced.txt"
        os.mkfifo(source)

        def feed():
            with open(source, "w") as stream:
                os.kill(os.getpid(), signal.SIGINT)
                stream.write("0 edge 1\n1 edge 2\n0 edge 2\n")

        # Python's own handler, even where the runner started us with SIGINT ignored (as a shell
        # does for a background job), which would leave Ctrl-C nothing to raise.
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        feeder = threading.Thread(target=feed)
        feeder.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                fwprune.transitive_reduction_file(source, output, backend="emulated")
        finally:
            feeder.join()
            signal.signal(signal.SIGINT, previous)
        assert not output.exists()
