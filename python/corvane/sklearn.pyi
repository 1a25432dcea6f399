"""scikit-learn estimators that train a corvane.Model by neuro-evolution."""

from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt
# scikit-learn ships no type information: its base classes are Any here.
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin  # type: ignore[import-untyped]
from typing_extensions import Self

from . import Model

__all__ = ["EvolutionClassifier", "EvolutionRegressor"]

_RandomState = Union[int, np.random.RandomState, np.random.Generator, None]
# Anything scikit-learn turns into a 2-D array of numbers: an array, a list of rows, a DataFrame.
_ArrayLike = Any
_Float64Array = npt.NDArray[np.float64]

class _EvolutionEstimator(BaseEstimator):
    hidden: int
    recurrent: bool
    pop_size: int
    epochs: int
    batch_size: int
    loss: str
    metrics: Sequence[str]
    validation_fraction: Optional[float]
    callbacks: Optional[List[Any]]
    workers: Optional[int]
    random_state: _RandomState
    verbose: int
    model_: Model
    history_: Dict[str, List[float]]
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]
    def __init__(
        self,
        *,
        hidden: int = 0,
        recurrent: bool = False,
        pop_size: int = 100,
        epochs: int = 100,
        batch_size: int = -1,
        loss: str = "mse",
        metrics: Sequence[str] = (),
        validation_fraction: Optional[float] = None,
        callbacks: Optional[List[Any]] = None,
        workers: Optional[int] = None,
        random_state: _RandomState = None,
        verbose: int = 0,
    ) -> None: ...

class EvolutionRegressor(RegressorMixin, _EvolutionEstimator):
    n_outputs_: int
    def __sklearn_tags__(self) -> Any: ...
    # Made by scikit-learn's metadata routing for score(X, y, sample_weight=None).
    def set_score_request(self, *, sample_weight: Union[bool, None, str] = ...) -> Self: ...
    def fit(self, X: _ArrayLike, y: _ArrayLike) -> Self:
        """Evolves a new model on X (n_samples, n_features) and y (n_samples,) or (n_samples, n_outputs)."""
    def predict(self, X: _ArrayLike) -> _Float64Array:
        """The model's outputs for X: (n_samples,) when y was 1-D in fit, else (n_samples, n_outputs)."""

class EvolutionClassifier(ClassifierMixin, _EvolutionEstimator):
    classes_: npt.NDArray[Any]
    # Made by scikit-learn's metadata routing for score(X, y, sample_weight=None).
    def set_score_request(self, *, sample_weight: Union[bool, None, str] = ...) -> Self: ...
    def fit(self, X: _ArrayLike, y: _ArrayLike) -> Self:
        """Evolves a new model on X (n_samples, n_features) and the class labels y (n_samples,)."""
    def decision_function(self, X: _ArrayLike) -> _Float64Array:
        """The outputs for X: (n_samples, n_classes), or (n_samples,) the output minus 0.5 for two classes."""
    def predict(self, X: _ArrayLike) -> npt.NDArray[Any]:
        """The class of the largest output for each sample of X."""
    def predict_proba(self, X: _ArrayLike) -> _Float64Array:
        """Class probabilities for X, (n_samples, n_classes): the outputs normalised to sum to 1."""
