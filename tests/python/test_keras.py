"""Model.to_keras and corvane.from_keras.

The import is tested on stand-in objects shaped like the layers of older Keras releases and of
Keras 3, so that it runs without Keras; export and round trips run against the installed Keras.
"""

import os
import struct
import subprocess
import sys
from types import SimpleNamespace

os.environ["KERAS_BACKEND"] = "numpy"

import numpy as np
import pytest

import corvane
from reference import Reference

NAMES = ["sigmoid", "tanh", "relu", "linear"]


def model_from_bytes(tmp_path, n, inputs, outputs, biases, codes, records, recurrent=0):
    data = struct.pack("<iiiB", n, inputs, outputs, recurrent)
    data += struct.pack("<%dd" % n, *biases) + struct.pack("<%di" % n, *codes)
    for record in records:
        data += struct.pack("<iid", *record)
    path = tmp_path / "model.cv"
    path.write_bytes(data)
    return corvane.load(str(path))


@pytest.fixture
def five_nodes(tmp_path):
    """2 inputs, hidden node 2 fed by 0 and 1, output 3 fed by 0 and 2, output 4 fed by 2 alone."""
    return model_from_bytes(tmp_path, 5, 2, 2, [9.0, -9.0, 0.5, -0.25, 1.5], [0, 2, 1, 0, 2],
                            [(0, 2, 0.75), (1, 2, -1.5), (0, 3, 2.0), (2, 3, -0.5), (2, 4, 1.25)])


def reference_predict(model, x, float32=False):
    """The feed-forward pass of the listed network on a sample or a batch (Keras holds float32 values)."""
    return Reference(model, float32=float32).series(np.atleast_2d(x))


# ---- Stand-ins for Keras layers, in the attribute forms of older Keras and of Keras 3.

def activation(name):
    def function(x):
        return x

    function.__name__ = name
    return function


class Layer:
    def __init__(self, name, inbound, style, shape=None, weights=None, act=None):
        self.name = name
        if style == "old":
            # Older Keras: a single inbound layer for one input, a list for several.
            linked = inbound[0] if len(inbound) == 1 else list(inbound)
            self._inbound_nodes = [SimpleNamespace(inbound_layers=linked)]
            if shape is not None:
                self.output_shape = shape
        else:
            # Keras 3: no inbound_layers and no output_shape; tensors carry their history.
            tensors = [SimpleNamespace(_keras_history=(layer, 0, 0)) for layer in inbound]
            self._inbound_nodes = [SimpleNamespace(input_tensors=tensors, parent_nodes=[])]
            if shape is not None:
                self.output = SimpleNamespace(shape=shape)
        self.weights = weights
        if act is not None:
            self.activation = activation(act)

    def get_weights(self):
        return self.weights


def fake_export(model, style="old"):
    """What to_keras builds, as stand-in layers: input, node layers, Concatenates, output."""
    I, O, n = model.inputs, model.outputs, model.size
    nodes = model.get_nodes()
    weight = {(s, t): d["weight"] for s, t, d in model.get_connections() if s < t}
    x = Layer("input_layer", [], style, shape=[(None, I)] if style == "old" else (None, I))
    layers, by_index = [x], {}
    for i in range(n):
        if i < I:
            feed, kernel, bias, act = [x], np.eye(I)[:, i:i + 1], np.zeros(1), "linear"
        else:
            sources = sorted(s for s, t in weight if t == i)
            feed = [by_index[j] for j in sources]
            if len(feed) > 1:
                feed = [Layer("concatenate_%d" % i, feed, style)]
                layers.append(feed[0])
            kernel = np.array([[weight[(j, i)]] for j in sources])
            bias, act = np.array([nodes[i][1]["bias"]]), nodes[i][1]["activation"]
        by_index[i] = Layer("node%d" % i, feed, style, weights=[kernel, bias], act=act)
        layers.append(by_index[i])
    if O > 1:
        layers.append(Layer("concatenate", [by_index[j] for j in range(n - O, n)], style, shape=(None, O)))
    return SimpleNamespace(layers=layers)


def layer(keras_model, name):
    return next(item for item in keras_model.layers if item.name == name)


@pytest.mark.parametrize("style", ["old", "keras3"])
def test_import_rebuilds_the_network_exactly(five_nodes, style):
    for model in (five_nodes, corvane.Model(3, 2, 9), corvane.Model(1, 1)):
        back = corvane.from_keras(fake_export(model, style))
        assert type(back) is corvane.Model
        assert (back.size, back.inputs, back.outputs, back.recurrent) == (model.size, model.inputs,
                                                                          model.outputs, False)
        assert back.get_connections() == model.get_connections()
        assert back.get_nodes()[model.inputs:] == model.get_nodes()[model.inputs:]
        # Nothing of the input nodes is exported: they come back with bias 0 and code 0.
        assert back.get_nodes()[:model.inputs] == [(i, {"bias": 0.0, "activation": "sigmoid"})
                                                   for i in range(model.inputs)]


def test_single_output_and_single_source(five_nodes):
    model = corvane.Model(2, 1, 4)
    fake = fake_export(model)
    assert fake.layers[-1].name == "node3"
    assert corvane.from_keras(fake).outputs == 1
    back = corvane.from_keras(fake_export(five_nodes))
    assert [(s, t) for s, t, _ in back.get_connections() if t == 4] == [(2, 4)]


def test_a_zero_weight_is_still_a_connection(five_nodes):
    fake = fake_export(five_nodes)
    layer(fake, "node4").weights[0][0, 0] = 0.0
    assert (2, 4, {"weight": 0.0}) in corvane.from_keras(fake).get_connections()


def test_other_layers_are_ignored_and_wide_arrays_accepted(five_nodes):
    fake = fake_export(five_nodes)
    fake.layers.insert(3, Layer("dropout", [], "old"))  # neither first, last nor inbound: not read
    node3 = layer(fake, "node3")
    node3.weights = [np.array([[2.0, 7.0], [-0.5, 7.0]], dtype=np.float32), [-0.25, 3.0]]  # column 0, item 0
    back = corvane.from_keras(fake)
    assert back.get_connections() == five_nodes.get_connections()
    assert back.get_nodes()[3] == five_nodes.get_nodes()[3]


def edit(name, change):
    def apply(fake):
        change(fake, layer(fake, name) if name else None)

    return apply


def rename(name, new):
    return edit(name, lambda fake, item: setattr(item, "name", new))


def set_inbound(name, value):
    return edit(name, lambda fake, item: item._inbound_nodes[0].__setattr__("inbound_layers", value))


def feed_concat(*names):
    return edit("node3", lambda fake, item: setattr(item._inbound_nodes[0].inbound_layers._inbound_nodes[0],
                                                    "inbound_layers", [layer(fake, n) for n in names]))


def set_weights(name, weights):
    return edit(name, lambda fake, item: setattr(item, "weights", weights))


def failing_weights(fake, item):
    def get_weights():
        raise RuntimeError("weights are gone")

    item.get_weights = get_weights


BAD_IMPORTS = [
    ("no_layers", lambda fake: fake.layers.clear(), ValueError, "The Keras model has no layers."),
    ("layers_tuple", lambda fake: setattr(fake, "layers", tuple(fake.layers)), TypeError,
     "The layers attribute of the Keras model must be a list."),
    ("first_is_node", lambda fake: fake.layers.pop(0), ValueError,
     "The first layer of the Keras model must be its input layer, not the node layer 'node0'."),
    ("no_input_shape", edit("input_layer", lambda fake, item: delattr(item, "output_shape")), ValueError,
     "The output shape of the layer 'input_layer' gives no number of inputs."),
    ("empty_shape_list", edit("input_layer", lambda fake, item: setattr(item, "output_shape", [])), ValueError,
     "The output shape of the layer 'input_layer' gives no number of inputs."),
    ("shape_without_width", edit("input_layer", lambda fake, item: setattr(item, "output_shape", [(None,)])),
     ValueError, "The output shape of the layer 'input_layer' gives no number of inputs."),
    ("width_none", edit("concatenate", lambda fake, item: setattr(item, "output_shape", (None, None))),
     ValueError, "The output shape of the layer 'concatenate' gives no number of outputs."),
    ("zero_outputs", edit("concatenate", lambda fake, item: setattr(item, "output_shape", (None, 0))),
     ValueError, "The output shape of the layer 'concatenate' gives 0 outputs; a model needs at least one."),
    ("too_many_outputs", edit("concatenate", lambda fake, item: setattr(item, "output_shape", (None, 4))),
     ValueError, "The Keras model has 5 node layers, fewer than its 2 inputs plus 4 outputs."),
    ("name_not_index", rename("node2", "node2a"), ValueError,
     "The layer 'node2a' is named like a node layer but does not end in a node index."),
    ("name_signed", rename("node2", "node+2"), ValueError,
     "The layer 'node+2' is named like a node layer but does not end in a node index."),
    ("name_bare", rename("node2", "node"), ValueError,
     "The layer 'node' is named like a node layer but does not end in a node index."),
    ("name_not_str", rename("node2", 2), TypeError, "A layer's name must be a string."),
    ("index_outside", rename("node4", "node7"), ValueError,
     "The node layer 'node7' has an index outside 0 .. 4, the nodes of a model with 5 node layers."),
    ("index_repeated", rename("node4", "node3"), ValueError, "Two node layers carry the index 3."),
    ("source_not_node", feed_concat("node0", "input_layer"), ValueError,
     "The node layer 'node3' is fed by the layer 'input_layer', which is not a node layer."),
    ("source_later", feed_concat("node0", "node4"), ValueError,
     "The node layer 'node3' is fed by 'node4'; a node can only be fed by lower-numbered nodes."),
    ("source_twice", feed_concat("node0", "node0"), ValueError, "The node layer 'node3' is fed twice by 'node0'."),
    ("no_source", feed_concat(), ValueError, "The node layer 'node3' has no source."),
    ("two_inbound", edit("node4", lambda fake, item: item._inbound_nodes[0].__setattr__(
        "inbound_layers", [layer(fake, "node0"), layer(fake, "node2")])), ValueError,
     "The node layer 'node4' must have exactly one inbound layer, not 2."),
    ("not_connected", edit("node2", lambda fake, item: setattr(item, "_inbound_nodes", [])), ValueError,
     "The layer 'node2' is not connected to any layer."),
    ("no_graph_node", edit("node2", lambda fake, item: delattr(item, "_inbound_nodes")), TypeError,
     "The layer 'node2' has no attribute '_inbound_nodes'; from_keras expects a Keras model made by "
     "model.to_keras()."),
    ("kernel_short", set_weights("node3", [np.ones((1, 1)), np.ones(1)]), ValueError,
     "The kernel of the layer 'node3' has 1 rows and 1 columns; it needs one row for each of its 2 sources "
     "and at least one column."),
    ("kernel_long", set_weights("node4", [np.ones((3, 1)), np.ones(1)]), ValueError,
     "The kernel of the layer 'node4' has 3 rows and 1 columns; it needs one row for each of its 1 sources "
     "and at least one column."),
    ("kernel_no_column", set_weights("node3", [np.ones((2, 0)), np.ones(1)]), ValueError,
     "The kernel of the layer 'node3' has 2 rows and 0 columns; it needs one row for each of its 2 sources "
     "and at least one column."),
    ("bias_empty", set_weights("node2", [np.ones((2, 1)), np.ones(0)]), ValueError,
     "The bias of the layer 'node2' is empty."),
    ("weights_single", set_weights("node2", [np.ones((2, 1))]), ValueError,
     "get_weights() of the layer 'node2' must give a kernel and a bias."),
    ("weights_none", set_weights("node2", None), ValueError,
     "get_weights() of the layer 'node2' must give a kernel and a bias."),
    # NumPy's own conversion errors pass through.
    ("kernel_text", set_weights("node2", [np.array([["a"], ["b"]]), np.ones(1)]), (TypeError, ValueError), None),
    ("kernel_object", set_weights("node2", [np.array([[None], [None]]), np.ones(1)]), (TypeError, ValueError),
     None),
    ("kernel_scalar", set_weights("node2", [object(), np.ones(1)]), (TypeError, ValueError), None),
    ("bias_2d", set_weights("node2", [np.ones((2, 1)), np.ones((1, 1))]), ValueError, None),
    ("get_weights_fails", edit("node2", failing_weights), RuntimeError, "weights are gone"),
    ("unknown_activation", edit("node2", lambda fake, item: setattr(item, "activation", activation("softmax"))),
     ValueError, "The layer 'node2' uses the activation 'softmax'; only sigmoid, tanh, relu and linear can be "
                 "converted."),
    ("activation_name_not_str", edit("node2", lambda fake, item: setattr(item, "activation", SimpleNamespace(__name__=3))),
     TypeError, "The activation of the layer 'node2' has a name that is not a string."),
]


@pytest.mark.parametrize("change, kind, message", [case[1:] for case in BAD_IMPORTS],
                         ids=[case[0] for case in BAD_IMPORTS])
def test_malformed_graphs_raise(five_nodes, change, kind, message):
    fake = fake_export(five_nodes)
    change(fake)
    with pytest.raises(kind) as info:
        corvane.from_keras(fake)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("args, kind", [((), TypeError), ((1, 2), TypeError), ((42,), TypeError)],
                         ids=["none", "two", "not_a_model"])
def test_from_keras_takes_one_model(args, kind):
    with pytest.raises(kind):
        corvane.from_keras(*args)


def test_keras3_fallback_to_parent_nodes(five_nodes):
    fake = fake_export(five_nodes, "keras3")
    for item in fake.layers:
        node = item._inbound_nodes[0]
        node.parent_nodes = [SimpleNamespace(operation=t._keras_history[0]) for t in node.input_tensors]
        del node.input_tensors
    assert corvane.from_keras(fake).get_connections() == five_nodes.get_connections()


# ---- Export errors that come before Keras is needed.

RECURRENT_MESSAGE = ("Recurrent models cannot yet be converted to Keras. Please use model.save() to save "
                     "your model.\n")


def test_recurrent_models_are_refused():
    model = corvane.Model(2, 1, recurrent=True)  # no backward connection, refused all the same
    assert all(s < t for s, t, _ in model.get_connections())
    with pytest.raises(NotImplementedError) as info:
        model.to_keras()
    assert str(info.value) == RECURRENT_MESSAGE


def test_to_keras_takes_no_arguments():
    with pytest.raises(TypeError):
        corvane.Model(2, 1).to_keras(1)


DEAD_END = "leads to no output, so the model cannot be converted to Keras (Keras would drop it)."


# Networks that Keras cannot hold as they are: 2 inputs, 1 output (the last node), connections.
@pytest.mark.parametrize("n, records, message", [
    (4, [(0, 3), (1, 3)], "Node 2 has no incoming connection, so the model cannot be converted to Keras."),
    (4, [(0, 2), (0, 3), (1, 3)], "Node 2 " + DEAD_END),
    (5, [(0, 2), (2, 3), (0, 4), (1, 4)], "Node 2 " + DEAD_END),
    (5, [(0, 2), (2, 3), (1, 3), (3, 2), (0, 4), (1, 4)], "Node 2 " + DEAD_END),
    (3, [(1, 2)], "Node 0 " + DEAD_END),
], ids=["hidden-node-fed-by-nothing", "hidden-node-feeding-nothing", "chain-to-a-dead-end",
        "only-a-backward-way-out", "input-feeding-nothing"])
def test_networks_keras_cannot_hold_are_refused(tmp_path, n, records, message):
    model = model_from_bytes(tmp_path, n, 2, 1, [0.0] * n, [0] * n, [(s, t, 1.0) for s, t in records])
    with pytest.raises(ValueError) as info:
        model.to_keras()
    assert str(info.value) == message


def test_an_unknown_activation_code_is_refused(tmp_path):
    model = model_from_bytes(tmp_path, 3, 2, 1, [0.0] * 3, [0, 0, 12], [(0, 2, 1.0), (1, 2, 1.0)])
    with pytest.raises(ValueError) as info:
        model.to_keras()
    assert str(info.value) == ("Node 2 has the unknown activation code 12, so the model cannot be converted "
                               "to Keras.")


def test_an_uninitialised_model_is_refused():
    with pytest.raises(ValueError) as info:
        corvane.Model.__new__(corvane.Model).to_keras()
    assert str(info.value) == "A network of 0 nodes with 0 inputs and 0 outputs cannot be converted to Keras."


def test_module_works_without_keras():
    script = """
import sys
sys.modules["keras"] = None  # any import of keras now fails
import corvane
model = corvane.Model(2, 1)
try:
    model.to_keras()
except ImportError:
    print("refused")
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "refused\n"


# ---- Against the installed Keras.

@pytest.fixture(scope="module")
def keras():
    return pytest.importorskip("keras")


def weights_of(keras_model, name):
    kernel, bias = layer(keras_model, name).get_weights()
    return kernel.tolist(), bias.tolist()


def test_export_structure_of_two_inputs_one_output(keras, tmp_path):
    model = model_from_bytes(tmp_path, 3, 2, 1, [4.0, 5.0, -0.5], [1, 2, 0], [(0, 2, 0.75), (1, 2, -1.5)])
    k = model.to_keras()
    kinds = [(type(item).__name__, item.name) for item in k.layers]
    assert kinds[0][0] == "InputLayer"
    assert [kind for kind, _ in kinds[1:]] == ["Dense", "Dense", "Concatenate", "Dense"]
    assert [name for _, name in kinds[1:3]] + [kinds[4][1]] == ["node0", "node1", "node2"]
    # Input nodes pass their component through, whatever their stored bias and code.
    assert weights_of(k, "node0") == ([[1.0], [0.0]], [0.0])
    assert weights_of(k, "node1") == ([[0.0], [1.0]], [0.0])
    assert layer(k, "node0").activation is keras.activations.linear
    assert weights_of(k, "node2") == ([[0.75], [-1.5]], [-0.5])
    assert layer(k, "node2").activation is keras.activations.sigmoid
    assert k.layers[-1].name == "node2"


def test_export_single_sources_and_output_concatenate(keras, five_nodes):
    k = five_nodes.to_keras()
    assert [type(item).__name__ for item in k.layers].count("Concatenate") == 3  # nodes 2, 3 and the output
    assert np.asarray(layer(k, "node4").get_weights()[0]).shape == (1, 1)
    assert type(k.layers[-1]).__name__ == "Concatenate"
    assert tuple(k.outputs[0].shape) == (None, 2)
    assert layer(k, "node4").activation is keras.activations.relu
    assert layer(k, "node3").activation is keras.activations.sigmoid


def test_export_ignores_backward_connections_of_a_former_recurrent_model(keras):
    model = corvane.Model(2, 1, 5, True)
    model.recurrent = False
    back = corvane.from_keras(model.to_keras())
    assert [(s, t) for s, t, _ in back.get_connections()] == [(s, t) for s, t, _ in model.get_connections()
                                                               if s < t]


@pytest.mark.parametrize("args", [(2, 1), (3, 2, 9), (1, 3, 7), (4, 1, 12)], ids=str)
def test_predictions_agree_to_float32_precision(keras, args):
    model = corvane.Model(*args)
    x = np.random.default_rng(len(args)).normal(size=(16, model.inputs))
    predicted = keras_predict(model.to_keras(), x)
    np.testing.assert_allclose(predicted, reference_predict(model, x, float32=True), rtol=1e-5, atol=1e-5)


def keras_predict(keras_model, x):
    return np.asarray(keras_model.predict(x, verbose=0), dtype=np.float64)


def test_keras_predictions_agree_with_model_predict(keras):
    model = corvane.Model(3, 2, 8)
    x = np.random.default_rng(1).normal(size=(8, 3))
    expected = model.predict(x)
    np.testing.assert_allclose(keras_predict(model.to_keras(), x), expected, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("args", [(2, 1), (3, 2, 9), (2, 3, 8)], ids=str)
def test_round_trip_through_keras(keras, args):
    model = corvane.Model(*args)
    back = corvane.from_keras(model.to_keras())
    assert (back.size, back.inputs, back.outputs, back.recurrent) == (model.size, model.inputs, model.outputs,
                                                                      False)
    connections = model.get_connections()
    assert [(s, t) for s, t, _ in back.get_connections()] == [(s, t) for s, t, _ in connections]
    # Keras keeps weights as float32: they come back as exactly the float32 value.
    for (_, _, mine), (_, _, theirs) in zip(connections, back.get_connections()):
        assert theirs["weight"] == float(np.float32(mine["weight"]))
    for (_, mine), (_, theirs) in list(zip(model.get_nodes(), back.get_nodes()))[model.inputs:]:
        assert theirs == {"bias": float(np.float32(mine["bias"])), "activation": mine["activation"]}
    x = np.random.default_rng(2).normal(size=(10, model.inputs)).astype(np.float32).astype(np.float64)
    np.testing.assert_allclose(reference_predict(back, x), reference_predict(model, x, float32=True),
                               rtol=1e-12, atol=1e-12)


def test_changes_made_in_keras_come_back(keras, five_nodes):
    k = five_nodes.to_keras()
    layer(k, "node2").activation = keras.activations.linear
    layer(k, "node3").set_weights([np.array([[0.5], [0.0]]), np.array([2.0])])
    back = corvane.from_keras(k)
    assert back.get_nodes()[2][1]["activation"] == "linear"
    assert back.get_nodes()[3][1]["bias"] == 2.0
    assert (0, 3, {"weight": 0.5}) in back.get_connections()
    assert (2, 3, {"weight": 0.0}) in back.get_connections()
