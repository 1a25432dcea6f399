"""Seeds: a seeded run is a pure function of its seed and inputs; the user's own random state is left alone."""
import ctypes
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane

X = np.linspace(-1, 1, 40).reshape(20, 2)
Y = (X[:, :1] * X[:, 1:]) * 0.5 + 0.1
SEQ_X = np.sin(np.arange(6 * 5 * 2, dtype=float)).reshape(6, 5, 2)
SEQ_Y = np.cos(np.arange(6 * 1 * 1, dtype=float)).reshape(6, 1, 1)


def model_bytes(model, tmp_path, name="m.cv"):
    path = tmp_path / name
    model.save(str(path))
    return path.read_bytes()


def evolve_run(seed, recurrent=False, batch_size=-1, model_seed=11):
    model = corvane.Model(2, 1, size=5, recurrent=recurrent, seed=model_seed)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    x, y = (SEQ_X, SEQ_Y) if recurrent else (X, Y)
    history = model.evolve(x, y, pop_size=12, epochs=15, batch_size=batch_size, verbose=0,
                           validation_data=(x, y), seed=seed)
    return model, history


def fitness(genomes):
    # A deterministic function of each genome's predictions.
    return np.array([float(np.mean((g.predict(X) - Y) ** 2)) for g in genomes])


def func_run(seed, recurrent=False):
    model = corvane.Model(2, 1, recurrent=recurrent, seed=3)
    history = model.func_evolve(fitness, pop_size=10, epochs=12, verbose=0, seed=seed,
                                validation_func=lambda g: float(g.predict(X).sum()))
    return model, history


@pytest.mark.parametrize("recurrent", [False, True], ids=["feed-forward", "recurrent"])
def test_seeded_model_is_repeated_exactly(tmp_path, recurrent):
    a = corvane.Model(3, 2, size=9, recurrent=recurrent, seed=2024)
    b = corvane.Model(3, 2, size=9, recurrent=recurrent, seed=2024)
    c = corvane.Model(3, 2, size=9, recurrent=recurrent, seed=2025)
    assert model_bytes(a, tmp_path, "a.cv") == model_bytes(b, tmp_path, "b.cv")
    assert a.get_connections() == b.get_connections()
    assert a.get_nodes() != c.get_nodes()


@pytest.mark.parametrize(
    "run",
    [
        pytest.param(lambda seed: evolve_run(seed), id="evolve"),
        pytest.param(lambda seed: evolve_run(seed, batch_size=6), id="evolve-mini-batches"),
        pytest.param(lambda seed: evolve_run(seed, recurrent=True, batch_size=2), id="evolve-recurrent"),
        pytest.param(lambda seed: func_run(seed), id="func_evolve"),
        pytest.param(lambda seed: func_run(seed, recurrent=True), id="func_evolve-recurrent"),
    ],
)
def test_seeded_run_is_repeated_exactly(tmp_path, run):
    first, first_history = run(77)
    second, second_history = run(77)
    other, other_history = run(78)
    assert first_history == second_history
    assert model_bytes(first, tmp_path, "1.cv") == model_bytes(second, tmp_path, "2.cv")
    assert (other_history, model_bytes(other, tmp_path, "3.cv")) != (first_history, model_bytes(first, tmp_path))


def test_seeded_run_is_repeated_in_another_process(tmp_path):
    script = textwrap.dedent(
        """
        import sys, numpy as np, corvane
        x = np.linspace(-1, 1, 40).reshape(20, 2)
        y = (x[:, :1] * x[:, 1:]) * 0.5 + 0.1
        model = corvane.Model(2, 1, size=5, seed=11)
        model.compile(loss="mse", monitors=["size"])
        history = model.evolve(x, y, pop_size=12, epochs=15, batch_size=6, verbose=0, seed=2**64 - 1)
        model.save(sys.argv[1])
        print(repr(history))
        """
    )
    outputs = []
    for name in ("p1.cv", "p2.cv"):
        path = tmp_path / name
        done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True,
                              env=dict(os.environ), check=True)
        outputs.append((done.stdout, path.read_bytes()))
    assert outputs[0] == outputs[1]
    model = corvane.Model(2, 1, size=5, seed=11)
    model.compile(loss="mse", monitors=["size"])
    history = model.evolve(X, Y, pop_size=12, epochs=15, batch_size=6, verbose=0, seed=2**64 - 1)
    assert outputs[0] == (repr(history) + "\n", model_bytes(model, tmp_path))


def test_no_seed_gives_different_runs():
    assert corvane.Model(2, 2, size=12).get_connections() != corvane.Model(2, 2, size=12).get_connections()
    histories = [evolve_run(None, model_seed=5)[1] for _ in range(2)]
    assert histories[0] != histories[1]


@pytest.mark.parametrize("seed", [0, 1, 2**63, 2**64 - 1, np.uint64(2**64 - 1), np.int8(4)],
                         ids=["zero", "one", "2**63", "max", "numpy-uint64", "numpy-int8"])
def test_seeds_accepted(seed):
    corvane.Model(2, 1, seed=seed)
    evolve_run(seed)
    func_run(seed)


BAD_SEEDS = [
    (True, TypeError, "seed must be an int or None, got bool."),
    (1.0, TypeError, "seed must be an int or None, got float."),
    ("7", TypeError, "seed must be an int or None, got str."),
    (-1, ValueError, "seed must be between 0 and 2**64 - 1, got -1."),
    (2**64, ValueError, "seed must be between 0 and 2**64 - 1, got 18446744073709551616."),
]


@pytest.mark.parametrize("seed, error, message", BAD_SEEDS, ids=["bool", "float", "str", "negative", "too-large"])
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda seed: corvane.Model(2, 1, seed=seed), id="Model"),
        pytest.param(lambda seed: evolve_run(seed), id="evolve"),
        pytest.param(lambda seed: func_run(seed), id="func_evolve"),
    ],
)
def test_bad_seeds_are_refused_before_any_work(call, seed, error, message):
    with pytest.raises(error) as info:
        call(seed)
    assert str(info.value) == message


def test_bad_seed_leaves_model_unchanged(tmp_path):
    model = corvane.Model(2, 1, size=4, seed=1)
    model.compile(loss="mse")
    before = model_bytes(model, tmp_path)
    calls = [lambda: model.evolve(X, Y, epochs=2, seed=-5),
             lambda: model.func_evolve(fitness, epochs=2, seed=True),
             lambda: model.__init__(3, 3, seed=2**70)]
    for call in calls:
        with pytest.raises((TypeError, ValueError)):
            call()
        assert model_bytes(model, tmp_path) == before


def test_user_random_state_is_untouched():
    libc = ctypes.CDLL(None)
    random.seed(5)
    np.random.seed(5)
    libc.srand(5)
    python_state, numpy_state = random.getstate(), np.random.get_state()
    expected_rand = [libc.rand() for _ in range(3)]
    libc.srand(5)
    corvane.Model(3, 2, size=8)
    evolve_run(None, batch_size=5)
    func_run(None)
    assert random.getstate() == python_state
    assert all(np.array_equal(a, b) for a, b in zip(np.random.get_state(), numpy_state))
    assert [libc.rand() for _ in range(3)] == expected_rand
