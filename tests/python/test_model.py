import os
import gc
import subprocess
import sys

import numpy as np
import pytest

import corvane

# Under AddressSanitizer freed memory waits in quarantine: the resident size says nothing there.
SKIP_IF_SANITIZED = pytest.mark.skipif(bool(os.environ.get("CORVANE_SANITIZED")), reason="resident size under ASan")

ACTIVATIONS = {"sigmoid", "tanh", "relu", "linear"}


def connection_pairs(model):
    return [(s, t) for s, t, _ in model.get_connections()]


def test_module_attributes_and_docs():
    assert corvane.__doc__ == "Corvane allows training models through neuro-evolution."
    assert corvane.Model.__name__ == "Model"
    assert corvane.Model.__module__ == "corvane"
    assert corvane.Model.__doc__ == "A Corvane model that can be evolved on datasets and fitness functions."
    assert corvane.Genome.__doc__ == "A lightweight Corvane model that can only be used for predictions."
    assert corvane.optimizers.__name__ == "corvane.optimizers"
    assert callable(corvane.load) and callable(corvane.from_keras)


def test_small_model_shape():
    model = corvane.Model(2, 1)
    assert (model.size, model.inputs, model.outputs, model.recurrent) == (3, 2, 1, False)
    connections = model.get_connections()
    assert [(s, t) for s, t, _ in connections] == [(0, 2), (1, 2)]
    assert all(set(extra) == {"weight"} and isinstance(extra["weight"], float) for _, _, extra in connections)
    nodes = model.get_nodes()
    assert [index for index, _ in nodes] == [0, 1, 2]
    for _, node in nodes:
        assert set(node) == {"bias", "activation"}
        assert node["activation"] in ACTIVATIONS
        assert isinstance(node["bias"], float)


FULL_FEED_FORWARD = [(0, 2), (0, 3), (0, 4), (1, 2), (1, 3), (1, 4), (2, 3), (2, 4), (3, 4)]
FULL_RECURRENT = [(s, t) for s in range(4) for t in range(2, 5)]


@pytest.mark.parametrize(
    "args, kwargs, size, expected",
    [
        ((2, 1, 5), {}, 5, FULL_FEED_FORWARD),
        ((2, 1, 5, True), {}, 5, FULL_RECURRENT),
        ((2, 1), {"size": 5, "recurrent": True}, 5, FULL_RECURRENT),
        ((), {"inputs": 2, "outputs": 1, "size": 5}, 5, FULL_FEED_FORWARD),
        ((2, 1, -1), {}, 3, [(0, 2), (1, 2)]),
    ],
    ids=["ff", "recurrent", "keywords", "all-keywords", "size-default"],
)
def test_initial_network_is_fully_connected(args, kwargs, size, expected):
    model = corvane.Model(*args, **kwargs)
    assert connection_pairs(model) == expected
    assert model.size == size


def test_counts_and_sizes_of_larger_models():
    model = corvane.Model(3, 2, 10, True)
    assert model.size == 10 and len(model.get_nodes()) == 10
    assert len(model.get_connections()) == (10 - 2) * (10 - 3)
    assert model.recurrent is True


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((0, 1), ValueError, "A model needs at least one input and one output."),
        ((2, 0), ValueError, "A model needs at least one input and one output."),
        ((-3, 1), ValueError, "A model needs at least one input and one output."),
        ((2, 1, 2), ValueError, "The size of a model (2) must be -1 or at least its inputs plus outputs (3)."),
        ((2, 1, -2), ValueError, "The size of a model (-2) must be -1 or at least its inputs plus outputs (3)."),
        ((2, 1, 0), ValueError, "The size of a model (0) must be -1 or at least its inputs plus outputs (3)."),
        ((2, 1, 500000), MemoryError, None),
    ],
    ids=["no-inputs", "no-outputs", "negative-inputs", "size-too-small", "size-negative", "size-zero", "too-large"],
)
def test_bad_constructor_values(args, error, message):
    with pytest.raises(error) as info:
        corvane.Model(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((2,), {}), (("2", 1), {}), ((2, 1), {"colour": 3}), ((2.5, 1), {}), ((2, 1, 3, True, 1), {})],
    ids=["none", "one", "str", "unknown-keyword", "float", "too-many"],
)
def test_bad_constructor_arguments_are_type_errors(args, kwargs):
    with pytest.raises(TypeError):
        corvane.Model(*args, **kwargs)


def test_failed_reinit_keeps_the_model():
    model = corvane.Model(2, 1, 4)
    before = model.get_connections()
    with pytest.raises(ValueError):
        model.__init__(2, 1, 1)
    assert model.get_connections() == before and model.size == 4
    model.__init__(3, 2)
    assert (model.size, model.inputs, model.outputs) == (5, 3, 2)


def test_recurrent_property():
    model = corvane.Model(2, 1, 5)
    before = model.get_connections()
    model.recurrent = True
    assert model.recurrent is True
    assert model.get_connections() == before
    model.recurrent = False
    assert model.recurrent is False
    for value in (1, 0, None, "yes"):
        with pytest.raises(TypeError) as info:
            model.recurrent = value
        assert str(info.value) == "The recurrent attribute must be a boolean."
    with pytest.raises(TypeError) as info:
        del model.recurrent
    assert str(info.value) == "The recurrent attribute cannot be deleted."
    assert model.recurrent is False


@pytest.mark.parametrize("name", ["size", "inputs", "outputs"])
def test_members_are_read_only(name):
    model = corvane.Model(2, 1)
    with pytest.raises(AttributeError):
        setattr(model, name, 7)


def test_member_docs():
    assert corvane.Model.size.__doc__ == "Total number of nodes in the model (including inputs and outputs)."
    assert corvane.Model.inputs.__doc__ == "The number of inputs of the model."
    assert corvane.Model.outputs.__doc__ == "The number of outputs of the model."
    assert corvane.Model.recurrent.__doc__ == "Returns whether the network is recurrent or not."


METHOD_SIGNATURES = {
    "evolve": "($self, x_train, y_train, pop_size=100, batch_size=-1, epochs=100, validation_data=None, verbose=1, "
    "*, seed=None, workers=None, callbacks=None)",
    "func_evolve": "($self, train_func, pop_size=100, epochs=100, verbose=1, validation_func=None, *, seed=None, "
    "workers=None, callbacks=None)",
    "predict": "($self, x, /)",
    "evaluate": "($self, x, y, /)",
    "compile": "($self, optimizer='alpha', loss='', metrics=[], monitors=[])",
    "get_nodes": "($self)",
    "get_connections": "($self)",
    "to_keras": "($self)",
    "save": "($self, path, /)",
    "clear": "($self)",
}


@pytest.mark.parametrize("name", sorted(METHOD_SIGNATURES))
def test_method_signatures(name):
    method = getattr(corvane.Model, name)
    assert method.__text_signature__ == METHOD_SIGNATURES[name]


def test_method_docs():
    assert corvane.Model.clear.__doc__ == (
        "Clears the recurrent state of the model, preparing it for a new sequence of inputs."
    )
    assert corvane.Model.get_nodes.__doc__ == "Returns a list of nodes contained in the network."
    assert corvane.Model.save.__doc__ == "Saves the model using the '.cv' format."
    assert corvane.load.__text_signature__ == "(path, /)"
    assert corvane.from_keras.__text_signature__ == "(keras_model, /)"


def test_clear_returns_none():
    model = corvane.Model(2, 1, 4, True)
    assert model.clear() is None


def test_subclassing():
    class Named(corvane.Model):
        def __init__(self, name):
            super().__init__(2, 1, 4)
            self.name = name

    model = Named("x")
    assert model.name == "x" and model.size == 4
    assert isinstance(model, corvane.Model)


def test_uninitialised_model_has_no_nodes():
    model = corvane.Model.__new__(corvane.Model)
    assert model.size == 0
    assert model.get_nodes() == [] and model.get_connections() == []
    assert model.clear() is None


def test_unknown_activation_code_is_listed_as_unknown(tmp_path):
    # A file can hold any code; such a node computes 0 and is listed by a name of its own.
    import struct

    path = tmp_path / "odd.cv"
    header = struct.pack("<iiiB", 3, 2, 1, 0)
    biases = struct.pack("<3d", 0.0, 0.0, 0.5)
    codes = struct.pack("<3i", 0, 0, 9)
    record = struct.pack("<iid", 0, 2, 1.0) + struct.pack("<iid", 1, 2, 1.0)
    path.write_bytes(header + biases + codes + record)
    model = corvane.load(str(path))
    assert model.get_nodes()[2][1]["activation"] == "unknown"


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@SKIP_IF_SANITIZED
def test_dropping_models_releases_their_memory():
    # 400-node networks hold about 1.3 MB of tables each: a leak of 300 of them shows plainly.
    for _ in range(20):
        corvane.Model(4, 2, 400)
    gc.collect()
    before = rss_kib()
    for _ in range(300):
        corvane.Model(4, 2, 400)
    gc.collect()
    assert rss_kib() - before < 50_000


def test_module_imports_without_keras():
    code = "import sys; sys.modules['keras'] = None; import corvane; print(corvane.Model(2, 1).size)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "3"


def _compiled():
    model = corvane.Model(2, 1)
    model.compile(loss="mse")
    return model


SEED_CALLS = {
    "Model": lambda seed: corvane.Model(2, 1, seed=seed),
    "evolve": lambda seed: _compiled().evolve(np.zeros((2, 2)), np.zeros((2, 1)), pop_size=2, epochs=1, verbose=0,
                                              seed=seed),
    "func_evolve": lambda seed: corvane.Model(2, 1).func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=1,
                                                                verbose=0, seed=seed),
}


@pytest.mark.parametrize("call", sorted(SEED_CALLS))
@pytest.mark.parametrize("seed", [None, 0, 2**64 - 1], ids=["none", "zero", "largest"])
def test_seed_accepts_none_and_64_bit_ints(call, seed):
    SEED_CALLS[call](seed)


@pytest.mark.parametrize("call", sorted(SEED_CALLS))
@pytest.mark.parametrize(
    "seed, error, message",
    [
        (True, TypeError, "seed must be an int or None, got bool."),
        (1.0, TypeError, "seed must be an int or None, got float."),
        ("1", TypeError, "seed must be an int or None, got str."),
        (-1, ValueError, "seed must be between 0 and 2**64 - 1, got -1."),
        (2**64, ValueError, "seed must be between 0 and 2**64 - 1, got 18446744073709551616."),
    ],
    ids=["bool", "float", "str", "negative", "too-large"],
)
def test_seed_refuses_other_values(call, seed, error, message):
    with pytest.raises(error) as raised:
        SEED_CALLS[call](seed)
    assert str(raised.value) == message


def test_seed_is_keyword_only():
    with pytest.raises(TypeError):
        corvane.Model(2, 1, -1, False, 7)


PUBLIC_SIGNATURES = {
    "Model": (corvane.Model, "(inputs, outputs, size=-1, recurrent=False, *, seed=None)"),
    "Genome": (corvane.Genome, "(inputs, outputs, recurrent=False)"),
    "Alpha": (corvane.optimizers.Alpha, "(mutation_rate=0.5)"),
    "load": (corvane.load, "(path, /)"),
    "from_keras": (corvane.from_keras, "(keras_model, /)"),
    "evolve": (corvane.Model(1, 1).evolve,
               "(x_train, y_train, pop_size=100, batch_size=-1, epochs=100, validation_data=None, verbose=1, *, "
               "seed=None, workers=None, callbacks=None)"),
    "compile": (corvane.Model(1, 1).compile, "(optimizer='alpha', loss='', metrics=[], monitors=[])"),
    "predict": (corvane.Genome(1, 1).predict, "(x, /)"),
}


@pytest.mark.parametrize("name", sorted(PUBLIC_SIGNATURES))
def test_inspect_shows_the_true_signature(name):
    import inspect

    target, expected = PUBLIC_SIGNATURES[name]
    assert str(inspect.signature(target)) == expected
