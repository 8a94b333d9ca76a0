"""Sparse inputs of the reduction (edge arrays, scipy.sparse, networkx graphs with any labels):
every form and every route gives the reference's edges, and none needs a dense matrix."""

import numpy as np
import pytest

import fwprune
import reference

scipy_sparse = pytest.importorskip("scipy.sparse")
nx = pytest.importorskip("networkx")

ROUTES = ["auto", "sweeps", "sparse"]


@pytest.mark.parametrize("route", ROUTES)
def test_every_sparse_form_matches_the_reference(rng, route):
    for n, density in ((1, 0.5), (9, 0.3), (40, 0.08)):
        dense = reference.random_digraph(rng, n, density, self_loops=0.1)
        expected = reference.edges_of(reference.transitive_reduction(dense))
        rows, cols = np.nonzero(dense)

        # Edges with a repeat and a record with a negative node, as a file may hold.
        edges = np.stack([np.append(rows, [rows[0] if rows.size else 0, -1]),
                          np.append(cols, [cols[0] if cols.size else 0, 3])], axis=1)
        edges = edges.astype(np.int64)
        kept = fwprune.transitive_reduction_edges(edges, route=route)
        assert kept.dtype == np.int64
        assert [tuple(e) for e in kept.tolist()] == sorted(expected)

        for make in (scipy_sparse.csr_matrix, scipy_sparse.coo_array):
            matrix = make(dense.astype(bool))
            result = fwprune.transitive_reduction(matrix, route=route)
            assert type(result) is type(matrix) and result.dtype == bool
            assert reference.edges_of(result.toarray()) == expected

        labels = [f"pkg-{i}" for i in range(n)]
        graph = nx.DiGraph()
        graph.add_nodes_from(labels)
        graph.add_edges_from((labels[i], labels[j], {"w": i}) for i, j in zip(rows, cols))
        reduced = fwprune.transitive_reduction(graph, route=route)
        assert list(reduced.nodes) == labels
        assert {(labels.index(a), labels.index(b)) for a, b in reduced.edges} == expected
        assert all(reduced.edges[a, b]["w"] == labels.index(a) for a, b in reduced.edges)


@pytest.mark.parametrize("route", ROUTES)
def test_stored_zeros_and_repeats_that_cancel_are_no_edges(route):
    # Cell (0, 1) is a stored zero and (1, 2) holds 1 and -1, so neither is an edge; (0, 2) holds
    # 1 twice and (2, 3) holds 5. As COO entries, and as CSR rows with repeated columns.
    rows, cols = [0, 1, 1, 0, 0, 2], [1, 2, 2, 2, 2, 3]
    data = np.array([0, 1, -1, 1, 1, 5], dtype=np.int64)
    indptr, indices = [0, 3, 5, 6, 6], [1, 2, 2, 2, 2, 3]
    csr_data = np.array([0, 1, 1, 1, -1, 5], dtype=np.int64)
    forms = [
        scipy_sparse.coo_matrix((data, (rows, cols)), shape=(4, 4)),
        scipy_sparse.coo_array((data, (rows, cols)), shape=(4, 4)),
        scipy_sparse.csr_matrix((csr_data, indices, indptr), shape=(4, 4)),
        scipy_sparse.csr_array((csr_data, indices, indptr), shape=(4, 4)),
    ]
    for matrix in forms:
        result = fwprune.transitive_reduction(matrix, route=route)
        assert type(result) is type(matrix)
        assert reference.edges_of(result.toarray()) == {(0, 2), (2, 3)}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("dtype", [np.int32, np.int64])
def test_the_most_negative_node_number_skips_its_record(route, dtype):
    # A record with a negative node sets no edge; its other node still counts toward n.
    low = -(2**31)
    edges = np.array([[low, 3], [0, 1], [1, 2], [0, 2], [2, low], [low, low]], dtype=dtype)
    kept = fwprune.transitive_reduction_edges(edges, route=route)
    assert kept.dtype == dtype and kept.tolist() == [[0, 1], [1, 2]]


def test_node_numbers_beyond_the_dense_limit_take_the_sparse_route():
    top = 2**31 - 1
    edges = np.array([[top, 5], [5, 7], [top, 7], [0, top]])
    kept = fwprune.transitive_reduction(edges)
    assert kept.tolist() == [[0, top], [5, 7], [top, 5]]
    with pytest.raises(ValueError, match="limit"):
        fwprune.transitive_reduction_edges(edges, route="sweeps")
    with pytest.raises(ValueError, match="32 bits"):
        fwprune.transitive_reduction_edges(np.array([[0, 2**31]]))
    # The message names the number at fault, here the smallest.
    with pytest.raises(ValueError, match="found -2147483649"):
        fwprune.transitive_reduction_edges(np.array([[-(2**31) - 1, 0], [0, 2**31 - 1]]))

    with pytest.raises(ValueError, match="route"):
        fwprune.transitive_reduction(edges, route="ordered")


def test_dense_matrices_past_the_dense_limit_take_the_sparse_route(monkeypatch, rng):
    # The limit lowered, so that a matrix past it is small: the sparse route (and "auto", which
    # then picks it) takes it, the sweeps refuse it.
    monkeypatch.setattr(fwprune, "_MAX_NODES", 8)
    dense = reference.random_digraph(rng, 12, 0.3, self_loops=0.1).astype(bool)
    expected = reference.edges_of(reference.transitive_reduction(dense))
    for route in ("sparse", "auto"):
        reduced = fwprune.transitive_reduction(dense, route=route)
        assert reduced.dtype == bool and reference.edges_of(reduced) == expected
    with pytest.raises(ValueError, match="limit"):
        fwprune.transitive_reduction(dense, route="sweeps")
