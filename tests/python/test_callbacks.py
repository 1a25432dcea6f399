"""Callbacks of evolve and func_evolve, and the built-ins EarlyStopping, ModelCheckpoint and CSVLogger."""

import csv
import math
import os

import numpy as np
import pytest

import corvane
from corvane.callbacks import Callback, CSVLogger, EarlyStopping, ModelCheckpoint

RNG = np.random.default_rng(5)
X = RNG.uniform(-1, 1, size=(40, 2))
Y = X[:, :1] * X[:, 1:] + 0.3 * X[:, :1]
X_VAL = RNG.uniform(-1, 1, size=(30, 2))
Y_VAL = X_VAL[:, :1] * X_VAL[:, 1:] + 0.3 * X_VAL[:, :1]


def compiled_model(seed=1):
    model = corvane.Model(2, 1, 4, seed=seed)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    return model


def train_func(genomes):
    return np.array([np.mean((genome.predict(X) - Y) ** 2) for genome in genomes])


def validation_func(genome):
    return float(np.mean((genome.predict(X_VAL) - Y_VAL) ** 2))


def run_evolve(model, epochs, callbacks, **kwargs):
    return model.evolve(X, Y, pop_size=8, batch_size=20, epochs=epochs, validation_data=(X_VAL, Y_VAL), verbose=0,
                        seed=3, callbacks=callbacks, **kwargs)


def run_func_evolve(model, epochs, callbacks, **kwargs):
    return model.func_evolve(train_func, pop_size=8, epochs=epochs, verbose=0, validation_func=validation_func, seed=3,
                             callbacks=callbacks, **kwargs)


RUNS = pytest.mark.parametrize("run", [run_evolve, run_func_evolve], ids=["evolve", "func_evolve"])


def network_of(model):
    return model.size, model.get_nodes(), model.get_connections()


class Recorder(Callback):
    """Keeps every call, and what the model and best_model were at each epoch."""

    def __init__(self, stop_at=None):
        super().__init__()
        self.calls = []
        self.best = []
        self.stop_at = stop_at

    def on_train_begin(self, logs=None):
        self.calls.append(("begin", logs))

    def on_epoch_end(self, epoch, logs=None):
        self.calls.append(("epoch", epoch, dict(logs)))
        self.best.append(network_of(self.best_model))
        if epoch == self.stop_at:
            self.model.stop_training = True

    def on_train_end(self, logs=None):
        self.calls.append(("end", logs))


@RUNS
def test_callbacks_see_every_epoch_with_its_history_values_and_best_network(run):
    model = compiled_model()
    recorder = Recorder()
    history = run(model, 5, [recorder])
    assert recorder.model is model
    assert recorder.calls[0] == ("begin", {})
    epochs = [call for call in recorder.calls if call[0] == "epoch"]
    assert [call[1] for call in epochs] == [0, 1, 2, 3, 4]
    for e, (_, _, logs) in enumerate(epochs):
        assert logs == {key: values[e] for key, values in history.items()}
    assert recorder.calls[-1] == ("end", epochs[-1][2])
    # best_model is a compiled copy holding the epoch's best network; the run ends with the last one.
    assert [size for size, _, _ in recorder.best] == history["size"]
    assert recorder.best[-1] == network_of(model)
    assert recorder.best_model is not model
    assert recorder.best_model.evaluate(X_VAL, Y_VAL)[0] == pytest.approx(history["val_loss"][-1], rel=1e-12)


def state_of(model):
    """Everything pickling keeps of a model: its network's file bytes, the compiled flag, the
    optimizer, the loss, the metrics, the monitors and its attributes."""
    return model.__reduce__()[2]


def without_optimizer(state):
    # Each model has its own optimizer object (compile makes one), which compares by identity.
    return state[:3] + state[4:]


class StateRecorder(Callback):
    """Keeps the whole state of best_model at every epoch, and stops the run after `stop_at`."""

    def __init__(self, stop_at):
        super().__init__()
        self.states = []
        self.stop_at = stop_at

    def on_epoch_end(self, epoch, logs=None):
        self.states.append(state_of(self.best_model))
        if epoch == self.stop_at:
            self.model.stop_training = True


def model_compiled_with(settings):
    model = corvane.Model(2, 1, 4, seed=1)
    if settings is not None:
        model.compile(**settings)
    return model


SETTINGS = {
    "metrics-and-monitors": dict(loss="mse", metrics=["mae"], monitors=["size"]),
    "own-optimizer": dict(optimizer=corvane.optimizers.Alpha(0.25), loss="mape", metrics=["mse", "mae"]),
    "not-compiled": None,
}
# evolve needs a compiled model; func_evolve takes any.
BEST_MODEL_CASES = [(run, name) for run in (run_evolve, run_func_evolve) for name in SETTINGS
                    if not (run is run_evolve and SETTINGS[name] is None)]


@pytest.mark.parametrize("run, name", BEST_MODEL_CASES,
                         ids=[f"{run.__name__[4:]}-{name}" for run, name in BEST_MODEL_CASES])
def test_best_model_holds_the_epochs_best_network_and_the_compile_settings(run, name):
    model = model_compiled_with(SETTINGS[name])
    recorder = StateRecorder(stop_at=2)
    run(model, 1000, [recorder])
    assert len(recorder.states) == 3
    assert all(state[3] is state_of(model)[3] for state in recorder.states)  # the model's own optimizer
    # A run stopped after epoch e ends with that epoch's best network, and the same seed gives
    # the same epochs: so each epoch's best_model must be what a model holds after such a run,
    # compiled as that model is.
    for epoch, state in enumerate(recorder.states):
        again = model_compiled_with(SETTINGS[name])
        run(again, 1000, [StateRecorder(stop_at=epoch)])
        assert without_optimizer(state) == without_optimizer(state_of(again))


class Meddler(Callback):
    """Changes everything it can of every best_model, and evolves it a little."""

    def on_epoch_end(self, epoch, logs=None):
        best = self.best_model
        best.evolve(X, Y, pop_size=4, epochs=1, verbose=0, seed=epoch)
        best._set_network(corvane.Model(2, 1, 7, seed=epoch))
        best.compile(loss="mape", metrics=["mse"])
        best.recurrent = True
        best.stop_training = True


@RUNS
def test_changing_best_model_changes_nothing_of_the_run(run):
    plain, meddled = compiled_model(), compiled_model()
    expected = run(plain, 4, [Callback()])
    assert run(meddled, 4, [Meddler()]) == expected
    assert without_optimizer(state_of(meddled)) == without_optimizer(state_of(plain))
    assert not meddled.stop_training


@RUNS
def test_stop_training_ends_the_run_after_the_epoch_with_its_best_network(run):
    model = compiled_model()
    model.stop_training = True  # a new run starts with it cleared
    recorder = Recorder(stop_at=2)
    history = run(model, 1000, [recorder, Callback()])
    assert all(len(values) == 3 for values in history.values())
    assert network_of(model) == recorder.best[2]
    assert recorder.calls[-1][0] == "end"


def test_a_callback_that_is_not_derived_from_callback_works():
    class Plain:
        def __init__(self):
            self.epochs = []

        def on_train_begin(self, logs):
            pass

        def on_epoch_end(self, epoch, logs):
            self.epochs.append(epoch)

        def on_train_end(self, logs):
            pass

    model = compiled_model()
    plain = Plain()
    run_evolve(model, 3, [plain])
    assert plain.epochs == [0, 1, 2]
    assert plain.model is model and isinstance(plain.best_model, corvane.Model)


class Failing(Callback):
    def __init__(self, where):
        super().__init__()
        self.where = where

    def fail(self, where):
        if where == self.where:
            raise LookupError("callback failed in " + where)

    def on_train_begin(self, logs=None):
        self.fail("on_train_begin")

    def on_epoch_end(self, epoch, logs=None):
        if epoch == 1:
            self.fail("on_epoch_end")

    def on_train_end(self, logs=None):
        self.fail("on_train_end")


@RUNS
@pytest.mark.parametrize("where", ["on_train_begin", "on_epoch_end", "on_train_end"])
def test_an_exception_in_a_callback_propagates_and_leaves_the_model_unchanged(run, where):
    model = compiled_model()
    before = network_of(model)
    with pytest.raises(LookupError, match="callback failed in " + where):
        run(model, 4, [Failing(where)])
    assert network_of(model) == before


class NotCallable:
    on_train_begin = on_train_end = staticmethod(lambda logs=None: None)
    on_epoch_end = 3


class NoTrainEnd:
    def on_train_begin(self, logs=None):
        pass

    def on_epoch_end(self, epoch, logs=None):
        pass


BAD_CALLBACKS = [
    (EarlyStopping(), "callbacks must be a list of callbacks or None, got EarlyStopping."),
    ((Callback(),), "callbacks must be a list of callbacks or None, got tuple."),
    ([Callback(), object()], "callbacks[1] (object) is not a callback: it has no method on_train_begin; derive it "
                             "from corvane.callbacks.Callback."),
    ([NotCallable()], "callbacks[0] (NotCallable) is not a callback: it has no method on_epoch_end; derive it from "
                      "corvane.callbacks.Callback."),
    ([NoTrainEnd()], "callbacks[0] (NoTrainEnd) is not a callback: it has no method on_train_end; derive it from "
                     "corvane.callbacks.Callback."),
]


@pytest.mark.parametrize("callbacks, message", BAD_CALLBACKS, ids=["single", "tuple", "object", "attribute",
                                                                   "missing-method"])
def test_bad_callbacks_are_refused_before_any_work(callbacks, message):
    model = compiled_model()
    before = network_of(model)
    calls = []

    def counting(genomes):
        calls.append(len(genomes))
        return train_func(genomes)

    with pytest.raises(TypeError) as error:
        model.func_evolve(counting, pop_size=4, epochs=2, verbose=0, callbacks=callbacks)
    assert str(error.value) == message
    with pytest.raises(TypeError) as error:
        model.evolve(X, Y, pop_size=4, epochs=2, verbose=0, callbacks=callbacks)
    assert str(error.value) == message
    assert calls == [] and network_of(model) == before


@pytest.mark.parametrize("source, error, message", [
    (corvane.Model(3, 1, seed=1), ValueError, "The network has other inputs or outputs than the model."),
    (corvane.Genome(2, 1), ValueError, "The genome holds no network: only genomes that evolution made have one."),
    ("model.cv", TypeError, "Expected a Model or Genome, got str."),
], ids=["other-counts", "empty-genome", "not-a-model"])
def test_restoring_a_network_refuses_what_does_not_fit(source, error, message):
    model = compiled_model()
    before = network_of(model)
    with pytest.raises(error) as raised:
        model._set_network(source)
    assert str(raised.value) == message and network_of(model) == before
    other = corvane.Model(2, 1, 6, True, seed=9)
    model._set_network(other)
    assert network_of(model) == network_of(other) and model.recurrent


class FakeModel:
    stop_training = False


# monitored values per epoch, EarlyStopping arguments, the epoch that stops (None: never), the best epoch
EARLY_STOPPING_CASES = [
    ([1.0, 0.9, 0.95, 0.95, 0.95, 0.8], dict(patience=2), 3, 1),
    ([1.0, 0.9, 0.95, 0.8], dict(patience=0), 2, 1),
    ([1.0, 1.0, 1.0], dict(patience=0), 1, 0),
    ([1.0, 0.9, 0.8, 0.7], dict(patience=1), None, 3),
    ([1.0, 0.95, 0.92, 0.91], dict(patience=2, min_delta=0.04), 3, 1),
    ([0.1, 0.3, 0.2, 0.2], dict(patience=2, mode="max"), 3, 1),
    ([1.0, math.nan, math.nan, math.nan], dict(patience=2), 2, 0),
]


@pytest.mark.parametrize("values, arguments, stops, best", EARLY_STOPPING_CASES,
                         ids=["patience-2", "patience-0", "flat", "improving", "min-delta", "max", "nan"])
def test_early_stopping_counts_epochs_without_improvement(values, arguments, stops, best):
    stopping = EarlyStopping(monitor="val_loss", **arguments)
    stopping.set_model(FakeModel())
    stopping.on_train_begin()
    stopped = None
    for epoch, value in enumerate(values):
        stopping.on_epoch_end(epoch, {"loss": 0.0, "val_loss": value})
        if stopping.model.stop_training:
            stopped = epoch
            break
    assert stopped == stops
    assert stopping.best_epoch == best


@pytest.mark.parametrize("restore", [True, False], ids=["restore", "keep-last"])
def test_early_stopping_ends_a_long_run_on_a_plateau(restore):
    model = compiled_model()
    stopping = EarlyStopping(patience=3, restore_best_weights=restore)
    history = run_evolve(model, 1000, [stopping], workers=1)
    val_loss = history["val_loss"]
    assert 4 <= len(val_loss) < 1000
    assert stopping.stopped_epoch == len(val_loss) - 1
    best = min(val_loss)
    assert all(value >= best for value in val_loss[-3:])
    expected = best if restore else val_loss[-1]
    assert model.evaluate(X_VAL, Y_VAL)[0] == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("callback", [EarlyStopping(monitor="val_accuracy"),
                                      ModelCheckpoint("never.cv", monitor="val_accuracy", save_best_only=True)],
                         ids=["EarlyStopping", "ModelCheckpoint"])
def test_a_monitor_that_is_not_in_the_history_fails_at_the_first_epoch(callback, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    model = compiled_model()
    before = network_of(model)
    recorder = Recorder()
    with pytest.raises(ValueError) as error:
        run_evolve(model, 5, [recorder, callback])
    name = type(callback).__name__
    assert str(error.value) == (name + " monitors 'val_accuracy', which is not in the history of this run (its keys: "
                                "loss, mae, val_loss, val_mae, size).")
    assert [call[1] for call in recorder.calls if call[0] == "epoch"] == [0]
    assert network_of(model) == before and os.listdir(tmp_path) == []


def test_a_checkpoint_path_naming_a_key_not_in_the_history_fails_at_the_first_epoch(tmp_path):
    model = compiled_model()
    with pytest.raises(ValueError) as error:
        run_func_evolve(model, 3, [ModelCheckpoint(str(tmp_path / "{epoch}-{val_mae}.cv"))])
    assert str(error.value) == ("ModelCheckpoint filepath %r names 'val_mae', which is not in the history of this run "
                                "(its keys: epoch, loss, val_loss, size)." % str(tmp_path / "{epoch}-{val_mae}.cv"))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("filepath, name", [(b"ckpt-{epoch}.cv", "bytes"), (3, "int")], ids=["bytes", "int"])
def test_a_checkpoint_path_that_cannot_be_formatted_is_refused_at_once(filepath, name):
    with pytest.raises(TypeError) as error:
        ModelCheckpoint(filepath)
    assert name in str(error.value)


def test_model_checkpoint_best_only_leaves_files_that_score_the_logged_losses(tmp_path):
    model = compiled_model()
    checkpoint = ModelCheckpoint(str(tmp_path / "ckpt-{epoch:03d}-{val_loss:.6f}.cv"), save_best_only=True)
    history = run_evolve(model, 30, [checkpoint])
    improving = [e for e, value in enumerate(history["val_loss"]) if value < min(history["val_loss"][:e], default=math.inf)]
    names = sorted(os.listdir(tmp_path))
    assert names == ["ckpt-%03d-%.6f.cv" % (e + 1, history["val_loss"][e]) for e in improving]
    for e, name in zip(improving, names):
        loaded = corvane.load(str(tmp_path / name))
        loaded.compile(loss="mse", metrics=["mae"])
        assert loaded.evaluate(X_VAL, Y_VAL) == pytest.approx([history["val_loss"][e], history["val_mae"][e]],
                                                              rel=1e-12)
        assert loaded.size == history["size"][e]


@RUNS
def test_model_checkpoint_writes_every_epoch_and_overwrites_one_path(run, tmp_path):
    model = compiled_model()
    history = run(model, 4, [ModelCheckpoint(tmp_path / "e{epoch}.cv"), ModelCheckpoint(str(tmp_path / "last.cv"))])
    assert sorted(os.listdir(tmp_path)) == ["e1.cv", "e2.cv", "e3.cv", "e4.cv", "last.cv"]
    last = corvane.load(str(tmp_path / "last.cv"))
    assert network_of(last) == network_of(model)
    assert corvane.load(str(tmp_path / "e2.cv")).size == history["size"][1]


def test_a_checkpoint_that_cannot_be_written_leaves_no_partial_file(tmp_path):
    (tmp_path / "taken.cv").mkdir()  # a folder where the file should go: the final rename fails
    model = compiled_model()
    before = network_of(model)
    with pytest.raises(OSError):
        run_evolve(model, 3, [ModelCheckpoint(str(tmp_path / "taken.cv"))])
    assert os.listdir(tmp_path) == ["taken.cv"] and os.listdir(tmp_path / "taken.cv") == []
    assert network_of(model) == before


def test_a_checkpoint_file_gets_the_mode_of_a_saved_file(tmp_path):
    model = compiled_model()
    previous = os.umask(0o022)
    try:
        model.save(str(tmp_path / "saved.cv"))
        run_evolve(model, 1, [ModelCheckpoint(str(tmp_path / "checkpoint.cv"))])
    finally:
        os.umask(previous)
    mode = {name: os.stat(tmp_path / name).st_mode & 0o777 for name in ("saved.cv", "checkpoint.cv")}
    assert mode["checkpoint.cv"] == mode["saved.cv"] and mode["saved.cv"] & 0o044  # readable by others


def read_csv(path):
    with open(path, newline="") as file:
        return list(csv.reader(file))


def test_csv_logger_writes_the_history_and_continues_a_file_with_append(tmp_path):
    path = tmp_path / "log.csv"
    model = compiled_model()
    first = run_evolve(model, 3, [CSVLogger(path)])
    rows = read_csv(path)
    assert rows[0] == ["epoch", "loss", "mae", "val_loss", "val_mae", "size"]
    assert [[int(row[0])] + [float(v) for v in row[1:]] for row in rows[1:]] == [
        [e] + [first[key][e] for key in rows[0][1:]] for e in range(3)]
    second = run_evolve(model, 2, [CSVLogger(str(path), append=True)])
    rows = read_csv(path)
    assert len(rows) == 1 + 3 + 2 and rows[4:] == [[str(e)] + [repr(second[key][e]) for key in rows[0][1:]]
                                                   for e in range(2)]
    run_evolve(model, 1, [CSVLogger(str(path))])
    assert len(read_csv(path)) == 2


def test_csv_logger_of_func_evolve_has_its_keys(tmp_path):
    model = corvane.Model(2, 1, seed=2)  # not compiled: loss and val_loss only
    run_func_evolve(model, 2, [CSVLogger(tmp_path / "log.csv", separator=";")])
    rows = read_csv(tmp_path / "log.csv")
    assert rows[0] == ["epoch;loss;val_loss"] and len(rows) == 3
