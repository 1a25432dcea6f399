"""Optimizers."""

from typing import Any, Dict, Optional, Tuple

from typing_extensions import Literal, disjoint_base

__all__ = ["Alpha", "Genetic"]

@disjoint_base
class Alpha:
    """The first optimizer in Corvane."""

    # The mutation rate is stored and kept, but not readable from Python and not used by the
    # evolution.
    def __init__(self, mutation_rate: float = 0.5) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...

@disjoint_base
class Genetic:
    # Every setting is read-only; see the class docstring for meanings and ranges.
    @property
    def perturb_probability(self) -> float: ...
    @property
    def activations_probability(self) -> float: ...
    @property
    def add_node_probability(self) -> float: ...
    @property
    def remove_node_probability(self) -> float: ...
    @property
    def remove_connection_probability(self) -> float: ...
    @property
    def add_connection_probability(self) -> float: ...
    @property
    def perturb_size(self) -> float: ...
    @property
    def perturb_mode(self) -> Literal["relative", "absolute"]: ...
    @property
    def perturb_floor(self) -> float: ...
    @property
    def activation_change_probability(self) -> float: ...
    @property
    def tournament_size(self) -> int: ...
    @property
    def crossover_share(self) -> float: ...
    @property
    def first_population(self) -> Literal["mutants", "random"]: ...
    @property
    def random_scale(self) -> float: ...
    @property
    def random_bias_scale(self) -> float: ...
    @property
    def mutations(self) -> int: ...
    @property
    def output_activation(self) -> Optional[Literal["sigmoid", "tanh", "relu", "linear"]]: ...
    def __init__(
        self,
        *,
        perturb_probability: float = 0.5,
        activations_probability: float = 0.3,
        add_node_probability: float = 0.3,
        remove_node_probability: float = 0.1,
        remove_connection_probability: float = 0.05,
        add_connection_probability: float = 0.05,
        perturb_size: float = 0.2,
        perturb_mode: Literal["relative", "absolute"] = "relative",
        perturb_floor: float = 0.0,
        activation_change_probability: float = 0.05,
        tournament_size: int = 4,
        crossover_share: float = 0.5,
        first_population: Literal["mutants", "random"] = "random",
        random_scale: float = 5.0,
        random_bias_scale: float = 0.2,
        mutations: int = 2,
        output_activation: Optional[Literal["sigmoid", "tanh", "relu", "linear"]] = "linear",
    ) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    def __setstate__(self, state: Tuple[Dict[str, Any], Optional[Dict[str, Any]]], /) -> None: ...
