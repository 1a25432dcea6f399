"""Optimizers."""

from typing import Any, Tuple

from typing_extensions import disjoint_base

__all__ = ["Alpha"]

@disjoint_base
class Alpha:
    """The first optimizer in Corvane."""

    # The mutation rate is stored and kept, but not readable from Python and not used by the
    # evolution.
    def __init__(self, mutation_rate: float = 0.5) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
