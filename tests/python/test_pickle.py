"""Pickling and copying of Model, Genome and Alpha: what travels, what does not, and refused states."""

import copy
import pickle

import numpy as np
import pytest

import corvane

X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
Y = np.array([[0.0], [1.0], [1.0], [0.0]])

# Every way an object can be duplicated: each pickle protocol from 2, copy.copy and copy.deepcopy.
DUPLICATES = [pytest.param(lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)), id="pickle-%d" % p)
              for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
DUPLICATES += [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


def structure(model):
    return model.size, model.inputs, model.outputs, model.recurrent, model.get_nodes(), model.get_connections()


def compiled_model(recurrent=False):
    model = corvane.Model(2, 1, 6, recurrent, seed=3)
    model.compile(optimizer=corvane.optimizers.Alpha(mutation_rate=0.25), loss="mae", metrics=["mse", "mape"],
                  monitors=["size"])
    return model


def produced_genome(recurrent=False, size=10):
    """A genome as func_evolve hands it to a fitness function."""
    kept = []

    def score(genomes):
        kept.extend(genomes)
        return np.zeros(len(genomes))

    model = corvane.Model(2, 1, size, recurrent, seed=5)
    model.compile()
    model.func_evolve(score, pop_size=3, epochs=1, verbose=0, seed=1)
    return kept[0]


@pytest.mark.parametrize("duplicate", DUPLICATES)
@pytest.mark.parametrize("recurrent", [False, True], ids=["feed-forward", "recurrent"])
def test_a_duplicated_model_evaluates_and_evolves_like_the_original(duplicate, recurrent):
    model = compiled_model(recurrent)
    twin = duplicate(model)
    assert type(twin) is corvane.Model and twin is not model
    assert structure(twin) == structure(model)
    x = X[None] if recurrent else X
    y = Y[None] if recurrent else Y
    np.testing.assert_array_equal(twin.predict(x), model.predict(x))
    assert twin.evaluate(x, y) == model.evaluate(x, y)  # the loss and both metrics
    # The same seeded run from both: the same history (with the size monitor) and the same network.
    assert twin.evolve(x, y, pop_size=8, epochs=2, verbose=0, seed=9) == \
        model.evolve(x, y, pop_size=8, epochs=2, verbose=0, seed=9)
    assert structure(twin) == structure(model)


@pytest.mark.parametrize("duplicate", DUPLICATES)
def test_duplicates_are_independent(duplicate):
    model = compiled_model()
    twin = duplicate(model)
    before = structure(model)
    twin.evolve(X, Y, pop_size=8, epochs=2, verbose=0, seed=1)
    twin.compile(loss="mse")
    assert structure(model) == before
    assert len(model.evaluate(X, Y)) == 3


@pytest.mark.parametrize("duplicate", DUPLICATES)
def test_an_uncompiled_model_stays_uncompiled(duplicate):
    twin = duplicate(corvane.Model(3, 2, seed=1))
    with pytest.raises(RuntimeError, match="You must compile your model before evaluating"):
        twin.evaluate(np.zeros((1, 3)), np.zeros((1, 2)))


def test_a_model_compiled_without_loss_keeps_its_metrics_only():
    model = corvane.Model(2, 1, seed=1)
    model.compile(metrics=["mae"])
    twin = pickle.loads(pickle.dumps(model))
    assert twin.evaluate(X, Y) == model.evaluate(X, Y)
    with pytest.raises(RuntimeError):
        twin.evolve(X, Y, epochs=1, verbose=0)  # no loss, as for the original


def test_the_optimizer_and_its_rate_travel():
    model = compiled_model()
    state = pickle.loads(pickle.dumps(model)).__reduce__()[2]
    optimizer = state[3]
    assert type(optimizer) is corvane.optimizers.Alpha
    assert optimizer.__reduce__() == (corvane.optimizers.Alpha, (0.25,))
    assert state[4:7] == ("mae", ["mse", "mape"], ["size"])


@pytest.mark.parametrize("duplicate", DUPLICATES)
@pytest.mark.parametrize("recurrent", [False, True], ids=["feed-forward", "recurrent"])
def test_a_duplicated_genome_predicts_like_the_original(duplicate, recurrent):
    genome = produced_genome(recurrent)
    twin = duplicate(genome)
    assert type(twin) is corvane.Genome
    assert (twin.inputs, twin.outputs, twin.recurrent) == (genome.inputs, genome.outputs, genome.recurrent)
    x = X[None] if recurrent else X
    np.testing.assert_array_equal(twin.predict(x), genome.predict(x))


@pytest.mark.parametrize("make", [lambda: corvane.Genome(4, 3, True), lambda: corvane.Model.__new__(corvane.Model),
                                  lambda: corvane.Genome.__new__(corvane.Genome)],
                         ids=["genome-from-python", "uninitialised-model", "uninitialised-genome"])
def test_objects_without_a_network_keep_their_counts(make):
    original = make()
    twin = pickle.loads(pickle.dumps(original))
    assert (twin.inputs, twin.outputs, twin.recurrent) == (original.inputs, original.outputs, original.recurrent)
    with pytest.raises(ValueError):
        twin.predict(np.zeros((1, max(original.inputs, 1))))


def test_recurrent_state_is_not_carried():
    genome = produced_genome(recurrent=True)
    first = genome.predict(X[None])
    twin = pickle.loads(pickle.dumps(genome))
    # The original carries on from its state; the copy starts cleared, as a new sequence does.
    genome.predict(X[None])
    np.testing.assert_array_equal(twin.predict(X[None]), first)


class Tagged(corvane.Model):
    def __init__(self, tag):
        super().__init__(2, 1, seed=4)
        self.tag = tag


class TaggedAlpha(corvane.optimizers.Alpha):
    pass


def test_subclasses_keep_their_type_and_attributes():
    model = Tagged("blue")
    optimizer = TaggedAlpha(0.75)
    optimizer.note = [1, 2]
    model.compile(optimizer=optimizer, loss="mse")
    twin = pickle.loads(pickle.dumps(model))
    assert type(twin) is Tagged and twin.tag == "blue"
    assert structure(twin) == structure(model)
    twin_optimizer = twin.__reduce__()[2][3]
    assert type(twin_optimizer) is TaggedAlpha and twin_optimizer.note == [1, 2]
    assert twin_optimizer.__reduce__()[1] == (0.75,)


def test_a_pickle_carries_the_model_file_and_little_more(tmp_path):
    model = compiled_model()
    path = tmp_path / "m.cv"
    model.save(str(path))
    assert model.__reduce__()[2][1] == path.read_bytes()
    assert len(pickle.dumps(model)) <= len(path.read_bytes()) + 200
    genome = produced_genome(size=10)
    assert len(pickle.dumps(genome)) <= len(genome.__reduce__()[2][1]) + 100


# Refused states -------------------------------------------------------------------------------


def model_state(**changes):
    names = ["version", "network", "compiled", "optimizer", "loss", "metrics", "monitors", "dict"]
    state = dict(zip(names, compiled_model().__reduce__()[2]))
    state.update(changes)
    return tuple(state[name] for name in names)


BAD_MODEL_STATES = [
    ("not-a-tuple", [1], "The pickled Model state is not a tuple of 8 items."),
    ("short", (1, b""), "The pickled Model state is not a tuple of 8 items."),
    ("future-version", model_state(version=2), "The pickled Model state has a version this corvane does not read."),
    ("bool-version", model_state(version=True), "The pickled Model state has a version this corvane does not read."),
    ("network-str", model_state(network="abc"), "The pickled Model holds no network."),
    ("counts-huge", model_state(network=(2**40, 1, False)), "The pickled Model holds no network."),
    ("counts-int-flag", model_state(network=(0, 0, 1)), "The pickled Model holds no network."),
    # Only a model whose __init__ never ran has no nodes, and its counts are zero.
    ("counts-of-a-genome", model_state(network=(2, 1, False)), "The pickled Model holds no network."),
    ("damaged-bytes", model_state(network=b"\x03\0\0\0\x02\0\0\0"),
     "The model file '<pickled Model>' ends inside its header (13 bytes needed, 8 found)."),
    ("compiled-int", model_state(compiled=1), "The pickled Model has a compiled flag that is not a bool."),
    ("optimizer-str", model_state(optimizer="alpha"), "The pickled Model has an optimizer that is not an optimizer."),
    ("loss-none", model_state(loss=None), "The pickled Model has a loss that is not a name."),
    ("loss-unknown", model_state(loss="hinge"), "The pickled Model has an unknown loss name 'hinge'."),
    ("metrics-tuple", model_state(metrics=("mse",)), "The pickled Model has metrics that are not a list."),
    ("metric-int", model_state(metrics=[3]), "The pickled Model has metrics that are not names."),
    ("monitor-unknown", model_state(monitors=["depth"]), "The pickled Model has an unknown monitor name 'depth'."),
    ("dict-list", model_state(dict=[("a", 1)]),
     "The pickled Model has an attribute dictionary that is not a dict."),
    ("dict-without-room", model_state(dict={"a": 1}), "The pickled Model has attributes this object cannot hold."),
]


@pytest.mark.parametrize("state, message", [c[1:] for c in BAD_MODEL_STATES], ids=[c[0] for c in BAD_MODEL_STATES])
def test_bad_model_states_raise_value_error_and_change_nothing(state, message):
    model = compiled_model()
    before = structure(model), model.evaluate(X, Y)
    with pytest.raises(ValueError) as error:
        model.__setstate__(state)
    assert str(error.value) == message
    assert (structure(model), model.evaluate(X, Y)) == before


BAD_GENOME_STATES = [
    ("short", (1,), "The pickled Genome state is not a tuple of 3 items."),
    ("negative-version", (-1, (2, 1, False), None), "The pickled Genome state has a version this corvane does not read."),
    ("network-none", (1, None, None), "The pickled Genome holds no network."),
    ("cut-in-record", (1, b"\x03\0\0\0\x02\0\0\0\x01\0\0\0\0" + bytes(36) + bytes(5), None),
     "The model file '<pickled Genome>' ends inside connection record 0 (16 bytes needed, 5 found)."),
]


@pytest.mark.parametrize("state, message", [c[1:] for c in BAD_GENOME_STATES], ids=[c[0] for c in BAD_GENOME_STATES])
def test_bad_genome_states_raise_value_error_and_change_nothing(state, message):
    genome = produced_genome()
    before = genome.predict(X)
    with pytest.raises(ValueError) as error:
        genome.__setstate__(state)
    assert str(error.value) == message
    np.testing.assert_array_equal(genome.predict(X), before)
