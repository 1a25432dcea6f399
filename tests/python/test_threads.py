"""Evolution with the interpreter lock released: other threads run, worker counts do not change
results, a model evolving in one thread is protected from changes by another."""
import multiprocessing
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import corvane

X = np.linspace(-1, 1, 400).reshape(200, 2)
Y = np.sin(X[:, :1] * 3) * X[:, 1:]
SEQ_X = np.sin(np.arange(8 * 6 * 2, dtype=float)).reshape(8, 6, 2)
SEQ_Y = np.cos(np.arange(8, dtype=float)).reshape(8, 1, 1)


def model_bytes(model, tmp_path, name):
    path = tmp_path / name
    model.save(str(path))
    return path.read_bytes()


def evolve(workers, recurrent=False, batch_size=-1, epochs=12, pop_size=16):
    model = corvane.Model(2, 1, size=6, recurrent=recurrent, seed=9)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    x, y = (SEQ_X, SEQ_Y) if recurrent else (X, Y)
    history = model.evolve(x, y, pop_size=pop_size, epochs=epochs, batch_size=batch_size, verbose=0,
                           validation_data=(x, y), seed=123, workers=workers)
    return model, history


def func_evolve(workers, recurrent=False):
    model = corvane.Model(2, 1, recurrent=recurrent, seed=9)

    def train(genomes):
        return np.array([float(np.mean((g.predict(X[:20]) - Y[:20]) ** 2)) for g in genomes])

    history = model.func_evolve(train, pop_size=12, epochs=10, verbose=0, seed=5, workers=workers)
    return model, history


RUNS = [
    pytest.param(lambda w: evolve(w), id="evolve"),
    pytest.param(lambda w: evolve(w, batch_size=30), id="evolve-mini-batches"),
    pytest.param(lambda w: evolve(w, recurrent=True, batch_size=3), id="evolve-recurrent"),
    pytest.param(lambda w: func_evolve(w), id="func_evolve"),
    pytest.param(lambda w: func_evolve(w, recurrent=True), id="func_evolve-recurrent"),
]


@pytest.mark.parametrize("run", RUNS)
def test_results_do_not_depend_on_workers(tmp_path, run):
    results = [run(workers) for workers in (1, 2, 3, None)]
    expected_history = results[0][1]
    expected_bytes = model_bytes(results[0][0], tmp_path, "w1.cv")
    for index, (model, history) in enumerate(results[1:]):
        assert history == expected_history
        assert model_bytes(model, tmp_path, f"w{index}.cv") == expected_bytes


@pytest.mark.parametrize(
    "workers, error, message",
    [(0, ValueError, "workers must be at least 1, got 0."),
     (-3, ValueError, "workers must be at least 1, got -3."),
     (True, TypeError, "workers must be an int or None, got bool."),
     (2.0, TypeError, "workers must be an int or None, got float.")],
    ids=["zero", "negative", "bool", "float"],
)
@pytest.mark.parametrize("method", ["evolve", "func_evolve"])
def test_bad_workers_are_refused_before_any_work(method, workers, error, message):
    model = corvane.Model(2, 1)
    model.compile(loss="mse")
    calls = []
    with pytest.raises(error) as info:
        if method == "evolve":
            model.evolve(X, Y, epochs=1, verbose=0, workers=workers)
        else:
            model.func_evolve(lambda g: calls.append(1) or np.zeros(len(g)), epochs=1, verbose=0, workers=workers)
    assert str(info.value) == message
    assert calls == []


def test_huge_worker_count_is_accepted():
    model, history = evolve(10**30, epochs=2, pop_size=3)
    assert len(history["loss"]) == 2


def test_another_thread_keeps_running_during_evolve():
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        before = len(ticks)
        start = time.perf_counter()
        evolve(1, epochs=60, pop_size=60)
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
    during = [t for t in ticks if start <= t <= end]
    # Holding the lock would allow a tick only at the run's few Python calls.
    assert len(during) >= 10, (len(during), end - start, before)


def test_two_models_in_two_threads_give_their_own_results(tmp_path):
    expected = [evolve(1, batch_size=40), func_evolve(1)]
    results = [None, None]

    def run(index):
        results[index] = evolve(1, batch_size=40) if index == 0 else func_evolve(1)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index in range(2):
        assert results[index][1] == expected[index][1]
        assert model_bytes(results[index][0], tmp_path, "a.cv") == model_bytes(expected[index][0], tmp_path, "b.cv")


def test_model_evolving_in_another_thread_refuses_changes_and_serves_reads(tmp_path):
    model = corvane.Model(2, 1, size=5, seed=1)
    model.compile(loss="mse")
    path = tmp_path / "before.cv"
    model.save(str(path))
    before = path.read_bytes()
    predictions = model.predict(X[:5])
    started, release = threading.Event(), threading.Event()

    def train(genomes):
        started.set()
        release.wait(10)
        return np.zeros(len(genomes))

    worker = threading.Thread(target=lambda: model.func_evolve(train, pop_size=4, epochs=1, verbose=0))
    worker.start()
    try:
        assert started.wait(10)
        # The run waits in train_func (which holds the lock only while Python runs), so this
        # thread can call the model meanwhile.
        message = "This model is evolving in another thread; it cannot be changed until that run ends."
        changes = [lambda: model.__init__(3, 3),
                   lambda: model.compile(loss="mae"),
                   lambda: setattr(model, "recurrent", True),
                   lambda: model.evolve(X, Y, epochs=1, verbose=0),
                   lambda: model.func_evolve(lambda g: np.zeros(len(g)), epochs=1, verbose=0)]
        for change in changes:
            with pytest.raises(RuntimeError) as info:
                change()
            assert str(info.value) == message
        # Reads see the complete network the model had before the run.
        assert np.array_equal(model.predict(X[:5]), predictions)
        assert model.evaluate(X, Y)
        model.save(str(tmp_path / "during.cv"))
        assert (tmp_path / "during.cv").read_bytes() == before
        assert model.size == 5 and not model.recurrent
    finally:
        release.set()
        worker.join()
    # The run has ended: the model takes changes again.
    model.__init__(3, 3)
    assert model.size == 6


def test_train_func_may_still_change_its_own_model():
    model = corvane.Model(2, 1)

    def train(genomes):
        model.__init__(4, 2)
        model.compile(loss="mse")
        return np.zeros(len(genomes))

    model.func_evolve(train, pop_size=3, epochs=2, verbose=0)
    assert model.inputs == 2 and model.outputs == 1


def test_fork_after_a_run_leaves_a_working_child():
    script = textwrap.dedent(
        """
        import multiprocessing, numpy as np, corvane
        x = np.linspace(-1, 1, 40).reshape(20, 2)
        y = x[:, :1] * x[:, 1:]
        model = corvane.Model(2, 1, seed=1)
        model.compile(loss="mse")
        model.evolve(x, y, pop_size=20, epochs=5, verbose=0, workers=2)

        def work(seed):
            child = corvane.Model(2, 1, seed=seed)
            child.compile(loss="mse")
            child.evolve(x, y, pop_size=10, epochs=3, verbose=0, workers=2, seed=seed)
            return float(model.predict(x).sum()), child.size

        if __name__ == "__main__":
            with multiprocessing.get_context("fork").Pool(2) as pool:
                results = pool.map(work, range(4))
            assert all(r[0] == float(model.predict(x).sum()) for r in results), results
            print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


def native_threads():
    return set(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else set()


def test_no_worker_thread_outlives_the_run():
    # Threads that are new after the runs, not counts: a thread of another library that ends
    # meanwhile (what earlier tests started winds down in its own time) is no leak of ours.
    python_before = set(threading.enumerate())
    native_before = native_threads()
    evolve(4, epochs=3)
    func_evolve(4)
    assert set(threading.enumerate()) - python_before == set()
    assert native_threads() - native_before == set()
