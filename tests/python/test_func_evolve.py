import math

import numpy as np
import pytest

import corvane

XOR_X = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=float)
XOR_Y = np.array([0, 1, 1, 0], dtype=float)


def xor_loss(genomes):
    return np.array([np.mean((g.predict(XOR_X)[:, 0] - XOR_Y) ** 2) for g in genomes])


def snapshot(model):
    return model.size, model.get_nodes(), model.get_connections()


def test_genome_list_and_result_shapes():
    model = corvane.Model(2, 1)
    calls = []

    def score(genomes):
        calls.append(genomes)
        assert all(type(g) is corvane.Genome and g.inputs == 2 and g.outputs == 1 for g in genomes)
        return np.ones((len(genomes), 3), dtype=np.int32)

    history = model.func_evolve(score, pop_size=10, epochs=2, verbose=0)
    assert [len(c) for c in calls] == [20, 20]
    assert history == {"loss": [1.0, 1.0]}


def test_uncompiled_model_with_validation_and_monitors():
    model = corvane.Model(2, 1)
    history = model.func_evolve(xor_loss, pop_size=5, epochs=3, verbose=0, validation_func=lambda g: 0.5)
    assert list(history) == ["loss", "val_loss"] and history["val_loss"] == [0.5] * 3
    model.compile(monitors=["size"])
    history = model.func_evolve(xor_loss, pop_size=5, epochs=3, verbose=0)
    assert list(history) == ["loss", "size"] and history["size"][-1] == model.size


def test_zero_epochs_never_call_train_func():
    model = corvane.Model(2, 1, 4)
    before = snapshot(model)

    def never(genomes):
        raise AssertionError("called")

    assert model.func_evolve(never, epochs=0) == {"loss": []}
    assert snapshot(model) == before


@pytest.mark.parametrize("value", [np.nan, np.inf], ids=["nan", "inf"])
def test_an_epoch_without_a_finite_loss_records_nan(value, capfd):
    # Like evolve: no member has a loss below the largest double, so the epoch has no loss.
    model = corvane.Model(2, 1)
    history = model.func_evolve(lambda g: np.full(len(g), value), pop_size=4, epochs=2, verbose=1)
    assert all(math.isnan(v) for v in history["loss"])
    assert "loss: nan" in capfd.readouterr().out


def test_nan_for_some_genomes_never_reported():
    model = corvane.Model(2, 1)
    history = model.func_evolve(
        lambda g: np.array([np.nan if i % 3 else 1.0 + i for i in range(len(g))]), pop_size=6, epochs=5, verbose=0
    )
    assert not any(math.isnan(v) for v in history["loss"])


def test_recurrent_genomes_start_from_a_cleared_state():
    model = corvane.Model(2, 1, 4, True)
    checked = []

    def score(genomes):
        for g in genomes:
            first = g.predict(np.array([1.0, 1.0]))
            g.predict(np.array([5.0, -5.0]))  # state left behind must not reach the population
            g.clear()
            np.testing.assert_array_equal(g.predict(np.array([1.0, 1.0])), first)
            checked.append(g)
        return np.arange(len(genomes), dtype=float)

    model.func_evolve(score, pop_size=3, epochs=3, verbose=0)
    assert len(checked) == 18


@pytest.mark.parametrize(
    "train_func, validation_func, error, message",
    [
        (lambda g: [0.0] * len(g), None, TypeError, "Expected train_func to return a NumPy array, got list."),
        (lambda g: np.zeros(len(g) - 1), None, ValueError,
         "Expected the result of train_func to have one row per genome (8), got 7."),
        (lambda g: np.zeros((len(g), 0)), None, ValueError,
         "Expected the result of train_func to hold a loss for every genome."),
        (lambda g: np.float64(1.0), None, TypeError, "Expected train_func to return a NumPy array, got numpy.float64."),
        (lambda g: np.array(1.0), None, ValueError, None),
        (lambda g: np.zeros((len(g), 1, 1)), None, ValueError, None),
        (lambda g: np.array(["a"] * len(g)), None, TypeError, None),
        (lambda g: np.zeros(len(g)), lambda g: "good", TypeError, None),
        (lambda g: np.zeros(len(g)), lambda g: None, TypeError, None),
        (42, None, TypeError, None),
    ],
    ids=["list", "short", "no-columns", "scalar", "rank0", "rank3", "strings", "val-str", "val-none", "not-callable"],
)
def test_bad_results_are_refused_and_the_model_is_unchanged(train_func, validation_func, error, message):
    model = corvane.Model(2, 1, 4)
    before = snapshot(model)
    with pytest.raises(error) as info:
        model.func_evolve(train_func, pop_size=4, epochs=2, verbose=0, validation_func=validation_func)
    if message is not None:
        assert str(info.value) == message
    assert snapshot(model) == before


def test_user_exceptions_pass_through_unchanged():
    class Custom(Exception):
        pass

    model = corvane.Model(2, 1)
    before = snapshot(model)
    error = Custom("mine")

    def fail(genomes):
        raise error

    with pytest.raises(Custom) as info:
        model.func_evolve(fail, pop_size=3, epochs=2)
    assert info.value is error
    assert snapshot(model) == before


@pytest.mark.parametrize("kwargs, message", [
    ({"pop_size": 0}, "pop_size must be at least 1, got 0."),
    ({"epochs": -2}, "epochs must not be negative, got -2."),
], ids=["pop0", "epochs-neg"])
def test_bad_settings(kwargs, message):
    with pytest.raises(ValueError) as info:
        corvane.Model(2, 1).func_evolve(xor_loss, **kwargs)
    assert str(info.value) == message


def test_progress_line(c_output):
    model = corvane.Model(2, 1)
    model.compile(monitors=["size"])
    model.func_evolve(xor_loss, pop_size=3, epochs=2, verbose=1, validation_func=lambda g: 0.25)
    lines = c_output().split("\r")[1:]
    assert len(lines) == 2
    import re

    for i, line in enumerate(lines):
        assert re.fullmatch(
            rf"Epoch {i + 1}/2 - \d+(ms|s) - loss: \d+\.\d{{6}} - val_loss: 0\.250000 - size: \d+\n", line
        ), line
    model.func_evolve(xor_loss, pop_size=3, epochs=2, verbose=0)
    assert c_output() == ""


def test_xor_loss_falls():
    model = corvane.Model(2, 1, 4)
    history = model.func_evolve(xor_loss, pop_size=30, epochs=60, verbose=0)
    loss = history["loss"]
    assert all(b <= a for a, b in zip(loss, loss[1:]))
    assert loss[-1] < loss[0] or loss[0] < 0.01


def test_recurrent_model_evolves_many_generations_without_error():
    model = corvane.Model(1, 1, 5, True)
    x = np.array([[[1.0], [0.0], [1.0]]])

    def score(genomes):
        return np.array([abs(g.predict(x)[0, -1, 0] - 0.3) for g in genomes])

    history = model.func_evolve(score, pop_size=20, epochs=200, verbose=0)
    assert len(history["loss"]) == 200 and model.recurrent
