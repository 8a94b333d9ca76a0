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


def test_node_numbers_beyond_the_dense_limit_take_the_sparse_route():
    top = 2**31 - 1
    edges = np.array([[top, 5], [5, 7], [top, 7], [0, top]])
    kept = fwprune.transitive_reduction(edges)
    assert kept.tolist() == [[0, top], [5, 7], [top, 5]]
    with pytest.raises(ValueError, match="limit"):
        fwprune.transitive_reduction_edges(edges, route="sweeps")
    with pytest.raises(ValueError, match="32 bits"):
        fwprune.transitive_reduction_edges(np.array([[0, 2**31]]))
    with pytest.raises(ValueError, match="route"):
        fwprune.transitive_reduction(edges, route="ordered")
