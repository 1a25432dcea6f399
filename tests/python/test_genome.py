"""The Genome type: construction, read-only members, clear, predict and the release of networks."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane

# Under AddressSanitizer freed memory waits in quarantine: the resident size says nothing there.
SKIP_IF_SANITIZED = pytest.mark.skipif(bool(os.environ.get("CORVANE_SANITIZED")), reason="resident size under ASan")

NO_NETWORK = "This object holds no network to predict with (a Genome created from Python has none)."


# Construction and members ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        pytest.param((2, 1), {}, (2, 1, False), id="default-feed-forward"),
        pytest.param((2, 1, True), {}, (2, 1, True), id="positional-recurrent"),
        pytest.param((), {"inputs": 2, "outputs": 1, "recurrent": 1}, (2, 1, True), id="keywords-truthy-int"),
        pytest.param((4, 3), {"recurrent": []}, (4, 3, False), id="falsy-object"),
        pytest.param((4, 3), {"recurrent": "yes"}, (4, 3, True), id="truthy-object"),
    ],
)
def test_constructor_stores_counts_and_flag(args, kwargs, expected):
    genome = corvane.Genome(*args, **kwargs)
    assert (genome.inputs, genome.outputs, genome.recurrent) == expected
    assert type(genome.recurrent) is bool


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param((), {}, id="nothing"),
        pytest.param((2,), {}, id="outputs-missing"),
        pytest.param(("2", 1), {}, id="string-inputs"),
        pytest.param((2, 1.5), {}, id="float-outputs"),
        pytest.param((2, 1), {"size": 4}, id="unknown-keyword"),
        pytest.param((2, 1, True, 5), {}, id="too-many"),
    ],
)
def test_constructor_arguments_outside_the_format_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        corvane.Genome(*args, **kwargs)


def test_failed_reinitialisation_changes_nothing():
    genome = corvane.Genome(2, 1, True)
    with pytest.raises(TypeError):
        genome.__init__("a", 5)
    assert (genome.inputs, genome.outputs, genome.recurrent) == (2, 1, True)


@pytest.mark.parametrize("name", ["inputs", "outputs", "recurrent"])
def test_members_are_read_only(name):
    genome = corvane.Genome(2, 1)
    with pytest.raises(AttributeError):
        setattr(genome, name, 3)
    with pytest.raises(AttributeError):
        delattr(genome, name)
    assert (genome.inputs, genome.outputs, genome.recurrent) == (2, 1, False)


def test_type_name_docstrings_and_registration():
    assert corvane.Genome.__module__ == "corvane" and corvane.Genome.__name__ == "Genome"
    assert corvane.Genome.__doc__ == "A lightweight Corvane model that can only be used for predictions."
    assert corvane.Genome.predict.__text_signature__ == "($self, x, /)"
    assert corvane.Genome.predict.__doc__ == "Predict the the outputs for a given set of samples."
    assert corvane.Genome.clear.__text_signature__ == "($self)"
    assert (
        corvane.Genome.clear.__doc__
        == "Clears the recurrent state of the genome, preparing it for a new sequence of inputs."
    )
    assert corvane.Genome.inputs.__doc__ == "The number of inputs of the model."
    assert corvane.Genome.outputs.__doc__ == "The number of outputs of the model."
    assert corvane.Genome.recurrent.__doc__ == "If the model is recurrent or not."
    assert not issubclass(corvane.Genome, corvane.Model)
    public = {name for name in dir(corvane.Genome) if not name.startswith("_")}
    assert public == {"inputs", "outputs", "recurrent", "predict", "clear", "to_dot"}


def test_genome_can_be_subclassed():
    class Candidate(corvane.Genome):
        def __init__(self, inputs, outputs, label):
            super().__init__(inputs, outputs, recurrent=True)
            self.label = label

    candidate = Candidate(3, 2, "first")
    assert isinstance(candidate, corvane.Genome)
    assert (candidate.inputs, candidate.outputs, candidate.recurrent, candidate.label) == (3, 2, True, "first")
    assert candidate.clear() is None


def test_clear_on_a_genome_made_from_python_returns_none_and_changes_nothing():
    genome = corvane.Genome(2, 1, True)
    assert genome.clear() is None
    assert (genome.inputs, genome.outputs, genome.recurrent) == (2, 1, True)


# Predict on genomes without a network --------------------------------------------------------


# A genome made from Python holds no network: predicting with one would read outside its tables
# if it were let through, so these calls run in a child process where a crash fails the tests.
REFUSALS = {
    "one-sample": "Genome(2, 1).predict(np.zeros(2))",
    "samples": "Genome(2, 1).predict(np.zeros((5, 2)))",
    "no-samples": "Genome(2, 1).predict(np.zeros((0, 2)))",
    "recurrent-batch": "Genome(2, 1, True).predict(np.zeros((3, 4, 2)))",
    "recurrent-empty-series": "Genome(2, 1, True).predict(np.zeros((3, 0, 2), dtype=int))",
    "zero-counts": "Genome(0, 0).predict(np.zeros(0))",
    "subclass": "type('Candidate', (Genome,), {})(3, 2).predict(np.ones((2, 3)))",
    "after-clear": "g = Genome(2, 1, True); g.clear(); g.predict(np.zeros(2))",
}

REFUSAL_SCRIPT = textwrap.dedent(
    """
    import json, sys
    import numpy as np
    from corvane import Genome

    outcomes = {}
    for name, statement in json.loads(sys.argv[1]).items():
        try:
            exec(statement)
            outcomes[name] = ["returned", ""]
        except Exception as error:
            outcomes[name] = [type(error).__name__, str(error)]
    print(json.dumps(outcomes))
    """
)


@pytest.fixture(scope="module")
def refusals():
    done = subprocess.run(
        [sys.executable, "-c", REFUSAL_SCRIPT, json.dumps(REFUSALS)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, f"the child process ended with {done.returncode}: {done.stderr}"
    return json.loads(done.stdout)


@pytest.mark.parametrize("case", list(REFUSALS))
def test_a_genome_made_from_python_refuses_to_predict(refusals, case):
    assert refusals[case] == ["ValueError", NO_NETWORK]


@pytest.mark.parametrize(
    "recurrent, x, message",
    [
        pytest.param(
            False,
            np.zeros((2, 3, 2)),
            "Expected x to have 1 dimension (one sample) or 2 dimensions (multiple samples).",
            id="feed-forward-rank",
        ),
        pytest.param(
            True,
            np.zeros((1, 1, 1, 2)),
            "Expected x to have 1 dimension (one sample in a timeserie), 2 dimensions (one timeseries) "
            "or 3 dimensions (multiple timeseries).",
            id="recurrent-rank",
        ),
        pytest.param(
            False,
            np.zeros((4, 3)),
            "Expected last dimension of x (3) to be equal to the number of inputs of the model (2)",
            id="last-dimension",
        ),
    ],
)
def test_genome_shape_errors_come_first_and_follow_its_own_flag(recurrent, x, message):
    with pytest.raises(ValueError) as raised:
        corvane.Genome(2, 1, recurrent).predict(x)
    assert str(raised.value) == message


def test_genome_predict_arguments_raise_the_parsers_type_error():
    genome = corvane.Genome(2, 1)
    for call in (lambda: genome.predict(), lambda: genome.predict([1.0, 2.0]), lambda: genome.predict(1, 2)):
        with pytest.raises(TypeError):
            call()


# Genomes produced by function evolution ------------------------------------------------------


def produced_genomes(model):
    """The candidates that func_evolve hands to its fitness function in the first epoch.

    The first candidate is an unchanged clone of the model's network (state cleared for a
    recurrent model)."""
    captured = []

    def train_func(genomes):
        captured.extend(genomes)
        return np.arange(len(genomes), dtype=np.float64)

    model.func_evolve(train_func, pop_size=2, epochs=1, verbose=0)
    assert captured and all(type(genome) is corvane.Genome for genome in captured)
    return captured


@pytest.mark.parametrize("recurrent", [False, True], ids=["feed-forward", "recurrent"])
def test_a_produced_genome_predicts_like_the_network_it_copies(recurrent):
    model = corvane.Model(3, 2, 7, recurrent)
    x = np.random.default_rng(0).normal(size=(2, 5, 3))
    expected = model.predict(x) if recurrent else model.predict(x[0])
    model.clear()
    genome = produced_genomes(model)[0]
    assert (genome.inputs, genome.outputs, genome.recurrent) == (3, 2, recurrent)
    if recurrent:
        np.testing.assert_array_equal(genome.predict(x), expected)
        genome.clear()
        np.testing.assert_array_equal(genome.predict(x[0]), expected[0])
    else:
        np.testing.assert_array_equal(genome.predict(x[0]), expected)
        with pytest.raises(ValueError, match="2 dimensions \\(multiple samples\\)\\.$"):
            genome.predict(x)


def test_reinitialising_a_produced_genome_leaves_it_without_a_network():
    # __init__ gives the genome what Genome(inputs, outputs) holds: counts and no network.
    genome = produced_genomes(corvane.Model(3, 2))[0]
    genome.__init__(4, 2)
    assert (genome.inputs, genome.outputs, genome.recurrent) == (4, 2, False)
    with pytest.raises(ValueError) as raised:
        genome.predict(np.zeros(4))
    assert str(raised.value) == NO_NETWORK


def test_a_produced_genome_keeps_its_own_state():
    model = corvane.Model(3, 2, 7, True)
    first, second = produced_genomes(model)[:2]
    x = np.random.default_rng(1).normal(size=(4, 3))
    untouched = second.predict(x)
    first.predict(x)
    first.predict(x)
    second.clear()
    np.testing.assert_array_equal(second.predict(x), untouched)


# Releasing networks ---------------------------------------------------------------------------

RELEASE_SCRIPT = textwrap.dedent(
    """
    import os, sys
    import numpy as np
    import corvane

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def churn(rounds):
        for _ in range(rounds):
            corvane.Model(2, 1, 200)  # about 330 kB of tables
            corvane.Model(2, 1, 60, True).predict(np.zeros((3, 4, 2)))
            corvane.Genome(2, 1, True).clear()
        if sys.argv[1] == "produced":
            genomes = []
            # 120 nodes keep the tables large (115 kB); two members keep breeding cheap.
            model = corvane.Model(1, 1, 120)
            for _ in range(rounds // 10):
                model.func_evolve(lambda g: genomes.append(g) or np.zeros(len(g)), pop_size=2, epochs=1, verbose=0)
                genomes.clear()

    churn(20)
    before = resident()
    churn(500)  # 165 MB if the tables were kept
    print(resident() - before)
    """
)


@SKIP_IF_SANITIZED
def test_dropping_models_and_genomes_releases_their_networks():
    done = subprocess.run(
        [sys.executable, "-c", RELEASE_SCRIPT, "plain"], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 40_000_000


@SKIP_IF_SANITIZED
def test_dropping_produced_genomes_releases_their_networks():
    produced_genomes(corvane.Model(2, 1))  # skips until func_evolve is built
    done = subprocess.run(
        [sys.executable, "-c", RELEASE_SCRIPT, "produced"], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 40_000_000
