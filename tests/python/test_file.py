"""Model.save and corvane.load: the exact byte layout, round trips and bad files."""

import errno
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import corvane

NAMES = ["sigmoid", "tanh", "relu", "linear"]


def cv_bytes(n, inputs, outputs, flag, biases, codes, records):
    data = struct.pack("<iiiB", n, inputs, outputs, flag)
    data += struct.pack("<%dd" % len(biases), *biases)
    data += struct.pack("<%di" % len(codes), *codes)
    for s, t, w in records:
        data += struct.pack("<iid", s, t, w)
    return data


def write_cv(path, *fields):
    path.write_bytes(cv_bytes(*fields))
    return str(path)


def bits(x):
    return struct.pack("<d", x)


def shape_of(model):
    return model.size, model.inputs, model.outputs, model.recurrent


def test_model_2_1_is_an_81_byte_file(tmp_path):
    model = corvane.Model(2, 1)
    path = str(tmp_path / "m.cv")
    assert model.save(path) is None
    data = (tmp_path / "m.cv").read_bytes()
    assert len(data) == 81
    assert data[:13] == bytes.fromhex("03000000" "02000000" "01000000" "00")
    nodes = model.get_nodes()
    assert data[13:37] == b"".join(bits(node["bias"]) for _, node in nodes)
    assert data[37:49] == struct.pack("<3i", *(NAMES.index(node["activation"]) for _, node in nodes))
    (_, _, w0), (_, _, w1) = model.get_connections()
    assert data[49:] == struct.pack("<iid", 0, 2, w0["weight"]) + struct.pack("<iid", 1, 2, w1["weight"])


def test_load_reads_hand_written_bytes(tmp_path):
    path = write_cv(tmp_path / "in.cv", 4, 2, 1, 0, [0.5, -0.5, 1.25, -3.0], [3, 0, 2, 1],
                    [(2, 3, -0.125), (0, 2, 2.0), (1, 3, 0.0)])
    model = corvane.load(path)
    assert type(model) is corvane.Model
    assert shape_of(model) == (4, 2, 1, False)
    assert model.get_nodes() == [
        (0, {"bias": 0.5, "activation": "linear"}),
        (1, {"bias": -0.5, "activation": "sigmoid"}),
        (2, {"bias": 1.25, "activation": "relu"}),
        (3, {"bias": -3.0, "activation": "tanh"}),
    ]
    # Listed row by row whatever the order in the file; a weight of 0 is still a connection.
    assert model.get_connections() == [(0, 2, {"weight": 2.0}), (1, 3, {"weight": 0.0}),
                                       (2, 3, {"weight": -0.125})]


@pytest.mark.parametrize("flag", [1, 2, 255])
def test_any_nonzero_flag_reads_as_recurrent(tmp_path, flag):
    path = write_cv(tmp_path / "r.cv", 2, 1, 1, flag, [0.0, 0.0], [0, 0], [(1, 1, 1.0)])
    model = corvane.load(path)
    assert model.recurrent is True
    assert model.get_connections() == [(1, 1, {"weight": 1.0})]


def test_unknown_activation_code_is_kept_and_listed(tmp_path):
    path = write_cv(tmp_path / "u.cv", 2, 1, 1, 0, [0.0, 0.0], [0, 9], [(0, 1, 1.0)])
    model = corvane.load(path)
    assert model.get_nodes()[1][1]["activation"] == "unknown"
    model.save(path)
    assert (tmp_path / "u.cv").read_bytes()[13 + 16 + 4:13 + 24] == struct.pack("<i", 9)


@pytest.mark.parametrize("args", [(2, 1, 5, True), (3, 2, 8, False), (1, 1)], ids=["recurrent", "ff", "minimal"])
def test_round_trip_keeps_everything_bit_for_bit(tmp_path, args):
    model = corvane.Model(*args)
    path = str(tmp_path / "m.cv")
    model.save(path)
    loaded = corvane.load(path)
    assert shape_of(loaded) == shape_of(model)
    assert loaded.get_nodes() == model.get_nodes()
    assert loaded.get_connections() == model.get_connections()
    if model.recurrent:
        pairs = {(s, t) for s, t, _ in loaded.get_connections()}
        assert {(2, 2), (3, 3), (3, 2)} <= pairs  # self and backward connections survive
    # Saving the loaded model reproduces the file byte for byte.
    loaded.save(str(tmp_path / "again.cv"))
    assert (tmp_path / "again.cv").read_bytes() == (tmp_path / "m.cv").read_bytes()


def test_feed_forward_model_drops_backward_connections(tmp_path):
    model = corvane.Model(2, 1, 5, True)
    model.recurrent = False
    path = str(tmp_path / "m.cv")
    model.save(path)
    loaded = corvane.load(path)
    assert loaded.recurrent is False
    assert loaded.get_connections() == [c for c in model.get_connections() if c[0] < c[1]]
    assert len(loaded.get_connections()) == 9


def test_model_without_connections_is_header_biases_and_codes(tmp_path):
    path = write_cv(tmp_path / "e.cv", 5, 2, 2, 0, [0.0] * 5, [0] * 5, [])
    model = corvane.load(path)
    assert model.get_connections() == []
    model.save(path)
    assert len((tmp_path / "e.cv").read_bytes()) == 13 + 12 * 5


def test_save_replaces_an_existing_file_whole(tmp_path):
    target = tmp_path / "m.cv"
    target.write_bytes(b"\xff" * 10000)
    corvane.Model(2, 1).save(str(target))
    assert len(target.read_bytes()) == 81
    assert os.listdir(tmp_path) == ["m.cv"]  # no temporary file left behind


def test_predictions_agree_after_load(tmp_path):
    model = corvane.Model(2, 2, 6, True)
    path = str(tmp_path / "m.cv")
    model.save(path)
    loaded = corvane.load(path)
    x = np.array([[0.5, -1.0], [2.0, 0.25]])
    model.clear()
    expected = model.predict(x)
    assert (loaded.predict(x) == expected).all()


def test_open_failures_raise_oserror_naming_the_path(tmp_path):
    missing = str(tmp_path / "missing.cv")
    with pytest.raises(FileNotFoundError) as info:
        corvane.load(missing)
    assert info.value.errno == errno.ENOENT and info.value.filename == missing

    folder_path = str(tmp_path / "no" / "such.cv")
    with pytest.raises(FileNotFoundError) as info:
        corvane.Model(2, 1).save(folder_path)
    assert info.value.filename == folder_path

    with pytest.raises(IsADirectoryError):
        corvane.load(str(tmp_path))
    with pytest.raises(IsADirectoryError):
        corvane.Model(2, 1).save(str(tmp_path))


@pytest.mark.parametrize("call", [
    lambda: corvane.load(),
    lambda: corvane.load(1),
    lambda: corvane.load("a.cv", "b.cv"),
    lambda: corvane.load(location="a.cv"),
    lambda: corvane.Model(2, 1).save(location="a.cv"),
    lambda: corvane.Model(2, 1).save(b"a.cv"),
], ids=["none", "int", "two", "load_keyword", "save_keyword", "bytes"])
def test_arguments_are_one_positional_str(call):
    with pytest.raises(TypeError):
        call()


def test_an_uninitialised_model_is_not_saved(tmp_path):
    with pytest.raises(ValueError):
        corvane.Model.__new__(corvane.Model).save(str(tmp_path / "x.cv"))
    assert os.listdir(tmp_path) == []


VALID3 = cv_bytes(3, 2, 1, 0, [0.0] * 3, [0] * 3, [])

BAD_FILES = [
    ("empty", b"", "ends inside its header (13 bytes needed, 0 found)."),
    ("short_header", VALID3[:9], "ends inside its header (13 bytes needed, 9 found)."),
    ("no_outputs", struct.pack("<iiiB", 3, 2, 0, 0), "has 0 outputs; a model needs at least one."),
    ("negative_inputs", struct.pack("<iiiB", 3, -2, 1, 0), "has -2 inputs; a model needs at least one."),
    ("too_few_nodes", struct.pack("<iiiB", 2, 2, 1, 0), "has 2 nodes, fewer than its 2 inputs plus 1 outputs."),
    ("node_count_beyond_file", struct.pack("<iiiB", 2**31 - 1, 1, 1, 0) + bytes(100),
     "ends inside its biases and activation codes (25769803777 bytes needed for 2147483647 nodes, 113 found)."),
    ("cut_in_codes", VALID3[:-1], "ends inside its biases and activation codes "
                                  "(49 bytes needed for 3 nodes, 48 found)."),
    ("cut_in_record", VALID3 + struct.pack("<iid", 0, 2, 1.0) + bytes(4),
     "ends inside connection record 1 (16 bytes needed, 4 found)."),
    ("target_outside", VALID3 + struct.pack("<iid", 0, 3, 1.0),
     "has connection record 0 from node 0 to node 3, outside the nodes 0 .. 2."),
    ("source_negative", VALID3 + struct.pack("<iid", 0, 2, 1.0) + struct.pack("<iid", -7, 2, 1.0),
     "has connection record 1 from node -7 to node 2, outside the nodes 0 .. 2."),
]

# Each bad file is loaded in a fresh interpreter, so that a crash shows as a failed test.
LOAD_SCRIPT = """
import sys, corvane
try:
    corvane.load(sys.argv[1])
except ValueError as error:
    print(error, end="")
"""


@pytest.mark.parametrize("data, reason", [case[1:] for case in BAD_FILES], ids=[case[0] for case in BAD_FILES])
def test_bad_files_raise_value_error(tmp_path, data, reason):
    path = tmp_path / "bad.cv"
    path.write_bytes(data)
    result = subprocess.run([sys.executable, "-c", LOAD_SCRIPT, str(path)], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "The model file '%s' %s" % (path, reason)


# The same bytes inside a pickle: unpickling refuses them with the reader's message, in a fresh
# interpreter too. The pickle is made by hand, as hostile data would be.
UNPICKLE_SCRIPT = """
import copyreg, pickle, sys, corvane

class Forged:
    def __reduce__(self):
        state = (1, open(sys.argv[1], "rb").read(), False, None, "", [], [], None)
        return copyreg.__newobj__, (corvane.Model,), state

data = pickle.dumps(Forged(), protocol=1)  # 2 and later refuse a forged __newobj__
try:
    pickle.loads(data)
except ValueError as error:
    print(error, end="")
"""


@pytest.mark.parametrize("data, reason", [case[1:] for case in BAD_FILES], ids=[case[0] for case in BAD_FILES])
def test_bad_bytes_in_a_pickle_raise_value_error(tmp_path, data, reason):
    path = tmp_path / "bad.cv"
    path.write_bytes(data)
    result = subprocess.run([sys.executable, "-c", UNPICKLE_SCRIPT, str(path)], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "The model file '<pickled Model>' %s" % reason
