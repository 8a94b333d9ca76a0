"""networkx DiGraphs in and out: labels, isolated nodes, attributes and the weight semantics."""

import math

import networkx as nx
import numpy as np
import pytest

import fwprune
import reference


def _labelled(graph_matrix, labels):
    graph = nx.DiGraph()
    graph.add_nodes_from(labels)
    rows, cols = np.nonzero(graph_matrix)
    graph.add_edges_from((labels[i], labels[j]) for i, j in zip(rows.tolist(), cols.tolist()))
    return graph


class TestTransitiveReductionGraphs:
    def test_matches_networkx_on_random_dags(self, backend, rng):
        for n in (1, 8, 25):
            dag = nx.DiGraph(reference.random_digraph(rng, n, 0.3, acyclic=True))
            result = fwprune.transitive_reduction(dag, backend=backend)
            assert set(result.edges) == set(nx.transitive_reduction(dag).edges)
            assert list(result.nodes) == list(dag.nodes)

    def test_hashable_labels_map_back(self, rng):
        labels = ["a", ("t", 1), 3.5, frozenset({2}), b"raw", "z"]
        matrix = reference.random_digraph(rng, len(labels), 0.4, self_loops=0.2)
        graph = _labelled(matrix, labels)
        result = fwprune.transitive_reduction(graph, backend="cpu")
        expected = reference.transitive_reduction(matrix)
        assert set(result.edges) == set(_labelled(expected, labels).edges)
        assert list(result.nodes) == labels

    def test_node_order_does_not_change_the_answer(self, rng):
        matrix = reference.random_digraph(rng, 12, 0.3, acyclic=True)
        graph = nx.DiGraph(matrix)
        shuffled = nx.DiGraph()
        shuffled.add_nodes_from(rng.permutation(12).tolist())
        shuffled.add_edges_from(graph.edges)
        assert set(fwprune.transitive_reduction(shuffled, backend="cpu").edges) == set(
            fwprune.transitive_reduction(graph, backend="cpu").edges
        )

    def test_keeps_isolated_nodes_and_attributes(self):
        graph = nx.DiGraph(name="g")
        graph.add_node("lonely", colour="red")
        graph.add_edge("a", "b", label="ab")
        graph.add_edge("b", "c", label="bc")
        graph.add_edge("a", "c", label="ac")
        result = fwprune.transitive_reduction(graph, backend="cpu")
        assert result is not graph
        assert set(result.nodes) == {"lonely", "a", "b", "c"}
        assert result.nodes["lonely"] == {"colour": "red"}
        assert dict(result.edges) == {("a", "b"): {"label": "ab"}, ("b", "c"): {"label": "bc"}}
        assert result.graph["name"] == "g"
        # The input is untouched and shares no attribute dicts with the result.
        assert graph.has_edge("a", "c")
        result.nodes["lonely"]["colour"] = "blue"
        assert graph.nodes["lonely"]["colour"] == "red"

    def test_empty_graph(self):
        assert fwprune.transitive_reduction(nx.DiGraph()).number_of_nodes() == 0

    @pytest.mark.parametrize("kind", [nx.Graph, nx.MultiDiGraph])
    def test_other_graph_kinds_are_refused(self, kind):
        graph = kind()
        graph.add_edge(0, 1)
        with pytest.raises(TypeError):
            fwprune.transitive_reduction(graph)


def _weighted(weights, labels):
    """A DiGraph with an edge for every cell that is not absent."""
    graph = nx.DiGraph()
    graph.add_nodes_from(labels)
    n = len(labels)
    for i in range(n):
        for j in range(n):
            if weights[i, j] != 2.0:
                graph.add_edge(labels[i], labels[j], weight=float(weights[i, j]))
    return graph


class TestWeakestLinkGraphs:
    def test_matches_matrix_result(self, backend, rng):
        labels = [f"n{i}" for i in range(15)]
        weights = reference.random_weights(rng, 15, special=False)
        weights[weights == 0] = 2.0  # no self-loops: the diagonal is absent as in the graph
        graph = _weighted(weights, labels)
        result = fwprune.weakest_link_reduction(graph, 0.125, 0.9, backend=backend)
        expected = _weighted(reference.weakest_link_reduction(weights, 0.125, 0.9), labels)
        assert dict(result.edges) == dict(expected.edges)
        assert list(result.nodes) == labels

    def test_example(self):
        graph = nx.DiGraph()
        graph.add_edge("x", "y", weight=0.2, kind="a")
        graph.add_edge("y", "z", weight=0.3, kind="b")
        graph.add_edge("x", "z", weight=0.9, kind="c")
        graph.add_node("w")
        result = fwprune.weakest_link_reduction(graph, 0.1, 1.0)
        assert set(result.edges) == {("x", "y"), ("y", "z")}
        assert result.edges["x", "y"] == {"weight": float(np.float32(0.2)), "kind": "a"}
        assert "w" in result

    def test_weights_are_float32_values(self):
        graph = nx.DiGraph()
        graph.add_edge(0, 1, weight=0.1)
        result = fwprune.weakest_link_reduction(graph, 0.5, 1.0)
        assert result.edges[0, 1]["weight"] == float(np.float32(0.1))

    def test_other_weight_attribute(self):
        graph = nx.DiGraph()
        graph.add_edge(0, 1, cost=0.2, weight=1.5)
        graph.add_edge(1, 2, cost=0.3, weight=1.5)
        graph.add_edge(0, 2, cost=0.9, weight=0.0)
        result = fwprune.weakest_link_reduction(graph, 0.1, 1.0, weight="cost")
        assert set(result.edges) == {(0, 1), (1, 2)}
        assert result.edges[0, 1]["weight"] == 1.5  # other attributes are carried along

    def test_self_loops(self):
        graph = nx.DiGraph()
        graph.add_edge(0, 0, weight=0.0)
        graph.add_edge(1, 1, weight=0.95)  # beaten by the 2-cycle 1 -> 2 -> 1
        graph.add_edge(1, 2, weight=0.5)
        graph.add_edge(2, 1, weight=0.5)
        result = fwprune.weakest_link_reduction(graph, 0.1, 1.0)
        assert set(result.edges) == {(0, 0), (1, 2), (2, 1)}

    def test_negative_and_high_weights_are_dropped(self):
        graph = nx.DiGraph()
        graph.add_edge(0, 1, weight=-0.5)
        graph.add_edge(1, 2, weight=0.95)
        graph.add_edge(2, 0, weight=0.5)
        result = fwprune.weakest_link_reduction(graph, 0.1, 0.9)
        assert set(result.edges) == {(2, 0)}
        assert set(result.nodes) == {0, 1, 2}

    # 1.99999999 is below 2.0, but the float32 the cell holds is 2.0; 10**400 fits no float;
    # text is no number, even text that float() would read.
    @pytest.mark.parametrize(
        "bad",
        [2.0, -2.0, 1.99999999, -1.99999999, 7.0, 10**400, math.inf, math.nan, "heavy", "0.5",
         b"0.5", None],
    )
    def test_unusable_weights_raise_value_error(self, bad):
        graph = nx.DiGraph()
        graph.add_edge("a", "b", weight=bad)
        with pytest.raises(ValueError, match="'a' -> 'b'"):
            fwprune.weakest_link_reduction(graph, 0.1, 1.0)

    def test_missing_weight_raises_value_error(self):
        graph = nx.DiGraph()
        graph.add_edge("a", "b")
        with pytest.raises(ValueError, match="weight"):
            fwprune.weakest_link_reduction(graph, 0.1, 1.0)


class TestCyclesAndRemovedEdges:
    def test_condense_keeps_reachability_and_the_report_explains_every_removed_edge(self, rng):
        for n in (1, 6, 20):
            matrix = reference.random_digraph(rng, n, 0.2, self_loops=0.2)
            labels = [f"v{i}" for i in range(n)]
            graph = _labelled(matrix, labels)
            for cycles in ("drop", "condense"):
                result, removed = fwprune.transitive_reduction(graph, cycles=cycles, removed=True)
                kept = set(result.edges)
                # Every input edge not kept, once, in output order (by node number).
                order = {label: i for i, label in enumerate(labels)}
                gone = sorted(set(graph.edges) - kept, key=lambda e: (order[e[0]], order[e[1]]))
                assert [(r.source, r.target) for r in removed] == gone
                closure = nx.transitive_closure(graph, reflexive=False)
                for r in removed:
                    if r.reason == "bypassed":
                        assert r.via not in (r.source, r.target)
                        assert closure.has_edge(r.source, r.via) and closure.has_edge(r.via, r.target)
                    elif r.reason == "self-loop":
                        assert r.source == r.target
                    elif r.reason == "represented":
                        assert result.has_edge(r.via, r.value)
                    else:
                        assert r.reason == ("cycle" if cycles == "drop" else "condensed")
                if cycles == "condense":
                    after = nx.transitive_closure(result, reflexive=False)
                    assert {e for e in closure.edges if e[0] != e[1]} == {
                        e for e in after.edges if e[0] != e[1]
                    }

    def test_weakest_link_report_names_a_lighter_walk_for_every_replaced_cell(self, rng):
        weights = reference.random_weights(rng, 12, special=False)
        pruned, removed = fwprune.weakest_link_reduction(weights, 0.1, 1.0, removed=True)
        expected = reference.weakest_link_reduction(weights, 0.1, 1.0)
        np.testing.assert_array_equal(pruned, expected)
        gone = [
            (i, j)
            for i in range(12)
            for j in range(12)
            if weights[i, j] != fwprune.ABSENT and pruned[i, j] == fwprune.ABSENT
        ]
        assert [(r.source, r.target) for r in removed] == gone
        for r in removed:
            cell = float(np.float32(weights[r.source, r.target]))
            if r.reason != "replaced":
                assert r.reason == ("negative" if math.copysign(1, cell) < 0 else "upper")
                continue
            legs = nx.DiGraph()
            legs.add_nodes_from(range(12))
            legs.add_edges_from(
                (i, j)
                for i in range(12)
                for j in range(12)
                if i != j and abs(weights[i, j]) <= r.value
            )
            assert r.via not in (r.source, r.target) and r.value < cell
            assert nx.has_path(legs, r.source, r.via) and nx.has_path(legs, r.via, r.target)
