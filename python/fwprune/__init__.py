"""Prune directed graphs, dense or of millions of nodes, on a GPU or on the CPU.

Two jobs, each available on numpy arrays, on networkx DiGraphs, and from file to file:

``transitive_reduction``
    Keeps exactly the edges that no walk of two or more edges bypasses. On a graph without
    cycles this is its transitive reduction; an edge touching a cycle, and every self-loop,
    is removed.

``weakest_link_reduction``
    A weight above ``lower`` (or negative) is replaced when a path through other nodes has a
    smaller weakest link (the larger magnitude of its legs); replaced and negative cells, and
    cells at or above ``upper``, become absent (2.0).

Every function takes ``backend`` ("auto", "gpu", "cpu" or "emulated"; "auto" uses the GPU when
one is usable) and ``threads`` (CPU threads, at most 4096; 0, the default, uses the environment
variable ``FWPRUNE_NUM_THREADS`` when set, else the CPUs this process may use) and
``progress``: ``True`` shows a bar on standard error while the job runs (through tqdm when it is
installed, as plain text otherwise, and nothing when standard error is not a terminal); a callable
is called as ``progress(phase, fraction)`` on the calling thread, phase being "read", "sweeps" or
"write" and fraction the share of that phase done, from 0 to 1 and never going back; an exception
it raises stops the job and is raised in its place. The reductions also take ``cycles``: "drop"
(the default: edges on or touching a cycle go) or "condense" (who reaches whom is kept: each
strongly connected component becomes one cycle through its nodes in ascending order, and the
components are joined by the collapsed graph's reduction), and ``removed``: ``True`` returns,
alongside the result, the list of removed edges with their reasons (``RemovedEdge`` tuples; the
file function takes a path to write them to instead). The weakest-link functions also take
``route``: "auto" (the fastest exact route), "sweeps" (the n sweeps) or "ordered" (cells in
ascending magnitude, answered from reachability among lighter legs; CPU only; a matrix holding a
NaN takes the sweeps). Every route gives the same result. The GIL is released while the sweeps
run, so several threads may call in at once. Ctrl-C (or any signal whose handler raises) stops a
call made from the main thread: it raises ``KeyboardInterrupt`` (or the handler's exception) and
no output file is created or changed. SIGTERM or SIGHUP left at their default action still end
the process, but a file function that is writing removes its temporary output files first.

Thresholds are any real number (a NaN; 1e39 is infinity as a float32), rounded to float32 as the
command line and the file reader round the same number; text is not taken as a number.

Errors: ``ValueError`` for bad arguments and malformed files, ``OSError`` (with ``filename``
set) when a file cannot be read or written, ``MemoryError`` when the matrix does not fit, and
``RuntimeError`` when the device or the library fails.
"""

from __future__ import annotations

import errno as _errno
import functools as _functools
import operator as _operator
import os as _os
import sys as _sys
import tempfile as _tempfile
import time as _time
from typing import Any as _Any, Callable as _Callable, NamedTuple as _NamedTuple
from typing import Optional as _Optional, Sequence as _Sequence, Union as _Union

import numpy as _np

from . import _core

__all__ = [
    "transitive_reduction",
    "transitive_reduction_edges",
    "transitive_reduction_file",
    "weakest_link_reduction",
    "weakest_link_reduction_file",
    "default_backend",
    "RemovedEdge",
    "ABSENT",
]

__version__: str = _core.version()

#: The value of a cell that holds no edge, in weight matrices and in the files.
ABSENT = 2.0

PathLike = _Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]

_BACKENDS = {
    "auto": _core.BACKEND_AUTO,
    "gpu": _core.BACKEND_GPU,
    "cpu": _core.BACKEND_CPU,
    "emulated": _core.BACKEND_EMULATED,
}
_BACKEND_NAMES = {code: name for name, code in _BACKENDS.items()}

_MAX_THREADS = _core.MAX_THREADS
_INT32_MAX = 2**31 - 1
# The library's limit on a dense matrix (n*n cells must fit 32 bits), checked here too so that an
# oversized input is refused before it is copied.
_MAX_NODES = _core.MAX_DENSE_NODES

# The routes by name; each job takes some of them (every route of a job gives the same result).
_ROUTES = {
    "auto": _core.ROUTE_AUTO,
    "sweeps": _core.ROUTE_SWEEPS,
    "sparse": _core.ROUTE_SPARSE,
    "ordered": _core.ROUTE_ORDERED,
}

# How a reduction computes its result: "sweeps" on the dense matrix, "sparse" on edge arrays (any
# node count), "auto" the faster for the input.
_REDUCTION_ROUTES = {name: _ROUTES[name] for name in ("auto", "sweeps", "sparse")}

# What a reduction does with cycles: drop every edge on or touching one, or keep reachability.
_CYCLES = {"drop": _core.CYCLES_DROP, "condense": _core.CYCLES_CONDENSE}


class RemovedEdge(_NamedTuple):
    """An input edge the job removed, and why (the columns of the ``--removed`` report): reason
    "bypassed" (``via``: a node w with walks source -> ... -> w -> ... -> target), "cycle"
    (``via``: another node of a cycle the edge's source or target lies on), "self-loop",
    "condensed" (inside a component kept as one cycle; ``via``: its first node) or
    "represented" (``via`` -> ``value``: the edge that joins the same two components); for
    weakest link, a cell's "replaced" (``via``: a node of a walk whose legs are all lighter,
    ``value``: that walk's weakest link), "negative" or "upper" (``value``: the cell's weight)."""

    source: _Any
    target: _Any
    reason: str
    via: _Any
    value: _Any


class _RemovedReport:
    """A temporary file for the library's removed-edge report when one is wanted, read back
    after the call."""

    def __init__(self, wanted: _Any) -> None:
        if not isinstance(wanted, bool):
            raise TypeError(f"removed must be a bool, not {type(wanted).__name__}")
        self._directory = _tempfile.TemporaryDirectory(prefix="fwprune-") if wanted else None
        self.path = (
            _os.fsencode(_os.path.join(self._directory.name, "removed.tsv"))
            if self._directory is not None
            else b""
        )

    def __enter__(self) -> "_RemovedReport":
        return self

    def __exit__(self, *exc: _Any) -> None:
        if self._directory is not None:
            self._directory.cleanup()

    def attach(self, result: _Any, name: _Callable[[int], _Any] = lambda x: x) -> _Any:
        """``result``, or ``(result, removed edges)`` when the report was wanted."""
        if self._directory is None:
            return result
        return result, _read_removed(self.path, name)


def _read_removed(path: _Any, name: _Callable[[int], _Any]) -> list:
    removed = []
    with open(path, encoding="utf-8") as report:
        next(report)
        for line in report:
            source, target, reason, via, value = line.rstrip("\n").split("\t")
            removed.append(
                RemovedEdge(
                    name(int(source)),
                    name(int(target)),
                    reason,
                    name(int(via)) if via else None,
                    name(int(value))
                    if reason == "represented"
                    else float(value) if value else None,
                )
            )
    return removed


def _cycles_option(cycles: _Any) -> int:
    if not isinstance(cycles, str) or cycles not in _CYCLES:
        raise ValueError(f"cycles must be one of {', '.join(map(repr, _CYCLES))}, not {cycles!r}")
    return _CYCLES[cycles]


# The files' formats: "auto" goes by each file's extension (.tsv, .csv, .dot or .gv, .npy; any
# other name is the native text).
_FORMATS = {
    "auto": _core.FORMAT_AUTO,
    "native": _core.FORMAT_NATIVE,
    "tsv": _core.FORMAT_TSV,
    "csv": _core.FORMAT_CSV,
    "dot": _core.FORMAT_DOT,
    "npy": _core.FORMAT_NPY,
}

# How weakest-link pruning computes its result (every route gives the same cells): "sweeps", the
# n sweeps; "ordered", cells in ascending magnitude (CPU only; a matrix with a NaN takes the
# sweeps); "auto" the faster for the input.
_WEAKEST_LINK_ROUTES = {name: _ROUTES[name] for name in ("auto", "sweeps", "ordered")}


def default_backend() -> str:
    """The backend that ``backend="auto"`` resolves to in this process: "gpu" or "cpu"."""
    return _BACKEND_NAMES[_core.default_backend()]


# --- arguments -------------------------------------------------------------------------------


_Progress = _Union[bool, _Callable[[str, float], _Any], None]
# Backend, threads, and the progress callable or None.
_Engine = tuple[int, int, _Any]


def _engine_options(backend: str, threads: int, progress: _Progress = None) -> _Engine:
    if not (progress is None or isinstance(progress, bool) or callable(progress)):
        raise TypeError(f"progress must be a bool or a callable, not {type(progress).__name__}")
    if not isinstance(backend, str) or backend not in _BACKENDS:
        raise ValueError(
            f"backend must be one of {', '.join(map(repr, _BACKENDS))}, not {backend!r}"
        )
    if isinstance(threads, bool):
        raise TypeError("threads must be an int, not bool")
    threads = _operator.index(threads)
    if not 0 <= threads <= _MAX_THREADS:
        raise ValueError(f"threads must be between 0 and {_MAX_THREADS}, not {threads}")
    return _BACKENDS[backend], threads, progress if callable(progress) else None


def _shows_progress(work: str) -> _Callable[[_Any], _Any]:
    """Turns a function's ``progress=True`` into a bar on standard error for the length of the
    call ("reading", ``work``, "writing"), cleared however the call ends."""

    def decorate(function: _Any) -> _Any:
        @_functools.wraps(function)
        def call(*args: _Any, progress: _Progress = None, **kwargs: _Any) -> _Any:
            if progress is not True:
                return function(*args, progress=progress, **kwargs)
            with _ProgressBar(work) as bar:
                return function(*args, progress=bar.report if bar.shown else None, **kwargs)

        return call

    return decorate


class _ProgressBar:
    """A progress bar on standard error, through tqdm when it is installed; nothing when standard
    error is not a terminal."""

    def __init__(self, work: str) -> None:
        self._labels = {"read": "reading", "sweeps": work, "write": "writing"}
        stream = _sys.stderr
        self.shown = stream is not None and hasattr(stream, "isatty") and stream.isatty()
        self._phase: _Optional[str] = None
        self._bar: _Any = None
        self._started = 0.0
        self._drawn = 0.0
        try:
            from tqdm import tqdm

            self._tqdm: _Any = tqdm
        except ImportError:
            self._tqdm = None

    def __enter__(self) -> "_ProgressBar":
        return self

    def __exit__(self, *exc: _Any) -> None:
        self._end_phase()

    def report(self, phase: str, fraction: float) -> None:
        now = _time.monotonic()
        if phase != self._phase:
            self._end_phase()
            self._phase, self._started, self._drawn = phase, now, 0.0
            if self._tqdm is not None:
                self._bar = self._tqdm(
                    total=100, desc=self._labels[phase], unit="%", leave=False, file=_sys.stderr
                )
        if self._bar is not None:
            self._bar.update(int(fraction * 100) - self._bar.n)
        elif now - self._drawn >= 0.1 or self._drawn == 0.0:
            self._drawn = now
            filled = int(fraction * 30)
            _sys.stderr.write(
                f"\r{self._labels[phase]:<8} [{'#' * filled}{'.' * (30 - filled)}] "
                f"{int(fraction * 100):3d}%  {now - self._started:.0f}s\x1b[K"
            )
            _sys.stderr.flush()

    def _end_phase(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        elif self._phase is not None:
            _sys.stderr.write("\r\x1b[K")
            _sys.stderr.flush()
        self._phase = None


def _formats(input_format: str, output_format: str, header: bool) -> tuple[int, int, bool]:
    for name, value in (("input_format", input_format), ("output_format", output_format)):
        if value not in _FORMATS:
            raise ValueError(f"{name} must be one of {', '.join(_FORMATS)}, not {value!r}")
    return _FORMATS[input_format], _FORMATS[output_format], bool(header)


def _table_kind(table: _Any) -> _Optional[str]:
    """"pandas" for a pandas DataFrame, "pyarrow" for a pyarrow Table, else None. Neither
    package is needed: an object cannot be one of their tables unless its package is imported."""
    pd = _sys.modules.get("pandas")
    if pd is not None and isinstance(table, pd.DataFrame):
        return "pandas"
    pa = _sys.modules.get("pyarrow")
    if pa is not None and isinstance(table, pa.Table):
        return "pyarrow"
    return None


def _reduce_table(
    kind: str, table: _Any, source: str, target: str, engine: _Engine, options: tuple
) -> tuple[_Any, _Callable[[int], _Any]]:
    """The rows of a labelled edge table whose edges survive: the first row of each surviving
    edge, in the table's order, and the label of each node number. Labels may be of any type the
    table holds."""
    columns = list(table.columns) if kind == "pandas" else table.column_names
    for name in (source, target):
        if name not in columns:
            raise ValueError(f"the table has no column {name!r} (columns: {columns})")
    m = table.shape[0] if kind == "pandas" else table.num_rows
    if kind == "pandas":
        pd = _sys.modules["pandas"]
        labels = pd.concat([table[source], table[target]], ignore_index=True)
        if labels.isna().any():
            raise ValueError(f"the columns {source!r} and {target!r} hold a missing label")
        codes, uniques = pd.factorize(labels, sort=False)
        count = len(uniques)
        label = lambda node: uniques[node]  # noqa: E731
    else:
        pa = _sys.modules["pyarrow"]
        src, dst = table.column(source), table.column(target)
        if src.type != dst.type:
            raise ValueError(
                f"the columns {source!r} and {target!r} must have one type, not {src.type} "
                f"and {dst.type}"
            )
        if src.null_count or dst.null_count:
            raise ValueError(f"the columns {source!r} and {target!r} hold a missing label")
        labels = pa.chunked_array(src.chunks + dst.chunks, type=src.type).combine_chunks()
        encoded = labels.dictionary_encode()
        codes = encoded.indices.to_numpy(zero_copy_only=False)
        count = len(encoded.dictionary)
        label = lambda node: encoded.dictionary[node].as_py()  # noqa: E731
    codes = _np.asarray(codes, dtype=_np.int64)
    if count > _INT32_MAX:
        raise ValueError(f"{count} distinct labels exceed 2**31 - 1 nodes")
    sources, targets = codes[:m], codes[m:]
    kept_s, kept_t = _reduce_edge_arrays(sources, targets, engine, options)
    keys = sources * count + targets
    kept_keys = kept_s.astype(_np.int64) * count + kept_t
    _, first = _np.unique(keys, return_index=True)
    rows = _np.zeros(m, dtype=bool)
    rows[first] = True
    rows &= _np.isin(keys, kept_keys)
    # A condensed component's cycle may join nodes no row joins, and a table answers with rows.
    missing = ~_np.isin(kept_keys, keys)
    if missing.any():
        e = int(_np.flatnonzero(missing)[0])
        raise ValueError(
            f"cycles='condense' keeps the edge {label(int(kept_s[e]))!r} -> "
            f"{label(int(kept_t[e]))!r}, which no row of the table holds; a table's result is "
            "its own rows: pass the edges as an array or a networkx graph instead"
        )
    if kind == "pandas":
        return table.iloc[_np.flatnonzero(rows)], label
    return table.filter(_sys.modules["pyarrow"].array(rows)), label


def _route_option(route: str, routes: dict) -> int:
    if not isinstance(route, str) or route not in routes:
        raise ValueError(f"route must be one of {', '.join(map(repr, routes))}, not {route!r}")
    return routes[route]


def _float32(value: _Any) -> float:
    """``value`` rounded to float32, as the library stores it (overflowing to an infinity). Any
    real number is taken, NaN and infinities included, as a matrix file's cells take them; text
    is not a number here, though ``float()`` would parse it."""
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"text is not a number: {value!r}")
    with _np.errstate(over="ignore"):
        return float(_np.float32(float(value)))


def _threshold(value: _Any, name: str) -> float:
    # Rounded here, so that the library is handed a value that float32 holds exactly: a double
    # first, then float32, as the command line and the file reader round the same text.
    try:
        return _float32(value)
    except (TypeError, ValueError, OverflowError):
        raise TypeError(f"{name} must be a real number, not {value!r}") from None


def _square(array: _Any, what: str, dense: bool = True) -> _np.ndarray:
    """``array`` as a square 2-D array; ``dense`` when the library will get it as a dense matrix,
    which bounds its node count."""
    array = _np.asarray(array)
    if array.ndim != 2:
        raise ValueError(f"{what} must be a 2-D array, not {array.ndim}-D")
    if array.shape[0] != array.shape[1]:
        raise ValueError(f"{what} must be square, not {array.shape[0]} x {array.shape[1]}")
    if dense:
        _check_node_count(array.shape[0])
    return array


def _check_node_count(n: int) -> None:
    if n > _MAX_NODES:
        raise ValueError(f"{n} nodes exceed the limit of {_MAX_NODES} (n*n cells must fit 32 bits)")


def _scipy_sparse(matrix: _Any) -> _Any:
    """Returns scipy.sparse when ``matrix`` is one of its matrices or arrays, else None (scipy
    stays optional: a matrix cannot be scipy's unless the caller has imported scipy)."""
    sp = _sys.modules.get("scipy.sparse")
    return sp if sp is not None and sp.issparse(matrix) else None


def _is_sparse_array(sp: _Any, matrix: _Any) -> bool:
    """Whether ``matrix`` is a scipy sparse *array* (where ``*`` multiplies cell by cell) rather
    than a sparse matrix. scipy before 1.11 has no public base class for them: its arrays there
    derive from the matrix classes and a private ``_sparray``."""
    base = getattr(sp, "sparray", None) or getattr(getattr(sp, "_arrays", None), "_sparray", None)
    return base is not None and isinstance(matrix, base)


def _fspath(path: _Any, role: str) -> bytes:
    try:
        raw = _os.fsencode(path)
    except TypeError:
        raise TypeError(
            f"the {role} path must be str, bytes or os.PathLike, not {type(path).__name__}"
        ) from None
    # The library takes C strings, which would end at the NUL: refused, as os.open refuses it.
    if b"\0" in raw:
        raise ValueError(f"the {role} path has an embedded null byte: {path!r}")
    return raw


def _networkx_digraph(graph: _Any) -> _Any:
    """Returns the networkx module when ``graph`` is one of its graphs, else None.

    networkx stays an optional dependency: an object cannot be a networkx graph unless the
    caller has imported networkx already.
    """
    nx = _sys.modules.get("networkx")
    if nx is None or not isinstance(graph, nx.Graph):
        return None
    if not graph.is_directed():
        raise TypeError("an undirected graph has no edge direction to prune; pass a DiGraph")
    if graph.is_multigraph():
        raise TypeError("multigraphs are not supported; pass a DiGraph")
    return nx


# --- errors ----------------------------------------------------------------------------------


def _os_error(message: str) -> OSError:
    # The library keeps the errno and the file of a failed system call beside its message.
    code, raw_path = _core.last_system_error()
    if not raw_path:
        return OSError(code or _errno.EIO, message)
    path = _os.fsdecode(raw_path)
    what = message[len(path) + 1 :].lstrip() if message.startswith(path + ":") else message
    return OSError(code or _errno.EIO, what, path)


def _check(result: tuple[int, bytes], paths: _Sequence[bytes] = ()) -> None:
    status, raw = result
    if status == 0:
        return
    message = _os.fsdecode(raw) or f"fwprune failed with status {status}"
    if status == _core.ERROR_IO:
        raise _os_error(message)
    if status in (_core.ERROR_FORMAT, _core.ERROR_TOO_LARGE, _core.ERROR_INVALID_ARGUMENT):
        raise ValueError(message)
    if status == _core.ERROR_OUT_OF_MEMORY:
        raise MemoryError(message)
    if status == _core.ERROR_CANCELLED:
        raise KeyboardInterrupt(message)
    raise RuntimeError(message)


# --- transitive reduction --------------------------------------------------------------------


@_shows_progress("reducing")
def transitive_reduction(
    adjacency: _Any,
    *,
    backend: str = "auto",
    threads: int = 0,
    route: str = "auto",
    cycles: str = "drop",
    removed: bool = False,
    progress: _Progress = None,
    source: str = "source",
    target: str = "target",
) -> _Any:
    """Removes every edge that a walk of two or more edges bypasses.

    ``adjacency`` is one of:

    - a square array of any bool or integer dtype (any memory layout), where cell (i, j) is
      non-zero when there is an edge from i to j. Returns a new array of the same shape, bool if
      the input was bool and uint8 (0 or 1) otherwise. The input is not modified.
    - an (m, 2) integer array of edges (source, target), m != 2 (a 2 x 2 array is a matrix; use
      ``transitive_reduction_edges`` for edge arrays of any length): see there.
    - a ``scipy.sparse`` matrix or array: returns the surviving edges in the same format and
      shape, with the values 1 (True for a bool matrix); explicit zeros are not edges.
    - a ``networkx.DiGraph`` with any hashable node labels: returns a new DiGraph with the same
      nodes (and node attributes) and the surviving edges, each with its attributes.
    - a ``pandas.DataFrame`` or a ``pyarrow.Table`` of labelled edges, one row an edge from its
      ``source`` column's label to its ``target`` column's (labels of any type; other columns
      ride along): returns a table of the same type holding, in the input's order, the first
      row of each surviving edge (a DataFrame keeps its index).

    Sparse inputs and graphs are never made into a dense matrix here; ``route`` ("auto",
    "sweeps" or "sparse") says how the library computes the result, "auto" being the faster.
    ``cycles`` and ``removed`` as told in the package's help; with ``removed=True`` the result
    comes as ``(result, removed edges)``, the edges named as the input names its nodes.
    """
    engine = _engine_options(backend, threads, progress)
    route_code = _route_option(route, _REDUCTION_ROUTES)
    cycles_code = _cycles_option(cycles)
    array = None
    kind = _table_kind(adjacency)
    if kind is None and _networkx_digraph(adjacency) is None and _scipy_sparse(adjacency) is None:
        array = _np.asarray(adjacency)
        if array.ndim == 2 and array.shape[1] == 2 and array.shape[0] != 2:
            return transitive_reduction_edges(
                array,
                backend=backend,
                threads=threads,
                route=route,
                cycles=cycles,
                removed=removed,
                progress=progress,
            )
    with _RemovedReport(removed) as report:
        options = (route_code, cycles_code, report.path)
        if kind is not None:
            result, label = _reduce_table(kind, adjacency, source, target, engine, options)
            return report.attach(result, label)
        nx = _networkx_digraph(adjacency)
        if nx is not None:
            result, nodes = _reduce_graph(nx, adjacency, engine, options)
            return report.attach(result, nodes.__getitem__)
        sp = _scipy_sparse(adjacency)
        if sp is not None:
            return report.attach(_reduce_scipy(sp, adjacency, engine, options))
        return report.attach(_reduce_dense(array, engine, options))


def _reduce_dense(array: _Any, engine: _Engine, options: tuple) -> _Any:
    # The library plans the route (and the backend) for a matrix as for every other input. Its
    # matrix call takes at most _MAX_NODES nodes; a larger matrix goes as its edges, which only
    # the sweeps cannot take.
    n = array.shape[0] if array.ndim == 2 else 0
    on_edges = n > _MAX_NODES and options[0] != _core.ROUTE_SWEEPS
    array = _square(array, "the adjacency matrix", dense=not on_edges)
    if array.dtype.kind not in "biu":
        raise ValueError(
            f"the adjacency matrix must have a bool or integer dtype, not {array.dtype}"
        )
    if on_edges:
        rows, columns = _np.nonzero(array)
        sources, targets = _reduce_edge_arrays(rows, columns, engine, options)
        cells = _np.zeros(array.shape, dtype=_np.uint8)
        cells[sources, targets] = 1
    else:
        # != 0 rather than a cast: a cast to uint8 would wrap 256 to 0 and lose the edge.
        cells = _np.ascontiguousarray(array != 0, dtype=_np.uint8)
        _check(_core.reduce_adjacency(cells, *engine, *options))
    return cells.view(bool) if array.dtype.kind == "b" else cells


@_shows_progress("reducing")
def transitive_reduction_edges(
    edges: _Any,
    *,
    backend: str = "auto",
    threads: int = 0,
    route: str = "auto",
    cycles: str = "drop",
    removed: bool = False,
    progress: _Progress = None,
) -> _Any:
    """The transitive reduction of a graph given as an (m, 2) integer array of edges
    (source, target), like the records of an edge-list file: node numbers up to 2**31 - 1, an
    edge with a negative node number skipped, repeats counted once. Returns a (k, 2) array of the
    surviving edges, sorted by source and then target, in the input's dtype. Memory follows the
    edges, not the largest node number. ``cycles`` and ``removed`` as for
    ``transitive_reduction``."""
    engine = _engine_options(backend, threads, progress)
    route_code = _route_option(route, _REDUCTION_ROUTES)
    cycles_code = _cycles_option(cycles)
    array = _np.asarray(edges)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"the edges must be an (m, 2) array, not of shape {array.shape}")
    if array.dtype.kind not in "iu":
        raise ValueError(f"the edges must have an integer dtype, not {array.dtype}")
    with _RemovedReport(removed) as report:
        sources, targets = _reduce_edge_arrays(
            array[:, 0], array[:, 1], engine, (route_code, cycles_code, report.path)
        )
        result = _np.stack([sources, targets], axis=1).astype(array.dtype, copy=False)
        return report.attach(result)


def _reduce_edge_arrays(
    sources: _Any, targets: _Any, engine: _Engine, options: tuple
) -> tuple[_np.ndarray, _np.ndarray]:
    """The surviving edges of the edges sources[e] -> targets[e], as two int32 arrays."""
    sources, targets = _np.asarray(sources), _np.asarray(targets)
    for nodes in (sources, targets):
        if not nodes.size:
            continue
        for extreme in (nodes.max(), nodes.min()):
            if not -_INT32_MAX - 1 <= extreme <= _INT32_MAX:
                raise ValueError(f"node numbers must fit 32 bits; found {extreme}")
    # Copies the library may overwrite with the result.
    sources = _np.array(sources, dtype=_np.int32, order="C")
    targets = _np.array(targets, dtype=_np.int32, order="C")
    status, message, count = _core.reduce_edges(sources, targets, *engine, *options)
    _check((status, message))
    return sources[:count], targets[:count]


def _reduce_scipy(sp: _Any, matrix: _Any, engine: _Engine, options: tuple) -> _Any:
    rows, columns = matrix.shape
    if rows != columns:
        raise ValueError(f"the adjacency matrix must be square, not {rows} x {columns}")
    if rows > _INT32_MAX + 1:
        raise ValueError(f"{rows} nodes exceed 2**31, the most an edge list can number")
    # Repeated entries of a cell add up (a COO or CSR matrix may hold several), and a cell whose
    # sum is zero, like an explicitly stored zero, is no edge.
    coo = matrix.tocoo(copy=True)
    coo.sum_duplicates()
    edge = coo.data != 0
    sources, targets = _reduce_edge_arrays(coo.row[edge], coo.col[edge], engine, options)
    values = _np.ones(sources.size, dtype=bool if matrix.dtype == bool else _np.uint8)
    make = sp.coo_array if _is_sparse_array(sp, matrix) else sp.coo_matrix
    return make((values, (sources, targets)), shape=matrix.shape).asformat(matrix.format)


def _reduce_graph(nx: _Any, graph: _Any, engine: _Engine, options: tuple) -> tuple[_Any, list]:
    """The reduced DiGraph, and the input's nodes in the order the library numbered them."""
    nodes = list(graph.nodes)
    index = {node: i for i, node in enumerate(nodes)}
    count = graph.number_of_edges()
    sources = _np.fromiter((index[u] for u, _ in graph.edges), dtype=_np.int64, count=count)
    targets = _np.fromiter((index[v] for _, v in graph.edges), dtype=_np.int64, count=count)
    sources, targets = _reduce_edge_arrays(sources, targets, engine, options)

    result = nx.DiGraph()
    result.graph.update(graph.graph)
    result.add_nodes_from((node, dict(data)) for node, data in graph.nodes(data=True))
    # A condensed cycle may hold edges the input lacks: they get no attributes.
    result.add_edges_from(
        (nodes[i], nodes[j], dict(graph.edges[nodes[i], nodes[j]]) if graph.has_edge(nodes[i], nodes[j]) else {})
        for i, j in zip(sources.tolist(), targets.tolist())
    )
    return result, nodes


@_shows_progress("reducing")
def transitive_reduction_file(
    input: PathLike,
    output: PathLike,
    *,
    backend: str = "auto",
    threads: int = 0,
    route: str = "auto",
    cycles: str = "drop",
    removed: _Optional[PathLike] = None,
    progress: _Progress = None,
    input_format: str = "auto",
    output_format: str = "auto",
    header: bool = False,
) -> None:
    """Reads the edge list at ``input`` and writes the surviving edges to ``output``: native
    text ("SOURCE word TARGET" records in, "%d edge %d" lines sorted by source, then target, out),
    or labelled TSV, CSV or DOT. The formats go by the files' extensions unless
    ``input_format`` / ``output_format`` ("native", "tsv", "csv", "dot") say otherwise; an output
    whose name tells no format takes a labelled input's. ``header``: the first record of a TSV or
    CSV input is a header line, written back first. ``output`` may name the input; on failure it
    is left as it was. ``route`` and ``cycles`` as for ``transitive_reduction``; ``removed``, when
    given, is the path the report of removed edges goes to (tab-separated, with ``output``: both
    or neither; native edge lists only)."""
    engine = _engine_options(backend, threads, progress)
    route_code = _route_option(route, _REDUCTION_ROUTES)
    cycles_code = _cycles_option(cycles)
    formats = _formats(input_format, output_format, header)
    input_path, output_path = _fspath(input, "input"), _fspath(output, "output")
    paths = [input_path, output_path]
    report = b"" if removed is None else _fspath(removed, "removed-edges report")
    _check(
        _core.reduce_file(
            input_path, output_path, *engine, route_code, cycles_code, report, formats
        ),
        paths + ([report] if report else []),
    )


# --- weakest-link reduction ------------------------------------------------------------------


@_shows_progress("pruning")
def weakest_link_reduction(
    weights: _Any,
    lower: float,
    upper: float,
    *,
    weight: str = "weight",
    backend: str = "auto",
    threads: int = 0,
    route: str = "auto",
    removed: bool = False,
    progress: _Progress = None,
) -> _Any:
    """Replaces every weight above ``lower`` (or negative) that a path through other nodes beats
    on its weakest link, then marks replaced, negative and at-or-above-``upper`` cells absent.

    ``weights`` is a square array of a floating dtype (converted to float32, as the sweeps run in
    single precision; any memory layout). Returns a new float32 array in which every cell holds
    its input value or ``ABSENT`` (2.0). The input is not modified. ``lower`` and ``upper`` are
    rounded to float32 too.

    Given a ``networkx.DiGraph`` instead, each edge's ``weight`` attribute (required, a real
    number with magnitude below 2.0, as 2.0 marks absence) becomes a cell, a pair without an edge
    becomes an absent cell, and a node's diagonal cell holds the weight of its self-loop, or is
    absent when it has none. The diagonal never changes any other cell, so self-loops matter
    only for themselves. Returns a new DiGraph with the same nodes (and node attributes) and an
    edge for every cell that is not absent afterwards, carrying the input edge's attributes with
    ``weight`` set to the cell's float32 value.

    With ``removed=True`` the result comes as ``(result, removed cells)``: a ``RemovedEdge`` for
    every cell that held an edge (was not 2.0) and ended absent, reason "replaced" (``via``: a
    node of a better walk, ``value``: its weakest link), "negative" or "upper" (``value``: the
    cell's weight).
    """
    engine = (*_engine_options(backend, threads, progress), _route_option(route, _WEAKEST_LINK_ROUTES))
    lower = _threshold(lower, "lower")
    upper = _threshold(upper, "upper")
    with _RemovedReport(removed) as report:
        job = (*engine, report.path)
        nx = _networkx_digraph(weights)
        if nx is not None:
            result, nodes = _prune_graph(nx, weights, lower, upper, weight, job)
            return report.attach(result, nodes.__getitem__)

        array = _square(weights, "the weight matrix")
        if array.dtype.kind != "f":
            raise ValueError(f"the weight matrix must have a floating dtype, not {array.dtype}")
        cells = _np.array(array, dtype=_np.float32, order="C", copy=True)
        _check(_core.prune_weights(cells, lower, upper, *job))
        return report.attach(cells)


def _prune_graph(
    nx: _Any,
    graph: _Any,
    lower: float,
    upper: float,
    weight: str,
    engine: tuple[int, int, _Any, int, bytes],
) -> tuple[_Any, list]:
    nodes = list(graph.nodes)
    _check_node_count(len(nodes))
    index = {node: i for i, node in enumerate(nodes)}
    cells = _np.full((len(nodes), len(nodes)), ABSENT, dtype=_np.float32)
    for source, target, data in graph.edges(data=True):
        if weight not in data:
            raise ValueError(f"edge {source!r} -> {target!r} has no {weight!r} attribute")
        given = data[weight]
        try:
            value = _float32(given)
        except (TypeError, ValueError, OverflowError):
            raise ValueError(
                f"edge {source!r} -> {target!r}: {weight!r} is not a number: {given!r}"
            ) from None
        # A magnitude of 2.0 or more (or NaN) would be indistinguishable from, or beaten by, a
        # missing edge, whose cell is 2.0. Checked on the float32 value the cell will hold:
        # 1.99999999 rounds to 2.0.
        if not abs(value) < ABSENT:
            raise ValueError(
                f"edge {source!r} -> {target!r}: {weight!r} is {given!r} ({value!r} as float32); "
                f"weights must have a magnitude below {ABSENT}"
            )
        cells[index[source], index[target]] = value
    _check(_core.prune_weights(cells, lower, upper, *engine))

    result = nx.DiGraph()
    result.graph.update(graph.graph)
    result.add_nodes_from((node, dict(data)) for node, data in graph.nodes(data=True))
    sources, targets = _np.nonzero(cells != ABSENT)
    for i, j in zip(sources.tolist(), targets.tolist()):
        data = dict(graph.edges[nodes[i], nodes[j]])
        data[weight] = float(cells[i, j])
        result.add_edge(nodes[i], nodes[j], **data)
    return result, nodes


@_shows_progress("pruning")
def weakest_link_reduction_file(
    input: PathLike,
    edges: PathLike,
    matrix: PathLike,
    lower: float,
    upper: float,
    *,
    backend: str = "auto",
    threads: int = 0,
    route: str = "auto",
    removed: _Optional[PathLike] = None,
    progress: _Progress = None,
    input_format: str = "auto",
    output_format: str = "auto",
) -> None:
    """Reads the square weight matrix at ``input``, prunes it as ``weakest_link_reduction`` does,
    and writes the processed matrix to ``matrix`` and then the edge list of the cells that are
    not absent (diagonal included) to ``edges`` (native text). The matrices are native text or
    NumPy ``.npy`` (float32 or float64 in, float32 out), by their extensions unless
    ``input_format`` / ``output_format`` ("native", "npy") say otherwise. ``removed``, when given,
    is the path the report of removed cells goes to. On failure no output is created or
    changed."""
    formats = _formats(input_format, output_format, False)
    engine = (*_engine_options(backend, threads, progress), _route_option(route, _WEAKEST_LINK_ROUTES))
    lower = _threshold(lower, "lower")
    upper = _threshold(upper, "upper")
    input_path = _fspath(input, "input")
    edges_path, matrix_path = _fspath(edges, "edge list"), _fspath(matrix, "matrix")
    paths = [input_path, edges_path, matrix_path]
    report = b"" if removed is None else _fspath(removed, "removed-edges report")
    _check(
        _core.weakest_link_file(
            input_path, edges_path, matrix_path, lower, upper, *engine, report, formats
        ),
        paths + ([report] if report else []),
    )
