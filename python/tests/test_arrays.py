"""The in-memory jobs on numpy arrays: results against the reference, and how arrays of every
dtype, layout and shape come in and go out."""

import numpy as np
import pytest

import fwprune
import reference

SIZES = [0, 1, 2, 3, 7, 24]


class TestTransitiveReductionResults:
    @pytest.mark.parametrize("n", SIZES)
    def test_acyclic_graphs_match_reference(self, backend, rng, n):
        for density in (0.15, 0.5):
            graph = reference.random_digraph(rng, n, density, acyclic=True)
            result = fwprune.transitive_reduction(graph, backend=backend)
            np.testing.assert_array_equal(result, reference.transitive_reduction(graph))

    @pytest.mark.parametrize("n", [2, 5, 24])
    def test_graphs_with_cycles_and_self_loops_match_reference(self, backend, rng, n):
        for density in (0.05, 0.2):
            graph = reference.random_digraph(rng, n, density, self_loops=0.3)
            result = fwprune.transitive_reduction(graph, backend=backend)
            np.testing.assert_array_equal(result, reference.transitive_reduction(graph))

    def test_example_dag(self, backend):
        edges = [(0, 1), (0, 2), (0, 3), (1, 3), (2, 3), (3, 4), (0, 4), (5, 6)]
        graph = np.zeros((7, 7), dtype=np.uint8)
        for i, j in edges:
            graph[i, j] = 1
        result = fwprune.transitive_reduction(graph, backend=backend)
        assert reference.edges_of(result) == {(0, 1), (0, 2), (1, 3), (2, 3), (3, 4), (5, 6)}

    def test_two_cycle_and_self_loop_are_removed(self, backend):
        graph = np.array([[1, 1, 0], [1, 0, 1], [0, 0, 0]], dtype=np.uint8)
        result = fwprune.transitive_reduction(graph, backend=backend)
        assert not result.any()


class TestWeakestLinkResults:
    @pytest.mark.parametrize("n", SIZES)
    def test_random_matrices_match_reference(self, backend, rng, n):
        weights = reference.random_weights(rng, n)
        for lower, upper in ((0.125, 1.0), (0.0, 0.75), (-1.0, 3.0), (0.5, 2.5)):
            result = fwprune.weakest_link_reduction(weights, lower, upper, backend=backend)
            expected = reference.weakest_link_reduction(weights, lower, upper)
            assert reference.same_floats(result, expected), (lower, upper)

    def test_example_matrix(self, backend):
        weights = np.array([[0, 0.2, 0.9], [2, 0, 0.3], [2, 2, 0]], dtype=np.float32)
        result = fwprune.weakest_link_reduction(weights, 0.1, 1.0, backend=backend)
        expected = weights.copy()
        expected[0, 2] = 2.0  # 0 -> 1 -> 2 has weakest link 0.3 < 0.9
        assert reference.same_floats(result, expected)

    def test_thresholds_compare_in_single_precision(self, backend):
        # float32(0.1) is slightly above the double 0.1: compared in double it would count as
        # above the lower threshold and be replaced by the weaker path.
        tenth = np.float32(0.1)
        weights = np.array([[0, 0.05, tenth], [2, 0, 0.05], [2, 2, 0]], dtype=np.float32)
        result = fwprune.weakest_link_reduction(weights, 0.1, float(tenth), backend=backend)
        assert result[0, 2] == 2.0  # at the upper threshold: absent
        result = fwprune.weakest_link_reduction(weights, 0.1, 1.0, backend=backend)
        assert result[0, 2] == tenth  # not above lower: kept

    def test_every_route_matches_reference(self, rng):
        # Without NaN the ordered route answers; with NaN it hands over to the sweeps. From 128
        # nodes on, auto takes the ordered route.
        for n, special in ((130, False), (130, True), (40, False)):
            weights = reference.random_weights(rng, n, special=special)
            expected = reference.weakest_link_reduction(weights, 0.125, 1.0)
            for route in ("auto", "sweeps", "ordered"):
                result = fwprune.weakest_link_reduction(weights, 0.125, 1.0, route=route)
                assert reference.same_floats(result, expected), (n, special, route)

    def test_route_must_belong_to_the_job_and_the_backend(self):
        weights = np.zeros((2, 2), dtype=np.float32)
        with pytest.raises(ValueError, match="route"):
            fwprune.weakest_link_reduction(weights, 0.1, 1.0, route="sparse")
        with pytest.raises(ValueError, match="ordered route runs on the CPU"):
            fwprune.weakest_link_reduction(weights, 0.1, 1.0, route="ordered", backend="emulated")

    def test_every_cell_is_input_or_absent(self, rng):
        weights = reference.random_weights(rng, 30)
        result = fwprune.weakest_link_reduction(weights, 0.25, 0.9, backend="cpu")
        kept = result != 2.0
        assert reference.same_floats(result[kept], weights[kept])


def _layouts(matrix):
    """The same matrix in C order, Fortran order, as a strided view and reversed twice."""
    n = matrix.shape[0]
    big = np.zeros((2 * n, 3 * n), dtype=matrix.dtype)
    big[::2, ::3] = matrix
    flipped = np.ascontiguousarray(matrix[::-1, ::-1])[::-1, ::-1]
    return {
        "c": np.ascontiguousarray(matrix),
        "fortran": np.asfortranarray(matrix),
        "strided": big[::2, ::3],
        "negative-strides": flipped,
        "transposed-copy": np.ascontiguousarray(matrix.T).T,
    }


class TestTransitiveReductionArrays:
    @pytest.mark.parametrize(
        "dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.int64, np.uint64]
    )
    def test_integer_dtypes_give_uint8(self, rng, dtype):
        graph = reference.random_digraph(rng, 9, 0.3, acyclic=True)
        result = fwprune.transitive_reduction(graph.astype(dtype), backend="cpu")
        assert result.dtype == np.uint8
        np.testing.assert_array_equal(result, reference.transitive_reduction(graph))

    def test_bool_gives_bool(self, rng):
        graph = reference.random_digraph(rng, 9, 0.3, acyclic=True).astype(bool)
        result = fwprune.transitive_reduction(graph, backend="cpu")
        assert result.dtype == np.bool_
        np.testing.assert_array_equal(result, reference.transitive_reduction(graph).astype(bool))

    def test_any_nonzero_value_is_an_edge(self):
        # 256 and -256 truncate to 0 in a uint8 cast; they must still count as edges.
        graph = np.array([[0, 256, 7], [0, 0, -256], [0, 0, 0]], dtype=np.int32)
        result = fwprune.transitive_reduction(graph, backend="cpu")
        np.testing.assert_array_equal(result, [[0, 1, 0], [0, 0, 1], [0, 0, 0]])

    @pytest.mark.parametrize("layout", ["c", "fortran", "strided", "negative-strides", "transposed-copy"])
    def test_memory_layouts(self, rng, layout):
        graph = reference.random_digraph(rng, 11, 0.3, acyclic=True)
        view = _layouts(graph)[layout]
        result = fwprune.transitive_reduction(view, backend="cpu")
        assert result.shape == (11, 11)
        np.testing.assert_array_equal(result, reference.transitive_reduction(graph))

    def test_input_is_left_alone_and_result_is_new(self, rng):
        graph = reference.random_digraph(rng, 8, 0.5, acyclic=True)
        before = graph.copy()
        result = fwprune.transitive_reduction(graph, backend="cpu")
        np.testing.assert_array_equal(graph, before)
        assert not np.shares_memory(result, graph)
        assert result.flags.writeable

    def test_nested_lists(self):
        result = fwprune.transitive_reduction([[0, 1, 1], [0, 0, 1], [0, 0, 0]], backend="cpu")
        np.testing.assert_array_equal(result, [[0, 1, 0], [0, 0, 1], [0, 0, 0]])

    def test_empty_matrix(self):
        result = fwprune.transitive_reduction(np.zeros((0, 0), dtype=bool), backend="cpu")
        assert result.shape == (0, 0) and result.dtype == np.bool_

    @pytest.mark.parametrize(
        "bad",
        [
            np.zeros((3, 4), dtype=np.uint8),
            np.zeros(4, dtype=np.uint8),
            np.zeros((2, 2, 2), dtype=np.uint8),
            np.zeros((), dtype=np.uint8),
            np.zeros((3, 3), dtype=np.float64),
            np.zeros((3, 3), dtype=np.complex64),
            np.array([["a", "b"], ["c", "d"]]),
            np.empty((2, 2), dtype=object),
        ],
        ids=["non-square", "1-d", "3-d", "0-d", "float", "complex", "str", "object"],
    )
    def test_bad_arrays_raise_value_error(self, bad):
        with pytest.raises(ValueError):
            fwprune.transitive_reduction(bad, backend="cpu")


class TestWeakestLinkArrays:
    @pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64, np.longdouble])
    def test_float_dtypes_give_float32(self, rng, dtype):
        weights = (rng.integers(0, 9, size=(8, 8)) / 8.0).astype(dtype)
        result = fwprune.weakest_link_reduction(weights, 0.125, 1.0, backend="cpu")
        assert result.dtype == np.float32
        expected = reference.weakest_link_reduction(weights.astype(np.float32), 0.125, 1.0)
        assert reference.same_floats(result, expected)

    def test_float64_is_rounded_to_float32(self):
        # 0.1 and its float32 rounding differ; the result holds the rounded value.
        weights = np.array([[0.0, 0.1], [2.0, 0.0]])
        result = fwprune.weakest_link_reduction(weights, 0.5, 1.0, backend="cpu")
        assert result[0, 1] == np.float32(0.1)

    @pytest.mark.parametrize("layout", ["c", "fortran", "strided", "negative-strides", "transposed-copy"])
    def test_memory_layouts(self, rng, layout):
        weights = reference.random_weights(rng, 10)
        view = _layouts(weights)[layout]
        result = fwprune.weakest_link_reduction(view, 0.125, 1.0, backend="cpu")
        expected = reference.weakest_link_reduction(weights, 0.125, 1.0)
        assert reference.same_floats(result, expected)

    def test_input_is_left_alone_and_result_is_new(self, rng):
        weights = reference.random_weights(rng, 10)
        before = weights.copy()
        result = fwprune.weakest_link_reduction(weights, 0.125, 0.8, backend="cpu")
        assert reference.same_floats(weights, before)
        assert not np.shares_memory(result, weights)

    def test_empty_matrix(self):
        result = fwprune.weakest_link_reduction(np.zeros((0, 0)), 0.1, 1.0, backend="cpu")
        assert result.shape == (0, 0) and result.dtype == np.float32

    @pytest.mark.parametrize(
        "bad",
        [
            np.zeros((3, 4), dtype=np.float32),
            np.zeros(4, dtype=np.float32),
            np.zeros((2, 2, 2), dtype=np.float32),
            np.zeros((3, 3), dtype=np.int32),
            np.zeros((3, 3), dtype=bool),
            np.zeros((3, 3), dtype=np.complex64),
        ],
        ids=["non-square", "1-d", "3-d", "int", "bool", "complex"],
    )
    def test_bad_arrays_raise_value_error(self, bad):
        with pytest.raises(ValueError):
            fwprune.weakest_link_reduction(bad, 0.1, 1.0, backend="cpu")

    def test_thresholds_are_real_numbers_not_text(self, rng):
        weights = reference.random_weights(rng, 7)
        for text in ("low", "0.5", b"0.5"):
            with pytest.raises(TypeError):
                fwprune.weakest_link_reduction(weights, text, 1.0)
            with pytest.raises(TypeError):
                fwprune.weakest_link_reduction(weights, 0.1, text)
        # Any number is a threshold, as on the command line and in the C API: a NaN, and 1e39,
        # which is infinity as a float32.
        nan = float("nan")
        for lower, upper in ((nan, 1e39), (0.1, nan), (-1e39, 0.9)):
            result = fwprune.weakest_link_reduction(weights, lower, upper, backend="cpu")
            with np.errstate(over="ignore"):
                bounds = np.float32(lower), np.float32(upper)
            expected = reference.weakest_link_reduction(weights.astype(np.float32), *bounds)
            assert reference.same_floats(result, expected)
