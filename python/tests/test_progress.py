"""Progress: a callable hears every phase move forward; a bar appears only on a terminal."""

import io
import sys

import numpy as np
import pytest

import fwprune
import reference


def phases_heard(reports):
    """The phases in the order heard, checking that each starts at 0, ends at 1, never goes back
    and passes through a value in between."""
    order = []
    for phase, fraction in reports:
        if not order or order[-1][0] != phase:
            order.append((phase, []))
        order[-1][1].append(fraction)
    for phase, fractions in order:
        assert fractions[0] == 0.0 and fractions[-1] == 1.0, (phase, fractions)
        assert fractions == sorted(fractions), (phase, fractions)
        assert any(0 < f < 1 for f in fractions), (phase, fractions)
    return [phase for phase, _ in order]


@pytest.fixture
def weights_file(tmp_path, rng):
    source = tmp_path / "weights.txt"
    reference.write_weight_matrix(source, reference.random_weights(rng, 200))
    return source


class TestCallable:
    def test_every_phase_of_a_file_job_moves(self, tmp_path, backend, weights_file):
        reports = []
        fwprune.weakest_link_reduction_file(
            weights_file, tmp_path / "e.txt", tmp_path / "m.txt", 0.1, 0.9,
            backend=backend, progress=lambda phase, f: reports.append((phase, f)),
        )
        assert phases_heard(reports) == ["read", "sweeps", "write"]

    def test_in_memory_jobs_report_their_sweeps(self, rng):
        reports = []
        fwprune.weakest_link_reduction(
            reference.random_weights(rng, 200), 0.1, 0.9, backend="cpu",
            progress=lambda *r: reports.append(r),
        )
        assert phases_heard(reports) == ["sweeps"]

    def test_an_exception_it_raises_stops_the_job(self, tmp_path, weights_file):
        calls = []

        def fails(phase, fraction):
            calls.append(fraction)
            raise KeyError("stop")

        edges, matrix = tmp_path / "e.txt", tmp_path / "m.txt"
        with pytest.raises(KeyError, match="stop"):
            fwprune.weakest_link_reduction_file(
                weights_file, edges, matrix, 0.1, 0.9, backend="cpu", progress=fails
            )
        assert calls == [0.0]  # no report after the first failure
        assert not edges.exists() and not matrix.exists()

    @pytest.mark.parametrize("progress", ["yes", 1])
    def test_other_values_are_a_type_error(self, progress):
        with pytest.raises(TypeError):
            fwprune.transitive_reduction(np.zeros((2, 2), dtype=bool), progress=progress)


class Terminal(io.StringIO):
    def isatty(self):
        return True


class TestBar:
    def test_nothing_is_printed_when_stderr_is_not_a_terminal(self, tmp_path, weights_file, capsys):
        fwprune.weakest_link_reduction_file(
            weights_file, tmp_path / "e.txt", tmp_path / "m.txt", 0.1, 0.9, progress=True
        )
        assert capsys.readouterr().err == ""

    @pytest.mark.parametrize("with_tqdm", [False, True])
    def test_a_terminal_shows_each_phase_and_is_cleared(
        self, tmp_path, weights_file, monkeypatch, with_tqdm
    ):
        if with_tqdm:
            pytest.importorskip("tqdm")
        else:
            monkeypatch.setitem(sys.modules, "tqdm", None)  # import fails
        terminal = Terminal()
        monkeypatch.setattr(sys, "stderr", terminal)
        fwprune.weakest_link_reduction_file(
            weights_file, tmp_path / "e.txt", tmp_path / "m.txt", 0.1, 0.9,
            backend="cpu", progress=True,
        )
        shown = terminal.getvalue()
        for label in ("reading", "pruning", "writing"):
            assert label in shown, shown
        # Nothing of the bar stays on the line.
        last = shown.rsplit("\r", 1)[-1]
        assert last.strip() in ("", "\x1b[K", "\x1b[A"), repr(shown[-200:])
