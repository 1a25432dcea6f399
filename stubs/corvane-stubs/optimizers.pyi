"""Optimizers."""

class Alpha:
    """The first optimizer in Corvane."""

    def __init__(self, mutation_rate: float = 0.5) -> None: ...
