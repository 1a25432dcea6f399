"""Repeated calls must not leak: neither references (sys.getrefcount of the arguments and of the
results stays put) nor memory (tracemalloc for Python objects, the resident size for the C++
tables, with large networks so that a leaked table per call shows plainly).

Each scenario runs in its own interpreter (`python test_leaks.py SCENARIO`), so the measurement
is not disturbed by the rest of the suite and a crash is a failed test."""
import json
import os
import struct
import subprocess
import sys
import tempfile

import pytest

SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"


# ---- The child side. ------------------------------------------------------------------------


def _resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _scenarios(np, corvane, folder):
    """name -> (call, arguments to watch); every call takes no argument and returns the result."""
    rng = np.random.default_rng(1)
    big = corvane.Model(3, 2, 150)  # 150 nodes: 180 kB of weights per network
    big.compile(loss="mse", metrics=["mae", "mape"], monitors=["size"])
    small = corvane.Model(2, 1)
    small.compile(loss="mse")
    medium = corvane.Model(3, 2, 40)  # for the runs that mutate: 13 kB of weights per network
    rec = corvane.Model(2, 1, 20, recurrent=True)
    rec.compile(loss="mae")
    x1, x2, x3 = rng.random(3), rng.random((6, 3)), rng.random((2, 4, 2))
    xs, ys = rng.random((8, 2)), rng.random((8, 1))
    xr, yr = rng.random((3, 4, 2)), rng.random((3, 1, 1))
    xb, yb = rng.random((5, 3)), rng.random((5, 2))
    bad_x = rng.random((4, 5))
    saved = os.path.join(folder, "big.cv")
    big.save(saved)
    truncated = os.path.join(folder, "truncated.cv")
    with open(truncated, "wb") as out:
        out.write(struct.pack("<iiiB", 5, 2, 1, 0) + b"\0" * 7)
    missing = os.path.join(folder, "missing", "m.cv")

    def expect(error, call):
        def run():
            try:
                call()
            except error:
                return None
            raise AssertionError("no " + error.__name__)

        return run

    def losses(genomes):
        return np.array([float(g.predict(xs)[0, 0]) for g in genomes])

    def raising(genomes):
        raise KeyError("from train_func")

    class Thing:
        pass

    stand_in = Thing()
    stand_in.layers = [Thing(), Thing()]

    class Quiet(corvane.callbacks.Callback):
        pass

    class Failing(corvane.callbacks.Callback):
        def on_epoch_end(self, epoch, logs=None):
            raise KeyError("from a callback")

    quiet, failing = Quiet(), Failing()
    medium.compile(loss="mse", monitors=["size"])

    produced = []
    big.func_evolve(lambda g: produced.extend(g[:1]) or np.zeros(len(g)), pop_size=1, epochs=1, verbose=0)
    genome = produced.pop()
    return {
        "model_creation": (lambda: corvane.Model(3, 2, 150), []),
        "model_recurrent_creation": (lambda: corvane.Model(2, 2, 100, recurrent=True), []),
        "predict_rank_1": (lambda: big.predict(x1), [x1]),
        "predict_rank_2": (lambda: big.predict(x2), [x2]),
        "predict_rank_3": (lambda: rec.predict(x3), [x3]),
        "predict_integers": (lambda: small.predict(np.arange(6).reshape(3, 2)), []),
        "evaluate": (lambda: big.evaluate(xb, yb), [xb, yb]),
        "compile": (lambda: big.compile("alpha", "mse", ["mae"], ["size"]), []),
        "evolve": (lambda: small.evolve(xs, ys, pop_size=6, epochs=2, verbose=0, validation_data=(xs, ys)), [xs, ys]),
        "evolve_recurrent": (lambda: rec.evolve(xr, yr, pop_size=4, epochs=2, verbose=0), [xr, yr]),
        "func_evolve": (lambda: small.func_evolve(losses, pop_size=6, epochs=2, verbose=0,
                                                  validation_func=lambda g: 0.5), [losses]),
        "save_and_load": (lambda: (big.save(saved), corvane.load(saved))[1], []),
        "genome_creation": (lambda: corvane.Genome(3, 2), []),
        "nodes_and_connections": (lambda: (medium.get_nodes(), medium.get_connections()), []),
        "bad_predict_shape": (expect(ValueError, lambda: big.predict(bad_x)), [bad_x]),
        "bad_evaluate_shape": (expect(ValueError, lambda: big.evaluate(bad_x, yb)), [bad_x, yb]),
        "bad_evolve_shape": (expect(ValueError, lambda: small.evolve(bad_x, ys, verbose=0)), [bad_x, ys]),
        "bad_compile_loss": (expect(ValueError, lambda: corvane.Model(1, 1).compile(loss="nope")), []),
        "bad_compile_metrics": (expect(TypeError, lambda: corvane.Model(1, 1).compile(loss="mse", metrics=[1])), []),
        "train_func_raising": (expect(KeyError, lambda: medium.func_evolve(raising, pop_size=3, epochs=2, verbose=0)),
                               [raising]),
        "train_func_bad_result": (expect(TypeError, lambda: medium.func_evolve(lambda g: [0.0] * len(g), pop_size=3,
                                                                             epochs=1, verbose=0)), []),
        "train_func_too_few_rows": (expect(ValueError, lambda: medium.func_evolve(lambda g: np.zeros(2), pop_size=3,
                                                                                epochs=1, verbose=0)), []),
        "validation_func_bad_result": (expect(TypeError, lambda: small.func_evolve(
            losses, pop_size=3, epochs=1, verbose=0, validation_func=lambda g: "high")), []),
        "load_truncated": (expect(ValueError, lambda: corvane.load(truncated)), []),
        "load_missing": (expect(OSError, lambda: corvane.load(missing)), []),
        "save_missing_folder": (expect(OSError, lambda: big.save(missing)), []),
        "from_keras_stand_in": (expect((TypeError, ValueError), lambda: corvane.from_keras(stand_in)), [stand_in]),
        "empty_genome_predict": (expect(ValueError, lambda: corvane.Genome(3, 2).predict(x2)), [x2]),
        "produced_genome_predict": (lambda: genome.predict(x2), [genome, x2]),
        "evolve_with_callbacks": (lambda: medium.evolve(xb, yb, pop_size=3, epochs=2, verbose=0, callbacks=[quiet]),
                                  [quiet, xb]),
        "func_evolve_with_callbacks": (lambda: small.func_evolve(losses, pop_size=3, epochs=2, verbose=0,
                                                                  callbacks=[quiet]), [quiet, losses]),
        "callback_raising": (expect(KeyError, lambda: medium.evolve(xb, yb, pop_size=3, epochs=2, verbose=0,
                                                                    callbacks=[failing])), [failing]),
        "describe": (lambda: (repr(big), big.to_dot(), corvane._core._layout(big), repr(genome)), [genome]),
    }


def _reference_counts(objects):
    counts = []
    for index in range(len(objects)):
        counts.append(sys.getrefcount(objects[index]))
    return counts


def _measure(name, rounds):
    import gc
    import tracemalloc

    import numpy as np

    import corvane

    with tempfile.TemporaryDirectory() as folder:
        call, watched = _scenarios(np, corvane, folder)[name]
        for _ in range(max(5, rounds // 10)):  # warm up caches, interned names, free lists
            call()
        gc.collect()
        references = _reference_counts(watched)
        result = call()
        result_references = sys.getrefcount(result)  # 2 when held only here (and by the argument)
        del result
        tracemalloc.start()
        python_before = tracemalloc.get_traced_memory()[0]
        resident_before = _resident()
        for _ in range(rounds):
            call()
        gc.collect()
        python_growth = tracemalloc.get_traced_memory()[0] - python_before
        tracemalloc.stop()
        resident_growth = _resident() - resident_before
        print(json.dumps({
            "references": [after - before for after, before in zip(_reference_counts(watched), references)],
            "result_references": result_references,
            "python_growth": python_growth,
            "resident_growth": resident_growth,
        }))


# ---- The test side. -------------------------------------------------------------------------

SCENARIOS = [
    "model_creation", "model_recurrent_creation", "predict_rank_1", "predict_rank_2", "predict_rank_3",
    "predict_integers", "evaluate", "compile", "evolve", "evolve_recurrent", "func_evolve", "save_and_load",
    "genome_creation", "nodes_and_connections", "bad_predict_shape", "bad_evaluate_shape", "bad_evolve_shape",
    "bad_compile_loss", "bad_compile_metrics", "train_func_raising", "train_func_bad_result",
    "train_func_too_few_rows", "validation_func_bad_result", "load_truncated", "load_missing",
    "save_missing_folder", "from_keras_stand_in", "empty_genome_predict", "produced_genome_predict",
    "evolve_with_callbacks", "func_evolve_with_callbacks", "callback_raising", "describe",
]


@pytest.mark.parametrize("name", SCENARIOS)
def test_repeated_calls_do_not_leak(name):
    rounds = 60 if SANITIZED else 300
    done = subprocess.run([sys.executable, __file__, name, str(rounds)], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert report["references"] == [0] * len(report["references"])
    # getrefcount's own argument plus, for a result, nothing else (None and shared objects more).
    assert report["result_references"] == 2 or report["result_references"] > 1000
    # A leaked Python object per call would be at least 30 bytes x rounds.
    assert report["python_growth"] < 16 * 1024
    # A leaked network per call would be 13 kB (40 nodes) to 180 kB (150 nodes) x rounds.
    if not SANITIZED:
        assert report["resident_growth"] < 8 * 1024 * 1024


def test_keras_round_trips_do_not_leak():
    os.environ.setdefault("KERAS_BACKEND", "numpy")
    pytest.importorskip("keras")
    # Counted in allocated blocks, window by window: the caches of Keras and NumPy grow in
    # steps now and then (by 150 blocks or more in one window of 400 calls), while a leaked
    # object per call would add 400 blocks or more to every window. The quietest window says
    # which it is.
    script = r"""
import gc, json, os, sys
import corvane
model = corvane.Model(2, 1, 6)
exported = model.to_keras()
before = sys.getrefcount(exported)
for _ in range(60):
    corvane.from_keras(exported)
gc.collect()
windows = []
for _ in range(4):
    start = sys.getallocatedblocks()
    for _ in range(400):
        imported = corvane.from_keras(exported)
    del imported
    gc.collect()
    windows.append(sys.getallocatedblocks() - start)
print(json.dumps({"refs": sys.getrefcount(exported) - before, "windows": windows}))
"""
    env = dict(os.environ, KERAS_BACKEND="numpy")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert report["refs"] == 0
    assert min(report["windows"]) < 200, report["windows"]


def test_cycles_through_the_optimizer_are_collected():
    import gc
    import weakref

    import corvane

    class Keeper(corvane.optimizers.Alpha):
        """An optimizer that keeps its model: model -> optimizer -> model."""

    kept = []
    for _ in range(300):
        model = corvane.Model(2, 1, 40)
        keeper = Keeper()
        keeper.model = model
        model.compile(optimizer=keeper, loss="mse")
        kept.append(weakref.ref(keeper))
    del model, keeper
    gc.collect()
    assert sum(ref() is not None for ref in kept) == 0


if __name__ == "__main__":
    _measure(sys.argv[1], int(sys.argv[2]))
