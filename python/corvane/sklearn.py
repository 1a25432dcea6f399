"""scikit-learn estimators that train a corvane.Model by neuro-evolution.

`EvolutionRegressor` and `EvolutionClassifier` fit in pipelines, grid searches and
cross-validation like any scikit-learn estimator. Each `fit` builds a new `corvane.Model` with
one input per feature, compiles it with the chosen loss and metrics and evolves it on the data;
the fitted model is `model_` and the history dict of the run is `history_`.

Needs scikit-learn (pip install "corvane[examples]").
"""

import math
import numbers

import numpy as np

try:
    from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
    from sklearn.utils.multiclass import check_classification_targets
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as error:
    raise ImportError('corvane.sklearn needs scikit-learn 1.6 or newer: pip install "corvane[examples]"') from error

from corvane._core import Model

__all__ = ["EvolutionClassifier", "EvolutionRegressor"]

# The names that Model.compile knows for the loss and the metrics.
_LOSS_NAMES = ("mse", "mae", "mape")


def _is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _int_parameter(name, value, minimum):
    if not _is_int(value):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}.")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}.")
    return int(value)


def _loss_name(name, value):
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, got {type(value).__name__}.")
    if value not in _LOSS_NAMES:
        known = ", ".join(repr(known) for known in _LOSS_NAMES)
        raise ValueError(f"{name} must be one of {known}, got {value!r}.")
    return value


def _checked_parameters(estimator):
    """The estimator's parameters, checked and converted to what Model and evolve take.

    Runs before any work, so that a parameter out of range fails at once with its name.
    """
    p = estimator.get_params()
    checked = {
        "hidden": _int_parameter("hidden", p["hidden"], 0),
        "pop_size": _int_parameter("pop_size", p["pop_size"], 1),
        "epochs": _int_parameter("epochs", p["epochs"], 0),
        "loss": _loss_name("loss", p["loss"]),
    }
    if not isinstance(p["recurrent"], (bool, np.bool_)):
        raise TypeError(f"recurrent must be a bool, got {type(p['recurrent']).__name__}.")
    checked["recurrent"] = bool(p["recurrent"])
    batch_size = p["batch_size"]
    if not _is_int(batch_size):
        raise TypeError(f"batch_size must be an int, got {type(batch_size).__name__}.")
    if batch_size != -1 and batch_size < 1:
        raise ValueError(f"batch_size must be -1 (one batch of all samples) or at least 1, got {batch_size}.")
    checked["batch_size"] = int(batch_size)
    metrics = p["metrics"]
    # A str is iterable too, but "mae" meant as one metric would read as three unknown ones.
    if isinstance(metrics, str) or not isinstance(metrics, (list, tuple)):
        raise TypeError(f"metrics must be a list or tuple of names such as ('mae',), got {type(metrics).__name__}.")
    checked["metrics"] = [_loss_name("each of metrics", metric) for metric in metrics]
    fraction = p["validation_fraction"]
    if fraction is not None:
        if not isinstance(fraction, numbers.Real) or isinstance(fraction, (bool, np.bool_)):
            raise TypeError(f"validation_fraction must be None or a float, got {type(fraction).__name__}.")
        if not 0.0 < fraction < 1.0:
            raise ValueError(f"validation_fraction must be above 0 and below 1, got {fraction}.")
        fraction = float(fraction)
    checked["validation_fraction"] = fraction
    workers = p["workers"]
    checked["workers"] = None if workers is None else _int_parameter("workers", workers, 1)
    verbose = p["verbose"]
    if not isinstance(verbose, numbers.Integral):
        raise TypeError(f"verbose must be an int, got {type(verbose).__name__}.")
    checked["verbose"] = int(verbose)
    checked["callbacks"] = p["callbacks"]  # evolve checks them, before any work
    checked["seeds"] = _seeds(p["random_state"])
    return checked


def _seeds(random_state):
    """Three 64-bit seeds (the first network, the run, the validation split) from random_state.

    An int always gives the same three; a RandomState or Generator gives new ones on every call
    (it is advanced, as scikit-learn estimators do); None gives fresh ones from the operating
    system.
    """
    if random_state is None:
        sequence = np.random.SeedSequence()
    elif _is_int(random_state):
        if random_state < 0:
            raise ValueError(f"random_state must not be negative, got {random_state}.")
        sequence = np.random.SeedSequence(int(random_state))
    elif isinstance(random_state, np.random.RandomState):
        sequence = np.random.SeedSequence([int(v) for v in random_state.randint(0, 2**32, size=4, dtype=np.uint64)])
    elif isinstance(random_state, np.random.Generator):
        sequence = np.random.SeedSequence([int(v) for v in random_state.integers(0, 2**32, size=4, dtype=np.uint64)])
    else:
        raise TypeError("random_state must be None, an int, a numpy.random.RandomState or a numpy.random.Generator, "
                        f"got {type(random_state).__name__}.")
    return [int(seed) for seed in sequence.generate_state(3, dtype=np.uint64)]


def _split(n_samples, fraction, seed):
    """Indices of the training rows and of the held-back validation rows, in random order."""
    held_back = math.ceil(fraction * n_samples)
    if held_back >= n_samples:
        raise ValueError(f"validation_fraction={fraction} of {n_samples} samples leaves no sample to train on; "
                         "give more samples or a smaller validation_fraction.")
    order = np.random.default_rng(seed).permutation(n_samples)
    return order[held_back:], order[:held_back]


def _as_sequences(rows, recurrent):
    # A recurrent model reads each row as a sequence of one step, so its state starts cleared on
    # every row and no prediction depends on the other rows or their order.
    return rows[:, np.newaxis, :] if recurrent else rows


class _EvolutionEstimator(BaseEstimator):
    """What the regressor and the classifier share: the parameters, the run and the outputs."""

    def __init__(self, *, hidden=0, recurrent=False, pop_size=100, epochs=100, batch_size=-1, loss="mse",
                 metrics=(), validation_fraction=None, callbacks=None, workers=None, random_state=None,
                 verbose=0):
        self.hidden = hidden
        self.recurrent = recurrent
        self.pop_size = pop_size
        self.epochs = epochs
        self.batch_size = batch_size
        self.loss = loss
        self.metrics = metrics
        self.validation_fraction = validation_fraction
        self.callbacks = callbacks
        self.workers = workers
        self.random_state = random_state
        self.verbose = verbose

    def _evolve(self, settings, x, targets):
        """A new model evolved on x (n, features) and targets (n, outputs): (model, history)."""
        inputs, outputs, recurrent = x.shape[1], targets.shape[1], settings["recurrent"]
        model_seed, run_seed, split_seed = settings["seeds"]
        validation_data = None
        if settings["validation_fraction"] is not None:
            train, held_back = _split(len(x), settings["validation_fraction"], split_seed)
            validation_data = (_as_sequences(x[held_back], recurrent), _as_sequences(targets[held_back], recurrent))
            x, targets = x[train], targets[train]
        model = Model(inputs, outputs, inputs + outputs + settings["hidden"], recurrent, seed=model_seed)
        model.compile(loss=settings["loss"], metrics=settings["metrics"])
        history = model.evolve(_as_sequences(x, recurrent), _as_sequences(targets, recurrent), settings["pop_size"],
                               settings["batch_size"], settings["epochs"], validation_data, settings["verbose"],
                               seed=run_seed, workers=settings["workers"], callbacks=settings["callbacks"])
        return model, history

    def _outputs(self, X):
        """The fitted model's outputs for X, one row per sample: (n, outputs)."""
        check_is_fitted(self)
        x = validate_data(self, X, reset=False, dtype=np.float64)
        outputs = self.model_.predict(_as_sequences(x, self.model_.recurrent))
        return outputs[:, 0, :] if outputs.ndim == 3 else outputs

    def _fit(self, X, y, validate):
        """Checks the parameters, then the data (validate gives x and the targets), then evolves.

        The fitted attributes change only when the run succeeds: a failed or interrupted fit
        leaves the estimator as it was.
        """
        settings = _checked_parameters(self)
        before = dict(self.__dict__)
        try:
            x, targets, fitted = validate(X, y)
            model, history = self._evolve(settings, x, targets)
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(before)
            raise
        self.model_ = model
        self.history_ = history
        self.__dict__.update(fitted)
        return self


# The parameters and the fitted attributes that both estimators have, written once and composed
# into their docstrings (what help() shows).
_PARAMETERS_DOC = """
    Parameters
    ----------
    hidden : int, default=0
        Hidden nodes of the first network: the model starts with inputs + outputs + hidden
        nodes, fully connected; evolution adds and removes nodes and connections.
    recurrent : bool, default=False
        Evolve a recurrent network. Each row is a sequence of one step, so the state is cleared
        on every row and connections that carry values to the next step have nothing to carry.
    pop_size : int, default=100
        Networks in the population.
    epochs : int, default=100
        Passes over the training data.
    batch_size : int, default=-1
        Samples per generation; -1 for one batch of all samples.
    loss : {"mse", "mae", "mape"}, default="mse"
        The loss that evolution lowers, between the outputs and the targets.
    metrics : tuple of str, default=()
        Further values recorded in `history_`, from the same names as `loss`.
    validation_fraction : float or None, default=None
        A share of the training rows (rounded up, chosen at random) held back from training
        and measured after every epoch, for the "val_" entries of `history_`.
    callbacks : list or None, default=None
        Callbacks (see corvane.callbacks) passed to `Model.evolve`; each fit runs them.
    workers : int or None, default=None
        Threads that measure candidates; None for all cores. Results do not depend on it.
    random_state : int, numpy.random.RandomState, numpy.random.Generator or None, default=None
        The seed of the first network, the run and the validation split: the same int gives
        the same fitted model. None draws a fresh seed for every fit.
    verbose : int, default=0
        0 silent, 1 a progress line per batch, 2 one line per epoch.
"""

_ATTRIBUTES_DOC = """
    Attributes
    ----------
    model_ : corvane.Model
        The evolved model.
    history_ : dict
        The history dict that `Model.evolve` returned: "loss", each metric, "val_" + each with
        a validation_fraction, one value per epoch.
    n_features_in_ : int
        Number of features seen in fit.
    feature_names_in_ : ndarray of str
        The names of the features, when X had column names (a DataFrame)."""


class EvolutionRegressor(RegressorMixin, _EvolutionEstimator):
    __doc__ = f"""A regressor whose network is found by neuro-evolution (a corvane.Model).
{_PARAMETERS_DOC}{_ATTRIBUTES_DOC}
    n_outputs_ : int
        Number of outputs: the number of columns of a 2-D y, 1 for a 1-D y.

    Notes
    -----
    `predict` returns a 1-D array when y was 1-D in fit, and a 2-D array when it was 2-D.
    """

    def fit(self, X, y):
        """Evolves a new model on X (n_samples, n_features) and y (n_samples,) or (n_samples, n_outputs)."""
        def validate(X, y):
            x, y = validate_data(self, X, y, dtype=np.float64, multi_output=True, y_numeric=True)
            y = np.asarray(y, dtype=np.float64)
            targets = y.reshape(-1, 1) if y.ndim == 1 else y
            return x, targets, {"n_outputs_": targets.shape[1], "_y_ndim": y.ndim}

        return self._fit(X, y, validate)

    def predict(self, X):
        """The model's outputs for X: (n_samples,) when y was 1-D in fit, else (n_samples, n_outputs)."""
        outputs = self._outputs(X)
        return outputs[:, 0] if self._y_ndim == 1 else outputs

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        return tags


class EvolutionClassifier(ClassifierMixin, _EvolutionEstimator):
    __doc__ = f"""A classifier whose network is found by neuro-evolution (a corvane.Model).

    The model has one output per class, trained towards one-hot targets; with two classes it
    has a single output, trained towards 0 for the first class and 1 for the second.
{_PARAMETERS_DOC}{_ATTRIBUTES_DOC}
    classes_ : ndarray
        The class labels, sorted; output i stands for classes_[i].

    Notes
    -----
    `predict` gives the class of the largest output (two classes: the second class when the
    output is above 0.5). `predict_proba` normalises the outputs to sum to 1: each output
    below 0 counts as 0 and each row is divided by its sum; a row whose outputs are all 0 or
    below gets the softmax of its outputs instead. With two classes this is (1 - o, o) for the
    output o clipped to [0, 1]. `decision_function` gives the outputs themselves (two classes:
    the output minus 0.5), so that its sign or largest entry gives the predicted class.
    """

    def fit(self, X, y):
        """Evolves a new model on X (n_samples, n_features) and the class labels y (n_samples,)."""
        def validate(X, y):
            x, y = validate_data(self, X, y, dtype=np.float64)
            check_classification_targets(y)  # refuses continuous and mixed labels
            classes = np.unique(y)  # sorted, of y's own type
            if len(classes) < 2:
                raise ValueError(f"y holds only 1 class ({classes.tolist()[0]!r}); a classifier needs at least 2 classes.")
            index = np.searchsorted(classes, y)
            if len(classes) == 2:
                targets = index.astype(np.float64).reshape(-1, 1)
            else:
                targets = np.zeros((len(y), len(classes)))
                targets[np.arange(len(y)), index] = 1.0
            return x, targets, {"classes_": classes}

        return self._fit(X, y, validate)

    def _scores(self, X):
        """One score per class and sample, the largest for the predicted class: (n, classes)."""
        outputs = self._outputs(X)
        return np.hstack([1.0 - outputs, outputs]) if len(self.classes_) == 2 else outputs

    def decision_function(self, X):
        """The outputs for X: (n_samples, n_classes), or (n_samples,) the output minus 0.5 for two classes."""
        outputs = self._outputs(X)
        return outputs[:, 0] - 0.5 if len(self.classes_) == 2 else outputs

    def predict(self, X):
        """The class of the largest output for each sample of X."""
        scores = self._scores(X)  # first: it raises NotFittedError before classes_ is read
        return self.classes_[np.argmax(scores, axis=1)]

    def predict_proba(self, X):
        """Class probabilities for X, (n_samples, n_classes): the outputs normalised to sum to 1."""
        scores = self._scores(X)
        positive = np.maximum(scores, 0.0)
        totals = positive.sum(axis=1, keepdims=True)
        shifted = np.exp(scores - scores.max(axis=1, keepdims=True))
        softmax = shifted / shifted.sum(axis=1, keepdims=True)
        return np.where(totals > 0.0, positive / np.where(totals > 0.0, totals, 1.0), softmax)
