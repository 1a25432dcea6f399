import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane
from reference import Reference

NOT_COMPILED = "You must compile your model before evaluating. Use `model.compile(loss)`."
ALL = ["mse", "mae", "mape"]

def loss(name, target, prediction):
    terms = {
        "mse": lambda t, p: (t - p) ** 2,
        "mae": lambda t, p: abs(t - p),
        "mape": lambda t, p: 100 * abs(t - p) / (abs(t) + 1e-10),
    }[name]
    return sum(terms(float(t), p) for t, p in zip(target, prediction)) / len(target)


def expected_losses(model, x, y, names):
    """The losses as evaluate defines them: one term per row (feed-forward), per series at its last
    step (recurrent, one target per series) or per step (recurrent, a target per step)."""
    reference = Reference(model)
    sums = [0.0] * len(names)
    terms = 0
    for b in range(len(x)):
        if model.recurrent:
            reference.clear()
            outputs = [reference.step(sample) for sample in x[b]]
            pairs = [(y[b][0], outputs[-1])] if len(y[b]) == 1 else list(zip(y[b], outputs))
        else:
            pairs = [(y[b], reference.step(x[b]))]
        for target, prediction in pairs:
            sums = [s + loss(name, target, prediction) for s, name in zip(sums, names)]
        terms += len(pairs)
    return [s / terms for s in sums]


@pytest.fixture
def rng():
    return np.random.default_rng(7)


def compiled(*args, loss="mse", metrics=("mae", "mape")):
    model = corvane.Model(*args)
    model.compile(loss=loss, metrics=list(metrics))
    return model


# ---- values ----


@pytest.mark.parametrize(
    "model_args, x_shape, y_shape",
    [
        ((2, 1, 5), (6, 2), (6, 1)),
        ((3, 2, 7), (4, 3), (4, 2)),
        ((2, 1, 4, True), (3, 10, 2), (3, 1, 1)),
        ((2, 2, 5, True), (3, 6, 2), (3, 6, 2)),
        ((1, 1, 3, True), (2, 1, 1), (2, 1, 1)),
    ],
    ids=["feed_forward", "feed_forward_two_outputs", "many_to_one", "many_to_many", "one_step"],
)
def test_values_match_the_reference(rng, model_args, x_shape, y_shape):
    model = compiled(*model_args)
    x = rng.normal(size=x_shape)
    y = rng.uniform(0.5, 2.0, size=y_shape)
    assert model.evaluate(x, y) == pytest.approx(expected_losses(model, x, y, ALL), rel=1e-12)


def test_recurrent_state_starts_cleared_for_every_series(rng):
    model = compiled(2, 1, 4, True)
    x = rng.normal(size=(3, 10, 2))
    y = rng.uniform(size=(3, 1, 1))
    first = model.evaluate(x, y)
    assert model.evaluate(x, y) == first  # the state left by the first call is not used
    # the three series measured alone give the same terms
    alone = [model.evaluate(x[i : i + 1], y[i : i + 1]) for i in range(3)]
    assert first == pytest.approx(np.mean(alone, axis=0).tolist(), rel=1e-12)


@pytest.mark.parametrize(
    "kwargs, names",
    [
        ({"loss": "mse", "metrics": ["mae"]}, ["mse", "mae"]),
        ({"loss": "mae", "metrics": ["mse", "mae"]}, ["mae", "mse", "mae"]),
        ({"loss": "", "metrics": ["mape"]}, ["mape"]),
    ],
    ids=["loss_and_metric", "repeated", "metric_only"],
)
def test_one_value_per_compiled_code(rng, kwargs, names):
    model = corvane.Model(2, 1, 4)
    model.compile(**kwargs)
    x, y = rng.normal(size=(5, 2)), rng.uniform(0.5, 2.0, size=(5, 1))
    result = model.evaluate(x, y)
    assert all(type(value) is float for value in result)
    assert result == pytest.approx(expected_losses(model, x, y, names), rel=1e-12)


def test_compiled_without_losses_gives_an_empty_list():
    model = corvane.Model(2, 1)
    model.compile()
    assert model.evaluate(np.zeros((3, 2)), np.zeros((3, 1))) == []


def test_integer_arrays_are_converted(rng):
    model = compiled(2, 1, 4)
    x = rng.integers(-3, 4, size=(6, 2))
    y = rng.integers(1, 3, size=(6, 1)).astype(np.int32)
    assert model.evaluate(x, y) == model.evaluate(x.astype(float), y.astype(float))


@pytest.mark.parametrize(
    "view",
    [
        lambda a: a[:, ::2],
        lambda a: a[::-1, ::-2],
        lambda a: np.asfortranarray(a[:, ::2]),
        lambda a: a[:, ::2].astype(np.float32),
    ],
    ids=["strided", "reversed", "fortran", "float32_strided"],
)
def test_arrays_are_read_through_their_strides(rng, view):
    model = compiled(2, 1, 4)
    wide = rng.normal(size=(6, 4))
    y = rng.uniform(0.5, 2.0, size=(6, 1))
    x = view(wide)
    assert model.evaluate(x, y) == model.evaluate(np.ascontiguousarray(x, dtype=float), y)


def test_recurrent_arrays_are_read_through_their_strides(rng):
    model = compiled(2, 1, 4, True)
    x = rng.normal(size=(4, 10, 3))[:, ::-2, 1:]
    y = rng.uniform(0.5, 2.0, size=(1, 4, 1)).transpose(1, 0, 2)
    assert model.evaluate(x, y) == model.evaluate(x.copy(), y.copy())


@pytest.mark.parametrize(
    "model_args, x_shape, y_shape",
    [
        ((2, 1), (0, 2), (0, 1)),
        ((2, 1, -1, True), (2, 0, 2), (2, 1, 1)),
        ((2, 1, -1, True), (2, 0, 2), (2, 0, 1)),
        ((2, 1, -1, True), (0, 3, 2), (0, 3, 1)),
    ],
    ids=["no_samples", "no_steps_one_target", "no_steps_no_targets", "no_series"],
)
def test_nothing_to_measure_gives_nan(model_args, x_shape, y_shape):
    model = compiled(*model_args)
    result = model.evaluate(np.zeros(x_shape), np.zeros(y_shape))
    assert len(result) == 3 and all(math.isnan(value) for value in result)


def zero_model(outputs):
    """A Model(1, outputs) that predicts exactly 0 for the input 0 (every output relu with a
    negative bias), found by drawing models."""
    for _ in range(5000):
        model = corvane.Model(1, outputs)
        if Reference(model).step([0.0]) == [0.0] * outputs:
            return model
    pytest.fail("no model predicting 0 found")


def test_exact_values_of_one_sample():
    model = zero_model(2)
    model.compile(loss="mse", metrics=["mae", "mape"])
    # targets (1, 3) against predictions (0, 0)
    assert model.evaluate(np.zeros((1, 1)), np.array([[1.0, 3.0]])) == [
        (1.0 + 9.0) / 2,
        (1.0 + 3.0) / 2,
        (100 / (1 + 1e-10) + 300 / (3 + 1e-10)) / 2,
    ]


def test_mean_over_samples():
    model = zero_model(1)
    model.compile(loss="mae", metrics=["mse"])
    assert model.evaluate(np.zeros((4, 1)), np.array([[1.0], [-2.0], [0.0], [5.0]])) == [8.0 / 4, 30.0 / 4]


# ---- errors ----


def test_compiled_check_comes_before_the_arguments():
    model = corvane.Model(2, 1)
    for args in [(), (1, 2), (np.zeros((1, 2)), np.zeros((1, 1)))]:
        with pytest.raises(RuntimeError) as raised:
            model.evaluate(*args)
        assert str(raised.value) == NOT_COMPILED


@pytest.mark.parametrize(
    "args",
    [(), (np.zeros((1, 2)),), ([[0.0, 0.0]], np.zeros((1, 1))), (np.zeros((1, 2)), 0.0),
     (np.zeros((1, 2)), np.zeros((1, 1)), np.zeros(1))],
    ids=["none", "one", "list_x", "float_y", "three"],
)
def test_arguments_are_two_arrays(args):
    with pytest.raises(TypeError):
        compiled(2, 1).evaluate(*args)


def test_keywords_are_refused():
    with pytest.raises(TypeError):
        compiled(2, 1).evaluate(x=np.zeros((1, 2)), y=np.zeros((1, 1)))


FF = (2, 1)
RNN = (2, 1, -1, True)


@pytest.mark.parametrize(
    "model_args, x_shape, y_shape, message",
    [
        pytest.param(FF, (4, 3), (4, 1),
                     "Expected last dimension of x (3) to be equal to the number of inputs of the model (2)",
                     id="ff_inputs"),
        pytest.param(FF, (4, 2), (5, 1),
                     "Expected second dimension of x (4) to be equal to the second dimension of y (5)",
                     id="ff_samples"),
        pytest.param(FF, (4, 2), (4, 2),
                     "Expected last dimension of y (2) to be equal to the number of outputs of the model (1)",
                     id="ff_outputs"),
        pytest.param(FF, (4, 2), (4, 1, 1), "Expected x and y to have the same number of dimensions.",
                     id="ff_ranks_differ"),
        pytest.param(FF, (2,), (1,), "Expected x and y to have 2 dimensions (n_samples, n_inputs or n_outputs)",
                     id="ff_one_dimension"),
        pytest.param(FF, (1, 4, 2), (1, 4, 1),
                     "Expected x and y to have 2 dimensions (n_samples, n_inputs or n_outputs)", id="ff_three"),
        pytest.param(FF, (5, 3), (4, 1),
                     "Expected second dimension of x (5) to be equal to the second dimension of y (4)",
                     id="ff_samples_first"),
        pytest.param(RNN, (4, 2), (4, 1),
                     "Expected x and y to have 3 dimensions (n_series, n_samples, n_inputs or n_outputs)",
                     id="rnn_two_dimensions"),
        pytest.param(RNN, (3, 10, 2), (4, 1, 1),
                     "Expected first dimension of x (3) to be equal to the first dimension of y (4)",
                     id="rnn_series"),
        pytest.param(RNN, (3, 10, 2), (3, 5, 1),
                     "Expected second dimension of x (10) to be equal to the second dimension of y (5) or (1)",
                     id="rnn_steps"),
        pytest.param(RNN, (3, 1, 2), (3, 5, 1),
                     "Expected second dimension of x (1) to be equal to the second dimension of y (5) or (1)",
                     id="rnn_steps_one_input_step"),
        pytest.param(RNN, (3, 10, 3), (3, 1, 1),
                     "Expected last dimension of x (3) to be equal to the number of inputs of the model (2)",
                     id="rnn_inputs"),
        pytest.param(RNN, (3, 10, 2), (3, 10, 2),
                     "Expected last dimension of y (2) to be equal to the number of outputs of the model (1)",
                     id="rnn_outputs"),
        pytest.param(RNN, (3, 10, 2), (3, 1), "Expected x and y to have the same number of dimensions.",
                     id="rnn_ranks_differ"),
    ],
)
def test_shape_errors(model_args, x_shape, y_shape, message):
    with pytest.raises(ValueError) as raised:
        compiled(*model_args).evaluate(np.zeros(x_shape), np.zeros(y_shape))
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "x, y",
    [
        (np.array([["a", "b"]]), np.zeros((1, 1))),
        (np.zeros((1, 2)), np.zeros((1, 1), dtype=complex)),
        (np.array([[1.0, 2.0]], dtype=object), np.zeros((1, 1))),
        (np.zeros((1, 2)), np.zeros((1, 1), dtype="datetime64[s]")),
    ],
    ids=["str", "complex", "object", "datetime"],
)
def test_element_types_that_do_not_convert_raise_numpys_error(x, y):
    with pytest.raises(TypeError) as raised:
        compiled(2, 1).evaluate(x, y)
    assert "float64" in str(raised.value)


def test_unconvertible_arrays_and_empty_networks_do_not_crash():
    # Run apart: reading such data as doubles could end the process.
    script = textwrap.dedent(
        """
        import numpy as np, corvane
        model = corvane.Model(2, 1)
        model.compile(loss="mse")
        for x in [np.array([[None, None]], dtype=object), np.array([[b"ab", b"cd"]]), np.zeros((1, 2), "V8")]:
            try:
                model.evaluate(x, np.zeros((1, 1)))
            except TypeError:
                pass
            else:
                raise SystemExit("accepted " + repr(x))
        # A model that never went through __init__ has a network of no nodes.
        bare = corvane.Model.__new__(corvane.Model)
        bare.compile(loss="mse")
        result = bare.evaluate(np.zeros((2, 0)), np.zeros((2, 0)))
        assert len(result) == 1 and result[0] != result[0], result
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


def test_docstring():
    assert corvane.Model.evaluate.__text_signature__ == "($self, x, y, /)"
    assert corvane.Model.evaluate.__doc__.endswith(
        "Evaluate the the network based on the compiled losses/metrics on a given dataset."
    )


def test_foreign_byte_order_and_unaligned_doubles_are_read_as_their_values():
    model = corvane.Model(2, 1, 4)
    model.compile(loss="mse", metrics=["mae"])
    x = np.random.default_rng(3).uniform(-1, 1, size=(6, 2))
    y = np.random.default_rng(4).uniform(-1, 1, size=(6, 1))
    expected = model.evaluate(x, y)
    swapped = x.astype(">f8")
    raw = np.zeros(x.size * 8 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(x.shape)
    unaligned[...] = x
    assert not unaligned.flags.aligned
    assert model.evaluate(swapped, y.astype(">f8")) == expected
    assert model.evaluate(unaligned, y) == expected
