"""corvane.from_keras on malformed stand-ins: Python objects shaped like an exported Keras model
whose attributes break the format (wrong types, missing attributes, attributes that raise or
that mutate the model while it is read, huge and negative numbers, recursive structures, odd
arrays). Every call must give a model or raise a clear Python exception; a crash fails the batch,
which runs in its own interpreter. The generator is seeded, so a failing batch replays."""
import json
import subprocess
import sys

import pytest

# The child: `python test_fuzz_keras.py SEED COUNT` tries COUNT stand-ins and prints a summary.
CHILD = r'''
import json, random, sys
import numpy as np
import corvane


class Boom(Exception):
    pass


class Obj:
    """An attribute bag; attributes named in `raising` raise Boom when read."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __getattribute__(self, name):
        raising = object.__getattribute__(self, "__dict__").get("_raising", ())
        if name in raising:
            raise Boom(name)
        return object.__getattribute__(self, name)


def tensor(op, width):
    return Obj(_keras_history=(op, 0, 0), shape=(None, width))


def build(rng):
    """A well-formed stand-in: input layer, node layers, concatenations and an output layer."""
    inputs, outputs, hidden = rng.randint(1, 3), rng.randint(1, 3), rng.randint(0, 3)
    n = inputs + outputs + hidden
    layers = []
    source = Obj(name="input_layer", _inbound_nodes=[Obj(input_tensors=[])])
    source.output = tensor(source, inputs)
    layers.append(source)
    nodes = []
    for i in range(n):
        layer = Obj(name="node%d" % i, activation=Obj(__name__=rng.choice(["sigmoid", "tanh", "relu", "linear"])))
        if i < inputs:
            feeding, rows = [source], inputs
        else:
            feeding = rng.sample(nodes, rng.randint(1, len(nodes)))
            rows = len(feeding)
        if len(feeding) > 1:
            join = Obj(name="concatenate_%d" % i,
                       _inbound_nodes=[Obj(input_tensors=[tensor(f, 1) for f in feeding])])
            join.output = tensor(join, len(feeding))
            layers.append(join)
            feeding = [join]
        layer._inbound_nodes = [Obj(input_tensors=[tensor(feeding[0], rows)])]
        kernel = np.array([[rng.uniform(-2, 2)] for _ in range(rows)])
        layer.get_weights = (lambda k=kernel, b=np.array([rng.uniform(-1, 1)]): [k, b])
        layer.output = tensor(layer, 1)
        layers.append(layer)
        nodes.append(layer)
    if outputs > 1:
        out = Obj(name="concatenate_out",
                  _inbound_nodes=[Obj(input_tensors=[tensor(f, 1) for f in nodes[-outputs:]])])
        out.output = tensor(out, outputs)
        layers.append(out)
    return Obj(layers=layers)


def recursive_list():
    items = []
    items.append(items)
    return items


class RaisingList(list):
    def __getitem__(self, index):
        raise Boom("item")

    def __len__(self):
        raise Boom("len")


def bad_values(rng, model):
    """Values that break the format; some mutate the model when they are used."""
    def clear_layers(*args):
        model.layers.clear()
        return [np.zeros((1, 1)), np.zeros(1)]

    def swap_layers(*args):
        model.layers.reverse()
        return [np.zeros((1, 1)), np.zeros(1)]

    return [
        None, -1, 0, 2 ** 31, 2 ** 63, -2 ** 70, 10 ** 100, 1.5, float("nan"), "", "node", "node-1",
        "node99999999999", "node2147483648", "node\x00", "nodé", b"node0", [], [None], (), {}, object(),
        recursive_list(), RaisingList([1]), Obj(), Obj(_raising=("name", "shape", "_keras_history")),
        (None, None), (None, -5), (None, 2 ** 40), (None, "3"), (None, 1.0), [(None, 2)], [[None, 2]],
        np.zeros(0), np.zeros((0, 1)), np.zeros((10 ** 12, 0)), np.zeros((2, 2, 2)), np.array(3.0),
        np.array(["a"]), np.array([None, 1], dtype=object),
        np.zeros((1, 1), dtype=np.complex128), np.ones((2, 1), dtype=">f8"), np.ones((1, 1), dtype=np.float16),
        lambda: None, lambda: [np.zeros((1, 1))], lambda: [np.zeros((5, 1)), np.zeros(1)],
        lambda: [np.full((1, 1), np.inf), np.array([np.nan])], clear_layers, swap_layers,
        lambda *a: (_ for _ in ()).throw(Boom("get_weights")),
    ]


def corrupt(rng, model):
    """Replaces or removes one attribute somewhere in the stand-in."""
    holders, seen, todo = [], set(), [model]
    while todo:  # every Obj reachable through attributes, plain lists and tuples
        item = todo.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        if type(item) is Obj:
            holders.append(item)
            todo.extend(v for k, v in item.__dict__.items() if k != "_raising")
        elif type(item) in (list, tuple):
            todo.extend(item)
    target = rng.choice(holders)
    names = [k for k in target.__dict__ if k != "_raising"] or ["layers"]
    name = rng.choice(names)
    action = rng.random()
    if action < 0.15:
        target.__dict__.pop(name, None)
    elif action < 0.3:
        target.__dict__["_raising"] = tuple(target.__dict__.get("_raising", ())) + (name,)
    else:
        target.__dict__[name] = rng.choice(bad_values(rng, model))


ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, Boom, RecursionError, AttributeError, IndexError,
           KeyError)

seed, count = int(sys.argv[1]), int(sys.argv[2])
rng = random.Random(seed)
summary = {"models": 0, "errors": {}}
for case in range(count):
    model = build(rng)
    for _ in range(rng.randint(0, 3)):
        corrupt(rng, model)
    try:
        result = corvane.from_keras(model)
    except ALLOWED as error:
        summary["errors"][type(error).__name__] = summary["errors"].get(type(error).__name__, 0) + 1
        continue
    except BaseException as error:
        print("case %d: unexpected %s: %s" % (case, type(error).__name__, error), file=sys.stderr)
        raise
    assert type(result) is corvane.Model
    assert result.size >= result.inputs + result.outputs
    summary["models"] += 1
    # A converted model must work like any other.
    result.predict(np.zeros((2, result.inputs)))
    result.get_connections()
print(json.dumps(summary))
'''


def test_well_formed_stand_ins_convert():
    # The generator with no corruption builds convertible models: the corruptions test the reader.
    script = CHILD.replace("for _ in range(rng.randint(0, 3)):", "for _ in range(0):")
    done = subprocess.run([sys.executable, "-c", script, "7", "50"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.strip().splitlines()[-1]) == {"models": 50, "errors": {}}


@pytest.mark.parametrize("seed", range(8))
def test_malformed_stand_ins_raise_clear_errors(seed):
    done = subprocess.run([sys.executable, "-c", CHILD, str(seed), "1000"], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, "seed %d: %s" % (seed, done.stderr[-3000:])
    summary = json.loads(done.stdout.strip().splitlines()[-1])
    assert sum(summary["errors"].values()) > 0
