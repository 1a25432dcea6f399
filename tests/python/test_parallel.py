"""corvane.parallel: ProcessEvaluator and RayEvaluator as train_func of func_evolve, and their faults.

The process pools use the spawn start method (nothing inherited from the parent: the fitness must
travel by value); the Ray tests use a local Ray of 2 CPUs and are skipped where Ray is not
installed."""

import functools
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

import cloudpickle

import corvane
from corvane import parallel

# Ray's workers do not see this folder: the test functions travel by value, as a notebook's do.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
Y = np.array([0.0, 1.0, 1.0, 0.0])
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def xor_loss(genome):
    return float(np.mean((genome.predict(X)[:, 0] - Y) ** 2))


def generation(pop_size=10, seed=1):
    """The genomes of one generation, as func_evolve hands them to train_func."""
    kept = []

    def keep(genomes):
        kept.extend(genomes)
        return np.zeros(len(genomes))

    model = corvane.Model(2, 1, 5, seed=seed)
    model.func_evolve(keep, pop_size=pop_size, epochs=1, verbose=0, seed=seed)
    return kept


SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"


def need_ray():
    if SANITIZED:
        pytest.skip("Ray's own programs do not run under the sanitizers' preloaded runtimes")
    try:
        import ray
    except ImportError:
        pytest.skip('Ray is not installed (pip install "corvane[ray]"); the Ray evaluator is not tested')
    return ray


@pytest.fixture(scope="module")
def ray_session():
    ray = need_ray()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()


# An address of no machine here: the evaluator cannot listen on it, and RayEvaluator falls back
# on Ray's remote calls, as it does where its actors cannot reach it.
NO_DIRECT_HOST = "192.0.2.1"


@pytest.fixture(params=["processes", "ray", "ray-calls"])
def evaluator_type(request, monkeypatch):
    """The evaluator class under test, with two workers; its `backend` names it for the scripts
    run in a fresh interpreter. "ray-calls" is RayEvaluator without its direct connections."""
    if request.param.startswith("ray"):
        request.getfixturevalue("ray_session")
        if request.param == "ray-calls":
            monkeypatch.setattr(parallel, "_direct_host", lambda ray: NO_DIRECT_HOST)
        made = functools.partial(parallel.RayEvaluator, workers=2)
    else:
        made = functools.partial(parallel.ProcessEvaluator, workers=2, start_method="spawn")
    made.backend = request.param  # type: ignore[attr-defined]
    return made


# Results ------------------------------------------------------------------------------------


def test_a_run_equals_the_serial_run(evaluator_type):
    offset = 0.5  # a closure over a local: it can only travel by value
    fitness = lambda genome: xor_loss(genome) + offset  # noqa: E731
    serial = corvane.Model(2, 1, seed=2)
    expected = serial.func_evolve(lambda gs: np.array([fitness(g) for g in gs]), pop_size=12, epochs=4, verbose=0,
                                  seed=7)
    model = corvane.Model(2, 1, seed=2)
    with evaluator_type(fitness) as evaluator:
        history = model.func_evolve(evaluator, pop_size=12, epochs=4, verbose=0, seed=7)
    assert history == expected
    assert model.get_connections() == serial.get_connections()


@pytest.mark.parametrize("count", [0, 1, 2, 3, 7], ids=lambda n: "%d-genomes" % n)
def test_scores_keep_the_genomes_order(evaluator_type, count):
    genomes = generation()[:count]
    with evaluator_type(xor_loss) as evaluator:
        scores = evaluator(genomes)
    assert scores.dtype == np.float64 and scores.shape == (count,)
    np.testing.assert_array_equal(scores, [xor_loss(g) for g in genomes])


def test_workers_persist_and_get_one_share_each(evaluator_type):
    genomes = generation()
    with evaluator_type(lambda genome: os.getpid()) as evaluator:
        first = evaluator(genomes)
        second = evaluator(genomes)
    # Genome i goes to worker i % 2, the same two workers for both generations.
    assert list(first) == list(second)
    assert len(set(first[0::2])) == 1 and len(set(first[1::2])) == 1 and first[0] != first[1]
    assert os.getpid() not in first


class Counter:
    """A stateful fitness: its state is made once per worker, lazily."""

    def __init__(self):
        self.calls = None

    def __call__(self, genome):
        if self.calls is None:
            self.calls = 0
        self.calls += 1
        return self.calls


def test_a_stateful_fitness_keeps_its_state_per_worker(evaluator_type):
    genomes = generation(pop_size=4)  # 8 genomes, 4 per worker
    with evaluator_type(Counter()) as evaluator:
        evaluator(genomes)
        scores = evaluator(genomes)
    np.testing.assert_array_equal(scores, [5, 5, 6, 6, 7, 7, 8, 8])


@pytest.mark.parametrize("value", [np.float32(0.25), np.int64(3), 2, True, np.array(1.5)],
                         ids=["float32", "int64", "int", "bool", "0-d-array"])
def test_numbers_of_any_kind_are_scores(value):
    evaluator = parallel.ProcessEvaluator(lambda genome: value, workers=1, start_method="spawn")
    try:
        np.testing.assert_array_equal(evaluator(generation(pop_size=1)), [float(value)] * 2)
    finally:
        evaluator.close()


@pytest.mark.parametrize("make, error, message", [
    (lambda: parallel.ProcessEvaluator(xor_loss, workers=0), ValueError, "workers must be at least 1, got 0."),
    (lambda: parallel.ProcessEvaluator(xor_loss, workers=True), TypeError, "workers must be an int or None, got bool."),
    (lambda: parallel.RayEvaluator(xor_loss, workers=2.0), TypeError, "workers must be an int or None, got float."),
    (lambda: parallel.RayEvaluator("xor", workers=2), TypeError, "fitness must be callable, got str."),
    (lambda: parallel.ProcessEvaluator(xor_loss, workers=1)((g for g in [])), TypeError,
     "An evaluator is called with a list of genomes, got generator."),
], ids=["zero-workers", "bool-workers", "float-workers", "not-callable", "not-a-list"])
def test_bad_arguments(make, error, message):
    with pytest.raises(error) as raised:
        make()
    assert str(raised.value) == message


def test_none_means_one_worker_per_core():
    assert parallel.ProcessEvaluator(xor_loss).workers == len(os.sched_getaffinity(0))


# Faults ---------------------------------------------------------------------------------------


def one_unique(genomes):
    """The index of a genome (not the first) whose loss no other genome of the list has."""
    losses = [xor_loss(g) for g in genomes]
    return next(i for i in range(1, len(losses)) if losses.count(losses[i]) == 1), losses


def failing_for(loss, result):
    """A fitness that fails (raises, or returns `result`) for the genome with this loss only."""

    def fail_for_one_genome(genome):
        if xor_loss(genome) == loss:
            if result is None:
                raise ValueError("no score for this one")
            return result[0]
        return 0.0

    return fail_for_one_genome


class Unpicklable(Exception):
    def __reduce__(self):
        raise TypeError("not sent")


def raise_unpicklable(genome):
    raise Unpicklable("kept in the worker")


def raise_system_exit(genome):
    raise SystemExit(3)


def test_an_exception_in_fitness_reaches_func_evolve_with_index_and_traceback(evaluator_type):
    index, losses = one_unique(generation(pop_size=4, seed=1))  # the first generation of the run below
    model = corvane.Model(2, 1, 5, seed=1)
    before = model.get_connections()
    with evaluator_type(failing_for(losses[index], None)) as evaluator:
        with pytest.raises(ValueError, match="^no score for this one$") as raised:
            model.func_evolve(evaluator, pop_size=4, epochs=2, verbose=0, seed=1)
        remote = raised.value.__cause__
        assert isinstance(remote, parallel.RemoteTraceback) and remote.index == index
        assert "in fail_for_one_genome" in remote.text
        assert remote.text.endswith("ValueError: no score for this one\n")
        assert "genome %d" % index in str(remote)
        assert model.get_connections() == before
        # The evaluator starts new workers for the next run.
        np.testing.assert_array_equal(evaluator(generation(pop_size=1)), [0.0, 0.0])


@pytest.mark.parametrize("fitness, summary, line", [
    (raise_unpicklable, "test_parallel.Unpicklable: kept in the worker", "raise Unpicklable"),
    (raise_system_exit, "SystemExit: 3", "raise SystemExit(3)"),
], ids=["unpicklable", "system-exit"])
def test_an_exception_that_is_not_raised_again_becomes_runtime_error(evaluator_type, fitness, summary, line):
    with evaluator_type(fitness) as evaluator:
        with pytest.raises(RuntimeError) as raised:
            evaluator(generation(pop_size=1)[:1])
    assert str(raised.value) == ("fitness raised %s for genome 0 (an exception that is not raised again here: it "
                                 "does not pickle, or it is no Exception)" % summary)
    assert line in raised.value.__cause__.text


@pytest.mark.parametrize("result, type_name", [("0.5", "str"), (None, "NoneType"), (np.zeros(2), "ndarray"),
                                               (1j, "complex")], ids=["str", "None", "array", "complex"])
def test_a_result_that_is_not_a_number_is_a_type_error_naming_the_genome(evaluator_type, result, type_name):
    genomes = generation()
    index, losses = one_unique(genomes)
    with evaluator_type(failing_for(losses[index], [result])) as evaluator:
        with pytest.raises(TypeError) as raised:
            evaluator(genomes)
    assert str(raised.value) == ("The fitness function returned %s for genome %d; it must return a number."
                                 % (type_name, index))


# A run whose fitness kills its worker, in a fresh interpreter: a hang fails the test by its timeout
# instead of stopping the suite.
DEATH_SCRIPT = """
import ctypes, os, sys
import numpy as np
import corvane
from corvane import parallel

how = sys.argv[2]
def fitness(genome, calls=[0]):
    calls[0] += 1
    if calls[0] == 2:
        if how == "exit":
            os._exit(3)
        ctypes.string_at(0)  # a segmentation fault
    return 0.0

if __name__ == "__main__":
    if sys.argv[1].startswith("ray"):
        import ray
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        if sys.argv[1] == "ray-calls":
            parallel._direct_host = lambda ray: "192.0.2.1"
        evaluator = parallel.RayEvaluator(fitness, workers=2)
    else:
        evaluator = parallel.ProcessEvaluator(fitness, workers=2, start_method="spawn")
    model = corvane.Model(2, 1, seed=1)
    with evaluator:
        try:
            model.func_evolve(evaluator, pop_size=4, epochs=2, verbose=0)
        except RuntimeError as error:
            print("RuntimeError:", error)
        print(evaluator([corvane.Genome(2, 1)]).tolist())  # new workers
"""


@pytest.mark.parametrize("how, expected", [
    ("exit", "exited with code 3"),
    pytest.param("segfault", "SIGSEGV", marks=pytest.mark.skipif(
        SANITIZED, reason="the sanitizers report the deliberate crash as a finding")),
])
def test_a_dead_worker_is_a_runtime_error_not_a_hang(tmp_path, evaluator_type, how, expected):
    backend = evaluator_type.backend
    if backend != "processes":
        expected = "died"  # Ray tells its own story of the actor's end
    script = tmp_path / "death.py"
    script.write_text(DEATH_SCRIPT)
    result = subprocess.run([sys.executable, str(script), backend, how], capture_output=True, text=True, env=ENV,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stdout.splitlines() if not line.startswith("\x1b")]  # Ray's own notes
    assert lines[0].startswith("RuntimeError: A worker") and expected in lines[0], result.stdout
    assert lines[1:] == ["[0.0]"]


# The case reported most often elsewhere: a fitness defined in the script that is run, under the
# spawn and forkserver start methods (forkserver is the default on Linux from Python 3.14).
MAIN_SCRIPT = """
import json, sys
import numpy as np
import corvane
from corvane.parallel import ProcessEvaluator

X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
Y = np.array([0.0, 1.0, 1.0, 0.0])

def defined(genome):
    return float(np.mean((genome.predict(X)[:, 0] - Y) ** 2))

def make_closure(weight):
    return lambda genome: weight * defined(genome)

if __name__ == "__main__":
    kinds = {"function": defined, "lambda": lambda g: defined(g) + 1.0, "closure": make_closure(3.0)}
    out = {}
    for name, fitness in kinds.items():
        model = corvane.Model(2, 1, seed=4)
        with ProcessEvaluator(fitness, workers=2, start_method=sys.argv[1]) as evaluator:
            history = model.func_evolve(evaluator, pop_size=6, epochs=3, verbose=0, seed=5)
        serial = corvane.Model(2, 1, seed=4)
        expected = serial.func_evolve(lambda gs: np.array([fitness(g) for g in gs]), pop_size=6, epochs=3,
                                      verbose=0, seed=5)
        out[name] = history == expected
    print(json.dumps(out))
"""


@pytest.mark.parametrize("method", ["spawn", "forkserver", pytest.param("fork", marks=pytest.mark.skipif(
    SANITIZED, reason="a fork of a process with threads is not supported under ThreadSanitizer"))])
def test_a_fitness_defined_in_main_works_with_every_start_method(tmp_path, method):
    script = tmp_path / "main_fitness.py"
    script.write_text(MAIN_SCRIPT)
    result = subprocess.run([sys.executable, str(script), method], capture_output=True, text=True, env=ENV,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"function": True, "lambda": True, "closure": True}


INTERRUPT_SCRIPT = """
import os, sys, time
import numpy as np
import corvane
from corvane import parallel

FOLDER = sys.argv[2]  # travels with the function; a worker's own sys.argv is not this one

def slow(genome):
    open(os.path.join(FOLDER, str(os.getpid())), "w").close()
    time.sleep(0.2)
    return 0.0

if __name__ == "__main__":
    if sys.argv[1].startswith("ray"):
        import ray
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        if sys.argv[1] == "ray-calls":
            parallel._direct_host = lambda ray: "192.0.2.1"
        evaluator = parallel.RayEvaluator(slow, workers=2)
    else:
        evaluator = parallel.ProcessEvaluator(slow, workers=2, start_method="spawn")
    print("ready", flush=True)
    model = corvane.Model(2, 1, seed=1)
    try:
        with evaluator:
            model.func_evolve(evaluator, pop_size=50, epochs=100, verbose=0)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    deadline = time.monotonic() + 20  # Ray ends its actors' processes in its own time
    while True:
        alive = []
        for name in os.listdir(sys.argv[2]):
            try:
                os.kill(int(name), 0)
                alive.append(name)
            except ProcessLookupError:
                pass
        if not alive or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    print("alive", len(alive), "of", len(os.listdir(sys.argv[2])), flush=True)
"""


def test_ctrl_c_stops_the_run_and_the_workers(tmp_path, evaluator_type):
    backend = evaluator_type.backend
    script = tmp_path / "interrupt.py"
    script.write_text(INTERRUPT_SCRIPT)
    pids = tmp_path / "pids"
    pids.mkdir()
    process = subprocess.Popen([sys.executable, str(script), backend, str(pids)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=ENV)
    try:
        deadline = time.monotonic() + 120
        while len(os.listdir(pids)) < 2 and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.05)
        assert len(os.listdir(pids)) >= 2, "no worker started"
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 0, err
    assert out.splitlines() == ["ready", "interrupted", "alive 0 of 2"], err


def test_ray_is_initialised_by_the_evaluator_when_needed():
    need_ray()
    code = textwrap.dedent("""
        import ray, corvane
        from corvane.parallel import RayEvaluator
        assert not ray.is_initialized()
        with RayEvaluator(lambda genome: 1.0, workers=1) as evaluator:
            print(ray.is_initialized(), evaluator([corvane.Genome(2, 1)]).tolist())
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "True [1.0]"


def test_an_actor_that_cannot_reach_the_evaluator_says_why():
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()  # nobody listens there now
    worker = parallel._RayWorker(cloudpickle.dumps(xor_loss))
    assert worker.serve(("127.0.0.1", port), b"t" * 32, 0).startswith("could not connect to 127.0.0.1 port %d" % port)


def test_actors_that_cannot_start_are_reported_not_waited_for_silently(ray_session, monkeypatch):
    monkeypatch.setattr(parallel, "_START_WARNING", 0.5)
    evaluator = parallel.RayEvaluator(xor_loss, workers=3)  # one more than the local Ray's CPUs
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # the warning ends the wait here
        # At least the third actor is waiting; the others may still be starting after 0.5 s.
        with pytest.raises(RuntimeWarning, match=r"[123] of 3 actors have not started after 0.5 s.*has 2 CPUs"):
            evaluator.start()
    assert evaluator._actors == []  # none left behind
