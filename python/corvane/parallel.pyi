"""Fitness evaluation across processes and machines."""

from types import TracebackType
from typing import Any, Callable, List, Optional, Type

import numpy as np
import numpy.typing as npt

from . import Genome

__all__ = ["ProcessEvaluator", "RayEvaluator", "RemoteTraceback"]

# fitness(genome) returns a loss (lower is better): a float, an int or a NumPy number.
_Fitness = Callable[[Genome], Any]

class RemoteTraceback(Exception):
    """The traceback of an exception raised by the fitness function in a worker."""

    index: int
    text: str
    def __init__(self, index: int, text: str) -> None: ...

class ProcessEvaluator:
    """Evaluates genomes with a fitness function on a pool of local worker processes."""

    workers: int
    def __init__(self, fitness: _Fitness, workers: Optional[int] = None, *, start_method: Optional[str] = None) -> None: ...
    def start(self) -> None:
        """Starts the worker processes (done by the first call when not done before)."""
    def close(self) -> None:
        """Stops the worker processes; a later call starts new ones."""
    def __enter__(self) -> "ProcessEvaluator": ...
    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None: ...
    def __del__(self) -> None: ...
    def __call__(self, genomes: List[Genome]) -> npt.NDArray[np.float64]: ...

class RayEvaluator:
    """Evaluates genomes with a fitness function on Ray actors, one CPU each."""

    workers: Optional[int]
    def __init__(self, fitness: _Fitness, workers: Optional[int] = None) -> None: ...
    def start(self) -> None:
        """Creates the actors (done by the first call when not done before); starts a local Ray
        with ray.init() when Ray is not initialised."""
    def close(self) -> None:
        """Stops the actors; a later call creates new ones."""
    def __enter__(self) -> "RayEvaluator": ...
    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None: ...
    def __call__(self, genomes: List[Genome]) -> npt.NDArray[np.float64]: ...
