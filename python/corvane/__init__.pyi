"""Corvane allows training models through neuro-evolution."""

from typing import Any, Callable, Dict, List, Optional, Protocol, SupportsFloat, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

from . import callbacks as callbacks
from . import optimizers as optimizers

__all__ = ["Genome", "Model", "__version__", "callbacks", "from_keras", "load", "optimizers"]

__version__: str

# Any NumPy array; the module converts the elements to float64 (integers and booleans too).
_Array = npt.NDArray[Any]
_Float64Array = npt.NDArray[np.float64]

class _NodeData(TypedDict):
    bias: float
    activation: str  # "sigmoid", "tanh", "relu" or "linear"

class _ConnectionData(TypedDict):
    weight: float

# (index, {"bias": ..., "activation": ...})
_Node = Tuple[int, _NodeData]
# (source, target, {"weight": ...})
_Connection = Tuple[int, int, _ConnectionData]
# "loss", each metric, "val_loss", "val_" + each metric and "size": one value per epoch
_History = Dict[str, List[float]]

# What evolve and func_evolve call: corvane.callbacks.Callback or any object with these methods.
class _Callback(Protocol):
    def on_train_begin(self, logs: Optional[Dict[str, Any]] = ...) -> None: ...
    def on_epoch_end(self, epoch: int, logs: Optional[Dict[str, Any]] = ...) -> None: ...
    def on_train_end(self, logs: Optional[Dict[str, Any]] = ...) -> None: ...

@disjoint_base
class Model:
    """A Corvane model that can be evolved on datasets and fitness functions."""

    @property
    def size(self) -> int:
        """Total number of nodes in the model (including inputs and outputs)."""
    @property
    def inputs(self) -> int:
        """The number of inputs of the model."""
    @property
    def outputs(self) -> int:
        """The number of outputs of the model."""
    @property
    def recurrent(self) -> bool:
        """Returns whether the network is recurrent or not."""
    @recurrent.setter
    def recurrent(self, value: bool) -> None: ...
    @property
    def stop_training(self) -> bool:
        """Set to True by a callback to end evolve or func_evolve after the current epoch."""
    @stop_training.setter
    def stop_training(self, value: object) -> None: ...
    def __init__(
        self, inputs: int, outputs: int, size: int = -1, recurrent: bool = False, *, seed: Optional[int] = None
    ) -> None: ...
    def evolve(
        self,
        x_train: _Array,
        y_train: _Array,
        pop_size: int = 100,
        batch_size: int = -1,
        epochs: int = 100,
        validation_data: Optional[Tuple[_Array, _Array]] = None,
        verbose: int = 1,
        *,
        seed: Optional[int] = None,
        workers: Optional[int] = None,
        callbacks: Optional[List[_Callback]] = None,
    ) -> _History:
        """Evolves the network on a given dataset."""
    def func_evolve(
        self,
        train_func: Callable[[List[Genome]], _Array],
        pop_size: int = 100,
        epochs: int = 100,
        verbose: int = 1,
        validation_func: Optional[Callable[[Genome], SupportsFloat]] = None,
        *,
        seed: Optional[int] = None,
        workers: Optional[int] = None,
        callbacks: Optional[List[_Callback]] = None,
    ) -> _History:
        """Evolves the network on a given fitness function."""
    def predict(self, x: _Array, /) -> _Float64Array:
        """Predict the the outputs for a given set of samples."""
    def evaluate(self, x: _Array, y: _Array, /) -> List[float]:
        """Evaluate the the network based on the compiled losses/metrics on a given dataset."""
    def compile(
        self,
        optimizer: Union[optimizers.Alpha, str] = "alpha",
        loss: str = "",
        metrics: List[str] = [],
        monitors: List[str] = [],
    ) -> None:
        """Configure the losses, metrics and monitors for evolution. For `model.evolve_func`, losses and metrics are optional."""
    def get_nodes(self) -> List[_Node]:
        """Returns a list of nodes contained in the network."""
    def get_connections(self) -> List[_Connection]:
        """Returns a list of connections contained in the network."""
    def to_keras(self) -> Any:
        """Convert the Corvane model to a Keras model."""
    def save(self, path: str, /) -> None:
        """Saves the model using the '.cv' format."""
    def clear(self) -> None:
        """Clears the recurrent state of the model, preparing it for a new sequence of inputs."""
    def summary(self) -> None:
        """Prints a table of the nodes of the network (index, role, activation, bias, in-degree) with its totals."""
    def to_dot(self) -> str:
        """Returns the network as Graphviz DOT text: nodes in ranks by depth, activation on each node, edge width and colour by weight, recurrent and self connections dashed."""
    # pickle, copy.copy and copy.deepcopy: the network, the mode and the compile settings.
    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...], Tuple[Any, ...]]: ...
    def __setstate__(self, state: Tuple[Any, ...], /) -> None: ...

@disjoint_base
class Genome:
    """A lightweight Corvane model that can only be used for predictions."""

    @property
    def inputs(self) -> int:
        """The number of inputs of the model."""
    @property
    def outputs(self) -> int:
        """The number of outputs of the model."""
    @property
    def recurrent(self) -> bool:
        """If the model is recurrent or not."""
    def __init__(self, inputs: int, outputs: int, recurrent: bool = False) -> None: ...
    def predict(self, x: _Array, /) -> _Float64Array:
        """Predict the the outputs for a given set of samples."""
    def clear(self) -> None:
        """Clears the recurrent state of the genome, preparing it for a new sequence of inputs."""
    def to_dot(self) -> str:
        """Returns the network as Graphviz DOT text: nodes in ranks by depth, activation on each node, edge width and colour by weight, recurrent and self connections dashed."""
    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...], Tuple[Any, ...]]: ...
    def __setstate__(self, state: Tuple[Any, ...], /) -> None: ...

def load(path: str, /) -> Model:
    """Load a model saved in the '.cv' format."""

def from_keras(keras_model: Any, /) -> Model:
    """Convert a Keras model to a Corvane model. This only works for Keras models that have been exported from Corvane using `model.to_keras()` with unmodified architecture."""
