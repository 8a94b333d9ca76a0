"""Labelled edge tables (pandas, pyarrow) and the file formats: each the native answer mapped
through the labels."""

import csv

import numpy as np
import pytest

import fwprune


def _labelled_graph(rng, n=40, m=150):
    """Edges as node numbers, with repeats, cycles and self-loops, and labels of mixed kinds."""
    sources = rng.integers(0, n, size=m)
    targets = np.where(rng.random(m) < 0.75, np.minimum(n - 1, sources + rng.integers(1, 5, m)),
                       rng.integers(0, n, size=m))
    labels = [f"{rng.integers(1 << 62):040x}" if i % 3 == 0 else f"task {i}, \"q\"" for i in range(n)]
    return sources, targets, labels


def _native_survivors(sources, targets):
    kept = fwprune.transitive_reduction_edges(np.stack([sources, targets], axis=1), route="sparse")
    return {(int(s), int(t)) for s, t in kept}


def _first_rows_kept(sources, targets, kept):
    """The row numbers of the first row of each surviving edge, in order."""
    seen, rows = set(), []
    for i, edge in enumerate(zip(sources.tolist(), targets.tolist())):
        if edge in kept and edge not in seen:
            rows.append(i)
        seen.add(edge)
    return rows


def test_pandas_and_pyarrow_tables_keep_the_first_row_of_each_surviving_edge(rng):
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    sources, targets, labels = _labelled_graph(rng)
    rows = _first_rows_kept(sources, targets, _native_survivors(sources, targets))
    frame = pd.DataFrame(
        {"from": [labels[s] for s in sources], "to": [labels[t] for t in targets],
         "w": np.arange(sources.size)},
        index=np.arange(sources.size) * 10,
    )
    reduced = fwprune.transitive_reduction(frame, source="from", target="to")
    assert isinstance(reduced, pd.DataFrame)
    assert reduced["w"].tolist() == rows
    assert reduced.index.tolist() == [r * 10 for r in rows]
    # Labels of another type: integers as the nodes' names.
    numbers = pd.DataFrame({"source": sources * 7 + 3, "target": targets * 7 + 3})
    assert fwprune.transitive_reduction(numbers).index.tolist() == rows

    table = pa.Table.from_pandas(frame.reset_index(drop=True))
    reduced_table = fwprune.transitive_reduction(table, source="from", target="to")
    assert isinstance(reduced_table, pa.Table)
    assert reduced_table.column("w").to_pylist() == rows
    # The report names nodes by the table's labels.
    _, removed = fwprune.transitive_reduction(table, source="from", target="to", removed=True)
    _, removed_frame = fwprune.transitive_reduction(frame, source="from", target="to", removed=True)
    assert removed == removed_frame
    kept = set(zip(reduced["from"], reduced["to"]))
    assert {(r.source, r.target) for r in removed} == set(zip(frame["from"], frame["to"])) - kept
    with pytest.raises(ValueError, match="no column 'source'"):
        fwprune.transitive_reduction(table)
    cycle = pd.DataFrame({"source": ["a", "c", "a", "b"], "target": ["c", "a", "b", "a"]})
    with pytest.raises(ValueError, match="'c' -> 'b', which no row"):
        fwprune.transitive_reduction(cycle, cycles="condense")
    frame.loc[0, "to"] = None
    with pytest.raises(ValueError, match="missing label"):
        fwprune.transitive_reduction(frame, source="from", target="to")


def test_file_formats_give_the_native_answer_through_the_labels(tmp_path, rng):
    sources, targets, labels = _labelled_graph(rng)
    kept = _native_survivors(sources, targets)
    appearance = {}
    for s, t in zip(sources.tolist(), targets.tolist()):
        appearance.setdefault(s, len(appearance))
        appearance.setdefault(t, len(appearance))
    in_order = sorted(kept, key=lambda e: (appearance[e[0]], appearance[e[1]]))
    with open(tmp_path / "g.csv", "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\r\n")
        writer.writerow(["source", "target"])
        writer.writerows((labels[s], labels[t]) for s, t in zip(sources, targets))
    # Named .txt: the format comes from the option, and the output follows the input's.
    (tmp_path / "g.txt").write_bytes((tmp_path / "g.csv").read_bytes())
    fwprune.transitive_reduction_file(tmp_path / "g.txt", tmp_path / "out", input_format="csv",
                                      header=True)
    with open(tmp_path / "out", newline="") as f:
        rows = list(csv.reader(f))
    assert rows == [["source", "target"]] + [[labels[s], labels[t]] for s, t in in_order]
    with pytest.raises(ValueError, match="input_format"):
        fwprune.transitive_reduction_file(tmp_path / "g.csv", tmp_path / "o", input_format="xml")

    weights = rng.random((60, 60))
    weights[rng.random((60, 60)) < 0.1] = 2.0
    np.save(tmp_path / "w.npy", weights)
    np.save(tmp_path / "wf.npy", np.asfortranarray(weights.astype(">f8")))
    fwprune.weakest_link_reduction_file(tmp_path / "w.npy", tmp_path / "e1", tmp_path / "m.npy",
                                        0.1, 1.0)
    fwprune.weakest_link_reduction_file(tmp_path / "wf.npy", tmp_path / "e2", tmp_path / "m2",
                                        0.1, 1.0, output_format="npy")
    expected = fwprune.weakest_link_reduction(weights.astype(np.float32), 0.1, 1.0)
    for matrix in (np.load(tmp_path / "m.npy"), np.load(tmp_path / "m2")):
        assert matrix.dtype == np.float32
        assert np.array_equal(matrix, expected)
    assert (tmp_path / "e1").read_bytes() == (tmp_path / "e2").read_bytes()
