"""Pickling and copying of Model, Genome and Alpha: what travels, what does not, and refused states."""

import copy
import pickle
import struct

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


def test_pickles_are_compact(tmp_path):
    # Fully connected starts: 44 connections for 10 nodes, 4,949 for 100.
    assert len(pickle.dumps(produced_genome(size=10))) <= 500
    for size in (10, 100):
        model = corvane.Model(2, 1, size, seed=2)
        model.compile(loss="mse", metrics=["mae"])
        path = tmp_path / "m.cv"
        model.save(str(path))
        file_size = len(path.read_bytes())
        assert len(pickle.dumps(model)) <= file_size + 200
        # Per connection a weight and a bit instead of a 16-byte record.
        assert len(model.__reduce__()[2][1]) < 0.6 * file_size


def cv_bytes(n, inputs, outputs, recurrent, biases, codes, records):
    data = struct.pack("<iiiB", n, inputs, outputs, recurrent)
    data += struct.pack("<%dd" % n, *biases) + struct.pack("<%di" % n, *codes)
    return data + b"".join(struct.pack("<iid", s, t, w) for s, t, w in records)


def loaded(tmp_path, *file):
    path = tmp_path / "n.cv"
    path.write_bytes(cv_bytes(*file))
    return corvane.load(str(path))


# Networks a model file can hold, each with the connection form and pair set its pickle takes
# (flag bits: 2 every pair a model file writes, not only the allowed ones; 4 a gap list).
ODD_BIASES = [0.1, -0.0, float("inf"), float("nan"), 5e-324, -1.5]
ODD_NETWORKS = [
    ("dense-feed-forward", lambda tmp: compiled_model(), 0),
    ("dense-recurrent", lambda tmp: compiled_model(recurrent=True), 0),
    ("sparse", lambda tmp: loaded(tmp, 60, 2, 1, 0, [0.5] * 60, [1] * 60,
                                  [(0, 59, 1.0), (1, 30, -2.0), (30, 59, 0.25)]), 4),
    ("into-an-input-node", lambda tmp: loaded(tmp, 4, 2, 1, 0, [0.0] * 4, [0] * 4,
                                              [(0, 1, 3.0), (0, 3, 1.0), (1, 2, 2.0), (2, 3, 1.0)]), 2),
    ("from-an-output-recurrent", lambda tmp: loaded(tmp, 3, 2, 1, 1, [0.0] * 3, [3] * 3,
                                                    [(0, 2, 1.0), (2, 2, 0.5), (2, 0, -1.0), (1, 1, 7.0)]), 2),
    ("odd-values", lambda tmp: loaded(tmp, 6, 2, 2, 0, ODD_BIASES, [0, 1, 2, 3, 1000, -1],
                                      [(0, 2, float("-inf")), (1, 3, float("nan")), (2, 4, -0.0), (3, 5, 1e308),
                                       (0, 5, 2.5)]), 0),
]


@pytest.mark.parametrize("make, flags", [c[1:] for c in ODD_NETWORKS], ids=[c[0] for c in ODD_NETWORKS])
def test_every_network_a_file_holds_survives_a_pickle_bit_for_bit(tmp_path, make, flags):
    model = make(tmp_path)
    state = model.__reduce__()[2]
    assert state[0] == 2 and state[1][3] & 6 == flags  # the counts take a byte each here
    twin = pickle.loads(pickle.dumps(model))
    first, second = tmp_path / "first.cv", tmp_path / "second.cv"
    model.save(str(first))
    twin.save(str(second))
    assert first.read_bytes() == second.read_bytes()


# Made by the corvane that carried the model file's bytes in its pickles (state version 1): a
# compiled Model(2, 1, 3, seed=11) with Alpha(mutation_rate=0.5), loss "mse" and metric "mae".
FILE_FORM_PICKLE = bytes.fromhex(
    "800495b1000000000000008c07636f7276616e65948c054d6f64656c949394298194284b0143510300000002000000"
    "010000000010bc50235e15d9bfe097eccc9c91c73f085c957efe37dabf0000000001000000030000000000000002000000"
    "44feb3d67a13eebf0100000002000000421a2dfe2912c5bf94888c12636f7276616e652e6f7074696d697a657273948c05"
    "416c706861949394473fe0000000000000859452948c036d7365945d948c036d616594615d944e7494622e")


def test_pickles_of_the_model_file_form_still_load(tmp_path):
    model = pickle.loads(FILE_FORM_PICKLE)
    assert model.get_connections() == [(0, 2, {"weight": -0.9398779099864858}),
                                       (1, 2, {"weight": -0.16461682234712965})]
    assert [node[1]["activation"] for node in model.get_nodes()] == ["sigmoid", "tanh", "linear"]
    assert model.predict(X)[:, 0].tolist() == [-0.4096676098028529, -0.5742844321499825, -1.3495455197893387,
                                               -1.5141623421364683]
    assert model.__reduce__()[2][3].__reduce__() == (corvane.optimizers.Alpha, (0.5,))
    assert len(model.evaluate(X, Y)) == 2  # compiled: the loss and its metric
    # A genome state of that form, from a model file.
    path = tmp_path / "m.cv"
    model.save(str(path))
    genome = corvane.Genome.__new__(corvane.Genome)
    genome.__setstate__((1, path.read_bytes(), None))
    np.testing.assert_array_equal(genome.predict(X), model.predict(X))


# Refused states -------------------------------------------------------------------------------


def model_state(**changes):
    names = ["version", "network", "compiled", "optimizer", "loss", "metrics", "monitors", "dict"]
    state = dict(zip(names, compiled_model().__reduce__()[2]))
    state.update(changes)
    return tuple(state[name] for name in names)


BAD_MODEL_STATES = [
    ("not-a-tuple", [1], "The pickled Model state is not a tuple of 8 items."),
    ("short", (1, b""), "The pickled Model state is not a tuple of 8 items."),
    ("future-version", model_state(version=3), "The pickled Model state has a version this corvane does not read."),
    ("bool-version", model_state(version=True), "The pickled Model state has a version this corvane does not read."),
    ("network-str", model_state(network="abc"), "The pickled Model holds no network."),
    ("counts-huge", model_state(network=(2**40, 1, False)), "The pickled Model holds no network."),
    ("counts-int-flag", model_state(network=(0, 0, 1)), "The pickled Model holds no network."),
    # Only a model whose __init__ never ran has no nodes, and its counts are zero.
    ("counts-of-a-genome", model_state(network=(2, 1, False)), "The pickled Model holds no network."),
    ("damaged-file-bytes", model_state(version=1, network=b"\x03\0\0\0\x02\0\0\0"),
     "The model file '<pickled Model>' ends inside its header (13 bytes needed, 8 found)."),
    ("damaged-compact-bytes", model_state(network=b"\x03\x02"),
     "The model file '<pickled Model>' ends inside an output count."),
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


# Packed lists of genomes (what corvane.parallel sends its workers) -------------------------------


def test_packed_genomes_come_back_equal():
    genomes = [produced_genome(), produced_genome(recurrent=True), produced_genome(size=30)]
    back = corvane._core._unpack_genomes(corvane._core._pack_genomes(genomes))
    assert [type(genome) for genome in back] == [corvane.Genome] * 3
    assert [genome.__reduce__() for genome in back] == [genome.__reduce__() for genome in genomes]
    assert corvane._core._unpack_genomes(memoryview(corvane._core._pack_genomes([]))) == []


class TaggedGenome(corvane.Genome):
    pass


@pytest.mark.parametrize("genomes, error, message", [
    ((), TypeError, "_pack_genomes takes a list of genomes."),
    ([1], TypeError, "_pack_genomes packs Genome objects, got int at index 0."),
    ([None, TaggedGenome(2, 1)], TypeError, "_pack_genomes packs Genome objects, got NoneType at index 0."),
    ([TaggedGenome(2, 1)], TypeError, "_pack_genomes packs Genome objects, got TaggedGenome at index 0."),
    ([corvane.Genome(2, 1)], ValueError, "_pack_genomes packs genomes with a network; the one at index 0 has none."),
], ids=["tuple", "int", "none", "subclass", "no-network"])
def test_what_does_not_pack_is_refused(genomes, error, message):
    with pytest.raises(error) as raised:
        corvane._core._pack_genomes(genomes)
    assert str(raised.value) == message


def packed_pair():
    return corvane._core._pack_genomes([produced_genome(size=4), produced_genome(size=4)])


BAD_PACKS = [
    ("empty", lambda: b"", "The <packed genomes> do not start with a version this corvane reads."),
    ("other-version", lambda: b"\x02" + packed_pair()[1:],
     "The <packed genomes> do not start with a version this corvane reads."),
    ("no-count", lambda: b"\x01", "The <packed genomes> end inside a length."),
    ("count-beyond-the-bytes", lambda: b"\x01\x05\x00\x00", "The <packed genomes> claim 5 genomes in 2 bytes."),
    ("length-beyond-the-bytes", lambda: packed_pair()[:-1], "The <packed genomes> end inside genome 1."),
    ("bytes-after-the-last", lambda: packed_pair() + b"\x00", "The <packed genomes> go on after their last genome."),
    ("damaged-genome", lambda: b"\x01\x01\x02\x03\x02", "The model file '<packed genomes>' ends inside an output count."),
]


@pytest.mark.parametrize("make, message", [c[1:] for c in BAD_PACKS], ids=[c[0] for c in BAD_PACKS])
def test_damaged_packs_raise_value_error(make, message):
    with pytest.raises(ValueError) as raised:
        corvane._core._unpack_genomes(make())
    assert str(raised.value) == message
