# Types of the compiled module fwprune._core (python/src/module.cpp). Each job returns the
# library's status code and, on failure, its error message.
import numpy as np
from numpy.typing import NDArray

def reduce_adjacency(adjacency: NDArray[np.uint8], backend: int, threads: int) -> tuple[int, bytes]: ...
def prune_weights(
    weights: NDArray[np.float32], lower: float, upper: float, backend: int, threads: int
) -> tuple[int, bytes]: ...
def reduce_file(input: bytes, output: bytes, backend: int, threads: int) -> tuple[int, bytes]: ...
def weakest_link_file(
    input: bytes, edges: bytes, matrix: bytes, lower: float, upper: float, backend: int, threads: int
) -> tuple[int, bytes]: ...
def version() -> str: ...
def default_backend() -> int: ...

BACKEND_AUTO: int
BACKEND_GPU: int
BACKEND_CPU: int
BACKEND_EMULATED: int
ERROR_INVALID_ARGUMENT: int
ERROR_IO: int
ERROR_FORMAT: int
ERROR_TOO_LARGE: int
ERROR_OUT_OF_MEMORY: int
ERROR_DEVICE: int
ERROR_INTERNAL: int
