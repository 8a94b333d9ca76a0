"""Prune dense directed graphs with Floyd-Warshall sweeps, on a GPU or on the CPU.

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
one is usable), ``threads`` (CPU threads, 0 for all) and ``progress``: ``True`` shows a bar on
standard error while the job runs (with tqdm when it is installed, as plain text otherwise, and
nothing when standard error is not a terminal); a callable is called as ``progress(phase,
fraction)`` with phase "read", "sweeps" or "write" and the fraction of that phase done, from 0 to
1, never going back. An exception it raises ends its reports and is raised when the job returns.
The GIL is released while the sweeps run, so several threads may call in at once.

Errors: ``ValueError`` for bad arguments and malformed files, ``OSError`` (with ``filename``
set) when a file cannot be read or written, ``MemoryError`` when the matrix does not fit, and
``RuntimeError`` when the device or the library fails.
"""

from __future__ import annotations

import errno as _errno
import operator as _operator
import os as _os
import sys as _sys
import time as _time
from typing import Any, Callable, Optional, Sequence, Union

import numpy as _np

from . import _core

__all__ = [
    "transitive_reduction",
    "transitive_reduction_file",
    "weakest_link_reduction",
    "weakest_link_reduction_file",
    "default_backend",
    "ABSENT",
]

__version__: str = _core.version()

#: The value of a cell that holds no edge, in weight matrices and in the files.
ABSENT = 2.0

PathLike = Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]

_BACKENDS = {
    "auto": _core.BACKEND_AUTO,
    "gpu": _core.BACKEND_GPU,
    "cpu": _core.BACKEND_CPU,
    "emulated": _core.BACKEND_EMULATED,
}
_BACKEND_NAMES = {code: name for name, code in _BACKENDS.items()}

_INT32_MAX = 2**31 - 1
# The library's limit (n*n cells must fit 32 bits), checked here too so that an oversized input
# is refused before it is copied.
_MAX_NODES = 46340

# The library reports a failed system call with the C library's text for errno; the same C
# library gives us the texts, so the number can be recovered.
_ERRNO_BY_TEXT = {_os.strerror(code): code for code in sorted(_errno.errorcode, reverse=True)}


def default_backend() -> str:
    """The backend that ``backend="auto"`` resolves to in this process: "gpu" or "cpu"."""
    return _BACKEND_NAMES[_core.default_backend()]


# --- arguments -------------------------------------------------------------------------------


_Progress = Union[bool, Callable[[str, float], Any], None]


def _engine_options(backend: str, threads: int, progress: _Progress = None) -> tuple[Any, ...]:
    if not (progress is None or isinstance(progress, bool) or callable(progress)):
        raise TypeError(f"progress must be a bool or a callable, not {type(progress).__name__}")
    if not isinstance(backend, str) or backend not in _BACKENDS:
        raise ValueError(
            f"backend must be one of {', '.join(map(repr, _BACKENDS))}, not {backend!r}"
        )
    if isinstance(threads, bool):
        raise TypeError("threads must be an int, not bool")
    threads = _operator.index(threads)
    if not 0 <= threads <= _INT32_MAX:
        raise ValueError(f"threads must be between 0 and {_INT32_MAX}, not {threads}")
    return _BACKENDS[backend], threads, progress


def _run(function: Callable[..., Any], *arguments: Any, engine: tuple[Any, ...]) -> Any:
    """Calls a _core function with the engine options, showing a bar if asked to."""
    backend, threads, progress = engine
    if progress is True:
        reduces = function in (_core.reduce_adjacency, _core.reduce_file)
        with _ProgressBar("reducing" if reduces else "pruning") as bar:
            return function(*arguments, backend, threads, bar.report if bar.shown else None)
    return function(*arguments, backend, threads, progress or None)


class _ProgressBar:
    """A progress bar on standard error, through tqdm when it is installed; nothing when standard
    error is not a terminal."""

    def __init__(self, work: str) -> None:
        self._labels = {"read": "reading", "sweeps": work, "write": "writing"}
        stream = _sys.stderr
        self.shown = stream is not None and hasattr(stream, "isatty") and stream.isatty()
        self._phase: Optional[str] = None
        self._bar: Any = None
        self._started = 0.0
        self._drawn = 0.0
        try:
            from tqdm import tqdm

            self._tqdm: Any = tqdm
        except ImportError:
            self._tqdm = None

    def __enter__(self) -> "_ProgressBar":
        return self

    def __exit__(self, *exc: Any) -> None:
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


def _threshold(value: Any, name: str) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, not {value!r}") from None


def _square(array: Any, what: str) -> _np.ndarray:
    array = _np.asarray(array)
    if array.ndim != 2:
        raise ValueError(f"{what} must be a 2-D array, not {array.ndim}-D")
    if array.shape[0] != array.shape[1]:
        raise ValueError(f"{what} must be square, not {array.shape[0]} x {array.shape[1]}")
    _check_node_count(array.shape[0])
    return array


def _check_node_count(n: int) -> None:
    if n > _MAX_NODES:
        raise ValueError(f"{n} nodes exceed the limit of {_MAX_NODES} (n*n cells must fit 32 bits)")


def _fspath(path: Any, role: str) -> bytes:
    try:
        return _os.fsencode(path)
    except TypeError:
        raise TypeError(
            f"the {role} path must be str, bytes or os.PathLike, not {type(path).__name__}"
        ) from None


def _networkx_digraph(graph: Any) -> Any:
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


def _os_error(message: str, paths: list[bytes]) -> OSError:
    # Messages read "PATH: what: strerror" (or "PATH:LINE: ..."); the longest matching path wins,
    # as one path may be a prefix of another.
    for raw in sorted(paths, key=len, reverse=True):
        path = _os.fsdecode(raw)
        if message.startswith(path + ":"):
            what = message[len(path) + 1 :].lstrip()
            code = _ERRNO_BY_TEXT.get(what.rsplit(": ", 1)[-1], _errno.EIO)
            return OSError(code, what, path)
    return OSError(_errno.EIO, message)


def _check(result: tuple[int, bytes], paths: Sequence[bytes] = ()) -> None:
    status, raw = result
    if status == 0:
        return
    message = _os.fsdecode(raw) or f"fwprune failed with status {status}"
    if status == _core.ERROR_IO:
        raise _os_error(message, list(paths))
    if status in (_core.ERROR_FORMAT, _core.ERROR_TOO_LARGE, _core.ERROR_INVALID_ARGUMENT):
        raise ValueError(message)
    if status == _core.ERROR_OUT_OF_MEMORY:
        raise MemoryError(message)
    raise RuntimeError(message)


# --- transitive reduction --------------------------------------------------------------------


def transitive_reduction(
    adjacency: Any, *, backend: str = "auto", threads: int = 0, progress: _Progress = None
) -> Any:
    """Removes every edge that a walk of two or more edges bypasses.

    ``adjacency`` is a square array of any bool or integer dtype (any memory layout), where cell
    (i, j) is non-zero when there is an edge from i to j. Returns a new array of the same shape,
    bool if the input was bool and uint8 (0 or 1) otherwise. The input is not modified.

    Given a ``networkx.DiGraph`` instead, returns a new DiGraph with the same nodes (and node
    attributes) and the surviving edges, each with its attributes.
    """
    engine = _engine_options(backend, threads, progress)
    nx = _networkx_digraph(adjacency)
    if nx is not None:
        return _reduce_graph(nx, adjacency, engine)

    array = _square(adjacency, "the adjacency matrix")
    if array.dtype.kind not in "biu":
        raise ValueError(
            f"the adjacency matrix must have a bool or integer dtype, not {array.dtype}"
        )
    # != 0 rather than a cast: a cast to uint8 would wrap 256 to 0 and lose the edge.
    cells = _np.ascontiguousarray(array != 0, dtype=_np.uint8)
    _check(_run(_core.reduce_adjacency, cells, engine=engine))
    return cells.view(bool) if array.dtype.kind == "b" else cells


def _reduce_graph(nx: Any, graph: Any, engine: tuple[Any, ...]) -> Any:
    nodes = list(graph.nodes)
    _check_node_count(len(nodes))
    index = {node: i for i, node in enumerate(nodes)}
    cells = _np.zeros((len(nodes), len(nodes)), dtype=_np.uint8)
    for source, target in graph.edges:
        cells[index[source], index[target]] = 1
    _check(_run(_core.reduce_adjacency, cells, engine=engine))

    result = nx.DiGraph()
    result.graph.update(graph.graph)
    result.add_nodes_from((node, dict(data)) for node, data in graph.nodes(data=True))
    sources, targets = _np.nonzero(cells)
    result.add_edges_from(
        (nodes[i], nodes[j], dict(graph.edges[nodes[i], nodes[j]]))
        for i, j in zip(sources.tolist(), targets.tolist())
    )
    return result


def transitive_reduction_file(
    input: PathLike,
    output: PathLike,
    *,
    backend: str = "auto",
    threads: int = 0,
    progress: _Progress = None,
) -> None:
    """Reads the edge list at ``input`` ("SOURCE word TARGET" records) and writes the surviving
    edges to ``output`` as "%d edge %d" lines sorted by source, then target. ``output`` may name
    the input; on failure it is left as it was."""
    engine = _engine_options(backend, threads, progress)
    paths = [_fspath(input, "input"), _fspath(output, "output")]
    _check(_run(_core.reduce_file, *paths, engine=engine), paths)


# --- weakest-link reduction ------------------------------------------------------------------


def weakest_link_reduction(
    weights: Any,
    lower: float,
    upper: float,
    *,
    weight: str = "weight",
    backend: str = "auto",
    threads: int = 0,
    progress: _Progress = None,
) -> Any:
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
    """
    engine = _engine_options(backend, threads, progress)
    lower = _threshold(lower, "lower")
    upper = _threshold(upper, "upper")
    nx = _networkx_digraph(weights)
    if nx is not None:
        return _prune_graph(nx, weights, lower, upper, weight, engine)

    array = _square(weights, "the weight matrix")
    if array.dtype.kind != "f":
        raise ValueError(f"the weight matrix must have a floating dtype, not {array.dtype}")
    cells = _np.array(array, dtype=_np.float32, order="C", copy=True)
    _check(_run(_core.prune_weights, cells, lower, upper, engine=engine))
    return cells


def _prune_graph(
    nx: Any, graph: Any, lower: float, upper: float, weight: str, engine: tuple[Any, ...]
) -> Any:
    nodes = list(graph.nodes)
    _check_node_count(len(nodes))
    index = {node: i for i, node in enumerate(nodes)}
    cells = _np.full((len(nodes), len(nodes)), ABSENT, dtype=_np.float32)
    for source, target, data in graph.edges(data=True):
        if weight not in data:
            raise ValueError(f"edge {source!r} -> {target!r} has no {weight!r} attribute")
        value = data[weight]
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise ValueError(
                f"edge {source!r} -> {target!r}: {weight!r} is not a number: {value!r}"
            ) from None
        # A magnitude of 2.0 or more (or NaN) would be indistinguishable from, or beaten by, a
        # missing edge, whose cell is 2.0.
        if not abs(value) < ABSENT:
            raise ValueError(
                f"edge {source!r} -> {target!r}: {weight!r} is {value!r}; "
                f"weights must have a magnitude below {ABSENT}"
            )
        cells[index[source], index[target]] = value
    _check(_run(_core.prune_weights, cells, lower, upper, engine=engine))

    result = nx.DiGraph()
    result.graph.update(graph.graph)
    result.add_nodes_from((node, dict(data)) for node, data in graph.nodes(data=True))
    sources, targets = _np.nonzero(cells != ABSENT)
    for i, j in zip(sources.tolist(), targets.tolist()):
        data = dict(graph.edges[nodes[i], nodes[j]])
        data[weight] = float(cells[i, j])
        result.add_edge(nodes[i], nodes[j], **data)
    return result


def weakest_link_reduction_file(
    input: PathLike,
    edges: PathLike,
    matrix: PathLike,
    lower: float,
    upper: float,
    *,
    backend: str = "auto",
    threads: int = 0,
    progress: _Progress = None,
) -> None:
    """Reads the square weight matrix at ``input``, prunes it as ``weakest_link_reduction`` does,
    and writes the processed matrix to ``matrix`` and then the edge list of the cells that are
    not absent (diagonal included) to ``edges``. On failure no output is created or changed."""
    engine = _engine_options(backend, threads, progress)
    lower = _threshold(lower, "lower")
    upper = _threshold(upper, "upper")
    paths = [_fspath(input, "input"), _fspath(edges, "edge list"), _fspath(matrix, "matrix")]
    _check(_run(_core.weakest_link_file, *paths, lower, upper, engine=engine), paths)
