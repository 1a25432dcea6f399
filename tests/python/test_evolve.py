import math
import re

import numpy as np
import pytest

import corvane

WARNING = (
    "WARNING! The batch size is less than 10% the number of samples in your dataset. If the dataset is highly "
    "nonlinear, individual batches may not represent your dataset correctly and the loss can be extremely "
    "underestimated. Make sure to use a validation set to monitor the actual loss closely.\n"
)


def regression(count, inputs=2, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, size=(count, inputs))
    y = (0.5 * x[:, :1] - 0.25 * x[:, 1:2]) if inputs > 1 else 0.5 * x
    return x, y


def compiled(*args, loss="mse", **kwargs):
    model = corvane.Model(*args)
    model.compile(loss=loss, **kwargs)
    return model


def snapshot(model):
    return model.size, model.get_nodes(), model.get_connections()


@pytest.mark.parametrize(
    "setup, message",
    [
        (lambda m: None, "You must compile your model before evolving. Use `model.compile(loss)`."),
        (lambda m: m.compile(), "Please set the loss function uring compilation. Use `model.compile(loss)`."),
    ],
    ids=["uncompiled", "no-loss"],
)
def test_evolve_needs_a_compiled_loss(setup, message):
    model = corvane.Model(2, 1)
    setup(model)
    x, y = regression(4)
    with pytest.raises(RuntimeError) as info:
        model.evolve(x, y)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"pop_size": 0}, ValueError, "pop_size must be at least 1, got 0."),
        ({"epochs": -1}, ValueError, "epochs must not be negative, got -1."),
        ({"batch_size": 0}, ValueError, "batch_size must be -1 (one batch) or at least 1, got 0."),
        ({"batch_size": -5}, ValueError, "batch_size must be -1 (one batch) or at least 1, got -5."),
        ({"validation_data": [1, 2]}, TypeError, "validation_data must be a tuple (x_val, y_val) of two NumPy arrays."),
        ({"validation_data": (1,)}, TypeError, "validation_data must be a tuple (x_val, y_val) of two NumPy arrays."),
        ({"validation_data": (1, 2)}, TypeError, None),
        ({"pop_size": "10"}, TypeError, None),
    ],
    ids=["pop0", "epochs-neg", "batch0", "batch-neg", "val-list", "val-short", "val-not-arrays", "pop-str"],
)
def test_bad_arguments_are_refused_before_any_work(kwargs, error, message, c_output):
    model = compiled(2, 1, 4)
    before = snapshot(model)
    x, y = regression(10)
    with pytest.raises(error) as info:
        model.evolve(x, y, **{"epochs": 1, "verbose": 0, **kwargs})
    if message is not None:
        assert str(info.value) == message
    assert snapshot(model) == before
    assert c_output() == ""


def test_training_shapes_are_checked_with_their_names():
    model = compiled(2, 1)
    x, y = regression(6)
    with pytest.raises(ValueError) as info:
        model.evolve(x[:, :1], y)
    assert str(info.value) == (
        "Expected last dimension of x_train (1) to be equal to the number of inputs of the model (2)"
    )
    with pytest.raises(ValueError) as info:
        model.evolve(x, y, validation_data=(x, y[:3]))
    assert str(info.value) == "Expected second dimension of x_val (6) to be equal to the second dimension of y_val (3)"
    with pytest.raises(ValueError) as info:
        model.evolve(x[:0], y[:0])
    assert str(info.value) == "Expected x_train to hold at least one sample."


@pytest.mark.parametrize(
    "compile_kwargs, validation, expected",
    [
        ({}, False, ["loss"]),
        ({"metrics": ["mae"]}, False, ["loss", "mae"]),
        ({"metrics": ["mae"], "monitors": ["size"]}, True, ["loss", "mae", "val_loss", "val_mae", "size"]),
        ({"metrics": ["mape", "mape"]}, True, ["loss", "mape", "val_loss", "val_mape"]),
        ({"monitors": ["size", "size"]}, False, ["loss", "size"]),
    ],
    ids=["loss", "metric", "all", "metric-twice", "monitor-twice"],
)
def test_history_keys_and_lengths(compile_kwargs, validation, expected):
    model = compiled(2, 1, **compile_kwargs)
    x, y = regression(20)
    kwargs = {"validation_data": (x[:5], y[:5])} if validation else {}
    history = model.evolve(x, y, pop_size=6, epochs=3, verbose=0, **kwargs)
    assert list(history) == expected
    for key, values in history.items():
        assert len(values) == 3
        assert all(isinstance(v, int if key == "size" else float) for v in values)
    if "size" in history:
        assert history["size"][-1] == model.size


def test_zero_epochs_keep_the_network_and_give_empty_lists():
    model = compiled(2, 1, 4, metrics=["mae"])
    x, y = regression(5)
    before = model.predict(x)
    history = model.evolve(x, y, epochs=0)
    assert history == {"loss": [], "mae": []}
    assert model.size == 4
    np.testing.assert_array_equal(model.predict(x), before)


@pytest.mark.parametrize(
    "batch_size, warned",
    [(50, True), (99, True), (100, False), (-1, False)],
    ids=["50", "99", "100", "all"],
)
def test_small_batch_warning(batch_size, warned, c_output):
    model = compiled(2, 1)
    x, y = regression(1000)
    model.evolve(x, y, pop_size=2, batch_size=batch_size, epochs=1, verbose=0)
    assert c_output() == (WARNING if warned else "")


def test_warning_is_printed_whatever_verbose_is(c_output):
    model = compiled(2, 1)
    x, y = regression(1000)
    model.evolve(x, y, pop_size=2, batch_size=50, epochs=0, verbose=0)
    assert c_output() == WARNING


def test_progress_lines_of_a_short_run(c_output):
    model = compiled(2, 1, metrics=["mae"], monitors=["size"])
    x, y = regression(10)
    model.evolve(x, y, pop_size=4, batch_size=3, epochs=2, verbose=1, validation_data=(x, y))
    out = c_output()
    # Ten samples in batches of three: four batches, three in-progress lines and one final line per epoch.
    lines = out.split("\r")[1:]
    assert len(lines) == 8
    number = r"-?\d+\.\d{6}|nan|inf"
    duration = r"(\d+ms|\d+s|\d+:\d*(:\d+)?)"
    for epoch in (1, 2):
        for k, bar in ((1, "=" * 8 + ">" + "." * 21), (2, "=" * 15 + ">" + "." * 14), (3, "=" * 23 + ">" + "." * 6)):
            line = lines[(epoch - 1) * 4 + k - 1]
            assert re.fullmatch(
                rf"Epoch {epoch}/2 - {k}/4 \[{re.escape(bar)}\] - ETA: {duration} - loss\*: ({number}) "
                rf"- mae\*: ({number}) - size: \d+",
                line,
            ), line
        final = lines[epoch * 4 - 1]
        assert re.fullmatch(
            rf"Epoch {epoch}/2 - 4/4 \[={{30}}\] - {duration} {duration}/step - loss\*: ({number}) - mae\*: ({number}) "
            rf"- val_loss: ({number}) - val_mae: ({number}) - size: \d+\n",
            final,
        ), final


def test_single_batch_writes_only_the_epoch_line(c_output):
    model = compiled(2, 1)
    x, y = regression(8)
    model.evolve(x, y, pop_size=3, epochs=2, verbose=1)
    lines = c_output().split("\r")[1:]
    assert len(lines) == 2
    assert all(line.startswith(f"Epoch {i + 1}/2 - 1/1 [" + "=" * 30 + "] - ") for i, line in enumerate(lines))
    assert all(line.endswith("\n") and " - loss: " in line and "*" not in line for line in lines)


def test_evolution_learns_a_small_regression():
    model = compiled(2, 1, 4)
    x, y = regression(40)
    first = model.evaluate(x, y)[0]
    history = model.evolve(x, y, pop_size=30, epochs=40, verbose=0)
    assert history["loss"][-1] <= history["loss"][0]
    assert model.evaluate(x, y)[0] < first
    assert history["loss"][-1] == pytest.approx(model.evaluate(x, y)[0])


def test_recurrent_many_to_one_trains_on_the_last_step():
    model = corvane.Model(2, 1, 4, True)
    model.compile(loss="mae")
    rng = np.random.default_rng(1)
    x = rng.uniform(-1, 1, size=(6, 5, 2))
    y = x[:, -1:, :1] * 0.5
    history = model.evolve(x, y, pop_size=8, epochs=60, batch_size=2, verbose=0)
    assert all(math.isfinite(v) for v in history["loss"])
    assert model.recurrent is True


def test_recurrent_model_evolves_many_generations_without_error():
    model = corvane.Model(2, 2, 6, True)
    model.compile(loss="mse", monitors=["size"])
    rng = np.random.default_rng(2)
    x = rng.uniform(-1, 1, size=(4, 3, 2))
    y = rng.uniform(-1, 1, size=(4, 3, 2))
    history = model.evolve(x, y, pop_size=20, epochs=150, verbose=0)
    assert len(history["size"]) == 150 and model.size == history["size"][-1]


def test_model_keeps_its_compiled_configuration():
    model = compiled(2, 1, metrics=["mae"])
    x, y = regression(6)
    model.evolve(x, y, pop_size=3, epochs=2, verbose=0)
    assert len(model.evaluate(x, y)) == 2


def cv_bytes(nodes, inputs, outputs, recurrent, biases, activations, connections):
    """A .cv file: header, biases, activation codes, then (source, target, weight) records."""
    import struct
    data = struct.pack("<iiiB", nodes, inputs, outputs, int(recurrent))
    data += struct.pack(f"<{nodes}d", *biases) + struct.pack(f"<{nodes}i", *activations)
    for s, t, w in connections:
        data += struct.pack("<iid", s, t, w)
    return data


@pytest.mark.parametrize("method", ["evolve", "func_evolve"])
def test_model_switched_from_recurrent_evolves(method):
    # Backward and self connections that feed-forward mode ignores must not break evolution.
    x_seq, y_seq = np.random.default_rng(3).random((6, 4, 2)), np.random.default_rng(4).random((6, 4, 1))
    x, y = regression(30)
    for seed in range(12):
        model = corvane.Model(2, 1, size=6, recurrent=True, seed=seed)
        model.compile(loss="mse")
        model.evolve(x_seq, y_seq, pop_size=10, epochs=20, verbose=0, seed=seed)
        model.recurrent = False
        before = model.predict(x)
        try:
            if method == "evolve":
                model.evolve(x, y, pop_size=10, epochs=0, verbose=0, seed=seed)
                # Evolution starts from the same predictions, without what the mode never reads.
                assert np.array_equal(model.predict(x), before)
                model.evolve(x, y, pop_size=10, epochs=20, verbose=0, seed=seed)
            else:
                model.func_evolve(lambda g: np.array([float(np.mean(k.predict(x))) for k in g]), pop_size=10,
                                  epochs=20, verbose=0, seed=seed)
        except ValueError as error:
            # The only refusal: a network that cannot be kept sound, said up front.
            assert str(error).startswith("This network cannot be evolved: ")


@pytest.mark.parametrize(
    "connections, message",
    [
        # Hidden node 2 has no connections at all: it is removed, predictions stay.
        ([(0, 3, 0.5), (1, 3, -0.25)], None),
        # Hidden node 2 only feeds itself backwards: removed as well.
        ([(0, 3, 0.5), (1, 3, -0.25), (0, 2, 1.0), (2, 2, 1.0)], None),
        # The input 1 feeds nothing.
        ([(0, 3, 0.5), (0, 2, 1.0), (2, 3, 1.0)], "This network cannot be evolved: input node 1 feeds no other node."),
        # The output is fed by nothing but hidden node 2 is kept.
        ([(0, 2, 0.5), (1, 2, 0.5), (2, 2, 0.1)], "This network cannot be evolved: input node 0 feeds no other node."),
    ],
    ids=["lone-hidden-node", "self-fed-hidden-node", "idle-input", "unfed-output"],
)
def test_loaded_networks_evolve_or_are_refused_up_front(tmp_path, connections, message):
    path = tmp_path / "net.cv"
    path.write_bytes(cv_bytes(4, 2, 1, False, [0.1, 0.2, 0.3, 0.4], [3, 3, 0, 3], connections))
    model = corvane.load(str(path))
    model.compile(loss="mse")
    x, y = regression(20)
    before = model.predict(x)
    if message is None:
        model.evolve(x, y, pop_size=8, epochs=0, verbose=0)
        assert np.array_equal(model.predict(x), before)
        assert model.size == 3
        model.evolve(x, y, pop_size=8, epochs=30, verbose=0, seed=1)
    else:
        with pytest.raises(ValueError) as info:
            model.evolve(x, y, pop_size=8, epochs=5, verbose=0)
        assert str(info.value) == message
        assert np.array_equal(model.predict(x), before)


def test_history_grows_with_the_epochs_run():
    # A run of 2**31 - 1 epochs stopped at once must not reserve memory for all of them first.
    model = compiled(2, 1)
    x, y = regression(10)

    class Stop(Exception):
        pass

    calls = []

    def stop_soon(genomes):
        calls.append(1)
        if len(calls) == 3:
            raise Stop()
        return np.zeros(len(genomes))

    import resource
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(Stop):
        model.func_evolve(stop_soon, pop_size=2, epochs=2**31 - 1, verbose=0)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 100_000, grown_kib
