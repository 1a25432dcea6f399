"""Optimizers."""

from typing_extensions import disjoint_base

@disjoint_base
class Alpha:
    """The first optimizer in Corvane."""

    # The mutation rate is stored but not readable from Python.
    def __init__(self, mutation_rate: float = 0.5) -> None: ...
