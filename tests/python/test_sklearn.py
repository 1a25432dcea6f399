"""The scikit-learn estimators: scikit-learn's own estimator checks, the parameters and their
errors, the shapes and the class handling, seeds, and the use in pipelines, grid searches and
cross-validation."""
import copy
import inspect
import os
import pickle
import struct

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")

from sklearn.base import clone  # noqa: E402
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

import corvane  # noqa: E402
from corvane.sklearn import EvolutionClassifier, EvolutionRegressor  # noqa: E402

SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
skip_if_sanitized = pytest.mark.skipif(SANITIZED, reason="hundreds of fits; the unit tests cover the module there")

RNG = np.random.default_rng(3)
X = RNG.normal(size=(40, 3))
Y_REG = X @ np.array([0.5, -0.25, 0.1]) + 0.2
Y_CLS = np.where(X[:, 0] > 0.3, 2, np.where(X[:, 1] > 0, 1, 0))
SMALL = dict(pop_size=10, epochs=5, random_state=0)


@skip_if_sanitized
@pytest.mark.parametrize("estimator", [EvolutionRegressor(), EvolutionClassifier()], ids=["regressor", "classifier"])
def test_passes_scikit_learns_estimator_checks(estimator):
    # With the default parameters, as users get them: the checks also ask for a good score on
    # easy data (R^2 above 0.5, accuracy above 0.83).
    check_estimator(estimator)


# --- errors, before any work --------------------------------------------------------------------

def with_value(array, row, column, value):
    changed = np.array(array, dtype=float)
    changed[row, column] = value
    return changed


DATA_ERRORS = [
    ("nan-in-X", EvolutionRegressor, with_value(X, 3, 1, np.nan), Y_REG, "Input X contains NaN"),
    ("inf-in-X", EvolutionClassifier, with_value(X, 0, 0, np.inf), Y_CLS, "Input X contains infinity"),
    ("nan-in-y", EvolutionRegressor, X, with_value(Y_REG[:, None], 5, 0, np.nan)[:, 0], "Input y contains NaN"),
    ("inf-in-2d-y", EvolutionRegressor, X, with_value(Y_REG[:, None], 5, 0, -np.inf), "Input y contains infinity"),
    ("X-1d", EvolutionRegressor, X[:, 0], Y_REG, "Expected 2D array, got 1D array"),
    ("X-3d", EvolutionClassifier, X.reshape(40, 3, 1), Y_CLS, "Found array with dim 3"),
    ("y-3d", EvolutionRegressor, X, Y_REG.reshape(40, 1, 1), "dim 3"),
    ("y-too-short", EvolutionRegressor, X, Y_REG[:-1], "inconsistent numbers of samples"),
    ("no-samples", EvolutionClassifier, X[:0], Y_CLS[:0], "0 sample"),
    ("no-features", EvolutionRegressor, X[:, :0], Y_REG, "0 feature"),
    ("one-class", EvolutionClassifier, X, np.full(40, "b"), r"y holds only 1 class \('b'\); a classifier needs at least 2"),
    ("continuous-labels", EvolutionClassifier, X, Y_REG, "Unknown label type"),
    ("mixed-labels", EvolutionClassifier, X[:4], np.array([1, "a", 2, "b"], dtype=object), "Unknown label type"),
]


@pytest.mark.parametrize("make, x, y, message", [case[1:] for case in DATA_ERRORS], ids=[c[0] for c in DATA_ERRORS])
def test_bad_data_is_refused_with_value_error(make, x, y, message):
    with pytest.raises(ValueError, match=message):
        make(**SMALL).fit(x, y)


PARAMETER_ERRORS = [
    ("hidden", -1, ValueError, "hidden must be at least 0, got -1."),
    ("hidden", 1.5, TypeError, "hidden must be an int, got float."),
    ("recurrent", 1, TypeError, "recurrent must be a bool, got int."),
    ("pop_size", 0, ValueError, "pop_size must be at least 1, got 0."),
    ("pop_size", True, TypeError, "pop_size must be an int, got bool."),
    ("epochs", -1, ValueError, "epochs must be at least 0, got -1."),
    ("batch_size", 0, ValueError, "batch_size must be -1 (one batch of all samples) or at least 1, got 0."),
    ("batch_size", -2, ValueError, "batch_size must be -1 (one batch of all samples) or at least 1, got -2."),
    ("batch_size", "32", TypeError, "batch_size must be an int, got str."),
    ("loss", "MSE", ValueError, "loss must be one of 'mse', 'mae', 'mape', got 'MSE'."),
    ("loss", None, TypeError, "loss must be a str, got NoneType."),
    ("metrics", "mae", TypeError, "metrics must be a list or tuple of names such as ('mae',), got str."),
    ("metrics", ("mae", "rmse"), ValueError, "each of metrics must be one of 'mse', 'mae', 'mape', got 'rmse'."),
    ("validation_fraction", 1.0, ValueError, "validation_fraction must be above 0 and below 1, got 1.0."),
    ("validation_fraction", 0, ValueError, "validation_fraction must be above 0 and below 1, got 0."),
    ("validation_fraction", "0.1", TypeError, "validation_fraction must be None or a float, got str."),
    ("workers", 0, ValueError, "workers must be at least 1, got 0."),
    ("random_state", -1, ValueError, "random_state must not be negative, got -1."),
    ("random_state", "seed", TypeError, "random_state must be None, an int, a numpy.random.RandomState or a "
                                        "numpy.random.Generator, got str."),
    ("verbose", None, TypeError, "verbose must be an int, got NoneType."),
]


@pytest.mark.parametrize("make", [EvolutionRegressor, EvolutionClassifier], ids=["regressor", "classifier"])
@pytest.mark.parametrize("name, value, kind, message", PARAMETER_ERRORS,
                         ids=[f"{case[0]}={case[1]!r}" for case in PARAMETER_ERRORS])
def test_parameters_out_of_range_are_refused_by_name(make, name, value, kind, message):
    estimator = make(**{**SMALL, name: value})  # __init__ and set_params take anything
    assert estimator.get_params()[name] is value
    # The parameters are checked before the data: these data are bad too.
    with pytest.raises(kind) as raised:
        estimator.fit(X[:, 0], None)
    assert str(raised.value) == message


def test_validation_fraction_that_leaves_no_training_sample():
    with pytest.raises(ValueError, match=r"validation_fraction=0.5 of 1 samples leaves no sample to train on"):
        EvolutionRegressor(validation_fraction=0.5, **SMALL).fit(X[:1], Y_REG[:1])


def test_failed_fit_leaves_the_fitted_estimator_as_it_was():
    estimator = EvolutionRegressor(**SMALL).fit(X, Y_REG)
    before = dict(estimator.__dict__)
    predictions = estimator.predict(X)
    with pytest.raises(ValueError, match="Input X contains NaN"):
        estimator.fit(with_value(X[:, :2], 0, 0, np.nan), Y_REG)
    assert estimator.__dict__ == before
    assert estimator.n_features_in_ == 3
    np.testing.assert_array_equal(estimator.predict(X), predictions)


def test_callbacks_are_passed_to_evolve():
    from corvane.callbacks import Callback

    class EpochsSeen(Callback):
        def __init__(self):
            super().__init__()
            self.epochs = []

        def on_epoch_end(self, epoch, logs=None):
            self.epochs.append((epoch, sorted(logs)))

    seen = EpochsSeen()
    EvolutionRegressor(callbacks=[seen], pop_size=10, epochs=3, validation_fraction=0.25, random_state=0).fit(X, Y_REG)
    assert seen.epochs == [(epoch, ["loss", "val_loss"]) for epoch in range(3)]


def documented(docstring, section):
    """The names listed in a numpydoc section ("Parameters", "Attributes") of a docstring."""
    lines = inspect.cleandoc(docstring).splitlines()
    start = lines.index(section) + 2  # after the title and its underline
    names = []
    for line in lines[start:]:
        if line and not line.startswith(" ") and " : " not in line:
            break  # the next section's title
        if " : " in line and not line.startswith(" "):
            names.append(line.split(" : ")[0])
    return names


@pytest.mark.parametrize("make, own_attributes", [
    (EvolutionRegressor, ["n_outputs_"]),
    (EvolutionClassifier, ["classes_"]),
], ids=["regressor", "classifier"])
def test_help_lists_every_parameter_and_fitted_attribute_once(make, own_attributes):
    doc = make.__doc__
    assert sorted(documented(doc, "Parameters")) == sorted(make().get_params())
    assert sorted(documented(doc, "Attributes")) == sorted(
        ["model_", "history_", "n_features_in_", "feature_names_in_"] + own_attributes)
    assert "Notes" in inspect.cleandoc(doc).splitlines()


# --- the regressor --------------------------------------------------------------------------------

@pytest.mark.parametrize("y, shape, outputs", [
    (Y_REG, (40,), 1),
    (Y_REG[:, None], (40, 1), 1),
    (np.column_stack([Y_REG, -Y_REG, 2 * Y_REG]), (40, 3), 3),
], ids=["1d", "one-column", "three-columns"])
def test_regressor_predictions_follow_the_shape_of_y(y, shape, outputs):
    estimator = EvolutionRegressor(**SMALL).fit(X, y)
    assert estimator.model_.inputs == 3 and estimator.model_.outputs == outputs
    assert estimator.n_outputs_ == outputs
    prediction = estimator.predict(X)
    assert prediction.shape == shape
    np.testing.assert_array_equal(prediction.reshape(40, outputs), estimator.model_.predict(X))


def test_model_starts_with_the_hidden_nodes_and_history_holds_every_key():
    estimator = EvolutionRegressor(hidden=4, epochs=0, random_state=1).fit(X, Y_REG)
    assert estimator.model_.size == 3 + 1 + 4
    estimator = EvolutionRegressor(pop_size=10, epochs=6, metrics=("mae", "mape"), validation_fraction=0.25,
                                   random_state=1).fit(X, Y_REG)
    assert list(estimator.history_) == ["loss", "mae", "mape", "val_loss", "val_mae", "val_mape"]
    assert all(len(values) == 6 for values in estimator.history_.values())


def test_validation_rows_are_held_back_from_training():
    # With one batch the model ends as the member whose loss on the training rows is the last
    # "loss", and "val_loss" is its loss on the held-back rows: 30 and 10 rows of the 40.
    estimator = EvolutionRegressor(pop_size=10, epochs=3, validation_fraction=0.25, random_state=4).fit(X, Y_REG)
    model = estimator.model_
    model.compile(loss="mse")
    everything = model.evaluate(X, Y_REG[:, None])[0]
    history = estimator.history_
    assert np.isclose(everything, (30 * history["loss"][-1] + 10 * history["val_loss"][-1]) / 40)
    assert not np.isclose(history["loss"][-1], history["val_loss"][-1])


def test_recurrent_model_reads_each_row_on_its_own():
    estimator = EvolutionRegressor(recurrent=True, hidden=2, **SMALL).fit(X, Y_REG)
    assert estimator.model_.recurrent
    forwards = estimator.predict(X)
    np.testing.assert_array_equal(estimator.predict(X[::-1])[::-1], forwards)
    np.testing.assert_array_equal(estimator.predict(X[5:6]), forwards[5:6])


# --- the classifier -------------------------------------------------------------------------------

@pytest.mark.parametrize("labels", [
    np.array(["cat", "dog"]),
    np.array([-1, 1]),
    np.array([False, True]),
    np.array(["x", "y", "z"], dtype=object),
    np.array([1.0, 10.0, 20.0, 40.0]),
], ids=["str", "negative-int", "bool", "object", "float"])
def test_classifier_takes_labels_of_any_type(labels):
    index = np.arange(40) % len(labels)
    x = X + index[:, None]  # separable
    estimator = EvolutionClassifier(pop_size=20, epochs=20, random_state=0).fit(x, labels[index])
    np.testing.assert_array_equal(estimator.classes_, np.sort(labels))
    assert estimator.model_.outputs == (1 if len(labels) == 2 else len(labels))
    prediction = estimator.predict(x)
    assert prediction.dtype == labels.dtype and set(prediction) <= set(labels)
    proba = estimator.predict_proba(x)
    assert proba.shape == (40, len(labels))
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    np.testing.assert_array_equal(estimator.classes_[proba.argmax(axis=1)], prediction)


def cv_bytes(inputs, outputs, records):
    """A feed-forward network of linear nodes with zero biases and the given connections."""
    n = inputs + outputs
    data = struct.pack("<iiiB", n, inputs, outputs, 0)
    data += struct.pack("<%dd" % n, *([0.0] * n)) + struct.pack("<%di" % n, *([3] * n))
    for record in records:
        data += struct.pack("<iid", *record)
    return data


def classifier_with_outputs_equal_to_inputs(tmp_path, classes):
    """A fitted classifier whose model copies its inputs to its outputs: X gives the outputs."""
    inputs = 1 if classes == 2 else classes
    estimator = EvolutionClassifier(epochs=0, random_state=0).fit(X[:, :inputs], np.arange(40) % classes)
    path = tmp_path / "identity.cv"
    path.write_bytes(cv_bytes(inputs, inputs, [(i, inputs + i, 1.0) for i in range(inputs)]))
    estimator.model_ = corvane.load(str(path))
    return estimator


# outputs of the model -> predict_proba, predict (class index), decision_function
BINARY = [
    ([0.3], [0.7, 0.3], 0, -0.2),
    ([0.5], [0.5, 0.5], 0, 0.0),
    ([0.75], [0.25, 0.75], 1, 0.25),
    ([1.4], [0.0, 1.0], 1, 0.9),
    ([-0.2], [1.0, 0.0], 0, -0.7),
]
MULTICLASS = [
    ([0.5, 0.25, 0.25], [0.5, 0.25, 0.25], 0),
    ([0.2, 0.6, 1.2], [0.1, 0.3, 0.6], 2),
    ([1.0, -0.5, 1.0], [0.5, 0.0, 0.5], 0),
    ([2.0, 0.0, -7.0], [1.0, 0.0, 0.0], 0),
    ([-1.0, -2.0, -3.0], list(np.exp([-1.0, -2.0, -3.0]) / np.exp([-1.0, -2.0, -3.0]).sum()), 0),
    ([-3.0, -2.0, 0.0], list(np.exp([-3.0, -2.0, 0.0]) / np.exp([-3.0, -2.0, 0.0]).sum()), 2),
]


def test_binary_outputs_to_probabilities_classes_and_decisions(tmp_path):
    estimator = classifier_with_outputs_equal_to_inputs(tmp_path, 2)
    x = np.array([row[0] for row in BINARY])
    np.testing.assert_allclose(estimator.predict_proba(x), [row[1] for row in BINARY])
    np.testing.assert_array_equal(estimator.predict(x), [row[2] for row in BINARY])
    np.testing.assert_allclose(estimator.decision_function(x), [row[3] for row in BINARY])


def test_multiclass_outputs_to_probabilities_classes_and_decisions(tmp_path):
    estimator = classifier_with_outputs_equal_to_inputs(tmp_path, 3)
    x = np.array([row[0] for row in MULTICLASS])
    np.testing.assert_allclose(estimator.predict_proba(x), [row[1] for row in MULTICLASS])
    np.testing.assert_array_equal(estimator.predict(x), [row[2] for row in MULTICLASS])
    np.testing.assert_array_equal(estimator.decision_function(x), x)


def test_classifier_targets_are_one_hot_or_zero_one():
    # After one epoch of one batch the model is the member whose loss on the targets is the
    # epoch's loss: measured on one-hot (or 0/1) targets it is the same.
    for classes in (2, 3):
        y = np.arange(40) % classes
        estimator = EvolutionClassifier(pop_size=5, epochs=1, random_state=2).fit(X, y)
        targets = y[:, None].astype(float) if classes == 2 else np.eye(classes)[y]
        model = estimator.model_
        model.compile(loss="mse")
        assert np.isclose(model.evaluate(X, targets)[0], estimator.history_["loss"][0])


# --- seeds and threads ----------------------------------------------------------------------------

def fitted(**parameters):
    estimator = EvolutionRegressor(pop_size=10, epochs=8, batch_size=10, validation_fraction=0.2, **parameters)
    return estimator.fit(X, Y_REG)


def outcome(estimator):
    return estimator.predict(X).tobytes(), estimator.history_


def test_same_random_state_same_fit_for_any_worker_count():
    first = outcome(fitted(random_state=5))
    assert outcome(fitted(random_state=5, workers=1)) == first
    assert outcome(fitted(random_state=5, workers=2)) == first
    assert outcome(fitted(random_state=np.random.RandomState(5))) == outcome(fitted(random_state=np.random.RandomState(5)))
    assert outcome(fitted(random_state=np.random.default_rng(5))) == outcome(fitted(random_state=np.random.default_rng(5)))
    assert outcome(fitted(random_state=6)) != first


def test_a_random_state_object_is_advanced_by_each_fit():
    state = np.random.RandomState(0)
    estimator = EvolutionRegressor(pop_size=10, epochs=3, random_state=state)
    first = outcome(estimator.fit(X, Y_REG))
    assert outcome(estimator.fit(X, Y_REG)) != first
    assert estimator.random_state is state
    assert outcome(EvolutionRegressor(pop_size=10, epochs=3).fit(X, Y_REG)) != first  # None: fresh seeds


# --- pickling and copies --------------------------------------------------------------------------

@pytest.mark.parametrize("make, y", [(EvolutionRegressor, Y_REG), (EvolutionClassifier, Y_CLS)],
                         ids=["regressor", "classifier"])
def test_fitted_estimator_survives_pickle_and_deepcopy(make, y):
    estimator = make(metrics=("mae",), **SMALL).fit(X, y)
    for again in (pickle.loads(pickle.dumps(estimator)), copy.deepcopy(estimator)):
        assert again.model_ is not estimator.model_
        np.testing.assert_array_equal(again.predict(X), estimator.predict(X))
        assert again.history_ == estimator.history_ and again.n_features_in_ == 3
        assert again.get_params() == estimator.get_params()
    unfitted = pickle.loads(pickle.dumps(clone(estimator)))
    assert not hasattr(unfitted, "model_")


# --- scikit-learn's tools -------------------------------------------------------------------------

def test_feature_names_are_kept_from_a_dataframe():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(X, columns=["age", "dose", "weight"])
    estimator = EvolutionRegressor(**SMALL).fit(frame, Y_REG)
    np.testing.assert_array_equal(estimator.feature_names_in_, ["age", "dose", "weight"])
    with pytest.warns(UserWarning, match="X does not have valid feature names"):
        np.testing.assert_array_equal(estimator.predict(frame), estimator.predict(X))
    with pytest.raises(ValueError, match="feature names should match"):
        estimator.predict(frame.rename(columns={"dose": "height"}))
    assert not hasattr(EvolutionRegressor(**SMALL).fit(X, Y_REG), "feature_names_in_")


def test_pipeline_with_a_scaler_and_cross_val_score():
    pipeline = make_pipeline(StandardScaler(), EvolutionClassifier(pop_size=20, epochs=20, random_state=0))
    scores = cross_val_score(pipeline, X * 100 + 7, Y_CLS, cv=KFold(4, shuffle=True, random_state=0))
    assert scores.shape == (4,)
    assert np.all((scores >= 0) & (scores <= 1))
    assert scores.mean() > 0.5  # three classes: chance is about a third


@skip_if_sanitized
def test_grid_search_in_two_processes():
    search = GridSearchCV(EvolutionRegressor(pop_size=10, epochs=10, random_state=0),
                          {"hidden": [0, 2], "loss": ["mse", "mae"]}, cv=3, n_jobs=2)
    search.fit(X, Y_REG)
    assert search.best_params_["hidden"] in (0, 2) and search.best_params_["loss"] in ("mse", "mae")
    assert np.all(np.isfinite(search.cv_results_["mean_test_score"]))
    # The refit model is the one a fit in this process gives.
    alone = EvolutionRegressor(pop_size=10, epochs=10, random_state=0, **search.best_params_).fit(X, Y_REG)
    np.testing.assert_array_equal(search.predict(X), alone.predict(X))
