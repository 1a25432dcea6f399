"""Model.save and corvane.load: the exact byte layout, round trips and bad files."""

import errno
import json
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
# interpreter too. The pickle is made by hand, as hostile data would be; argv[2] is the state's
# version (1: the network as the model file's bytes, 2: in the compact form).
UNPICKLE_SCRIPT = """
import copyreg, pickle, sys, corvane

class Forged:
    def __reduce__(self):
        state = (int(sys.argv[2]), open(sys.argv[1], "rb").read(), False, None, "", [], [], None)
        return copyreg.__newobj__, (corvane.Model,), state

data = pickle.dumps(Forged(), protocol=1)  # 2 and later refuse a forged __newobj__
try:
    pickle.loads(data)
except ValueError as error:
    print(error, end="")
"""


def varints(*values):
    out = b""
    for value in values:
        while value >= 0x80:
            out += bytes([value & 0x7F | 0x80])
            value >>= 7
        out += bytes([value])
    return out


# The compact form of Model(2, 1) with 3 nodes up to its connections: counts, flags (0: the
# allowed pairs, 0 -> 2 and 1 -> 2, as a bitmask), biases and codes; 4 marks a gap list.
COMPACT3 = varints(3, 2, 1) + b"\0" + struct.pack("<3d", 0.5, -0.5, 1.0) + varints(0, 1, 3)
COMPACT3_GAPS = varints(3, 2, 1) + b"\x04" + bytes(24) + varints(0, 0, 0)

BAD_COMPACT = [
    ("empty", b"", "ends inside a node count."),
    ("endless-varint", b"\x80" * 4, "ends inside a node count."),
    ("long-varint", b"\x80" * 5 + b"\x01", "has a node count that does not fit 31 bits."),
    ("count-of-2**31", varints(3, 2**31), "has an input count that does not fit 31 bits."),
    ("no-flags", varints(3, 2, 1), "ends inside its header."),
    ("unknown-flags", varints(3, 2, 1) + b"\x08", "has unknown flags 8."),
    ("no_outputs", varints(3, 2, 0) + b"\0", "has 0 outputs; a model needs at least one."),
    ("too_few_nodes", varints(2, 2, 1) + b"\0", "has 2 nodes, fewer than its 2 inputs plus 1 outputs."),
    ("node_count_beyond_bytes", varints(2**31 - 1, 1, 1) + b"\0" + bytes(100),
     "ends inside its biases and activation codes (at least 19327352823 bytes needed for 2147483647 nodes, "
     "100 found)."),
    ("cut_in_codes", COMPACT3[:-3] + b"\x80\x80\x80", "ends inside an activation code."),
    ("code-beyond-32-bits", COMPACT3[:-1] + varints(2**32), "has an activation code that does not fit 32 bits."),
    ("no-mask", COMPACT3, "ends inside its connection bits (1 bytes needed for 2 node pairs, 0 found)."),
    ("bits-beyond-the-pairs", COMPACT3 + b"\x05" + bytes(16), "has connection bits beyond its 2 node pairs."),
    ("cut_in_weights", COMPACT3 + b"\x03" + bytes(12),
     "ends inside its weights (16 bytes needed for 2 connections, 12 found)."),
    ("bytes-after-the-weights", COMPACT3 + b"\x01" + bytes(9),
     "goes on after its weights (8 bytes needed for 1 connections, 9 found)."),
    ("no-gap-count", COMPACT3_GAPS, "ends inside a connection count."),
    ("more-gaps-than-pairs", COMPACT3_GAPS + varints(3) + bytes(27),
     "lists 3 connections, more than its 2 node pairs or its 27 bytes hold."),
    ("gaps-beyond-the-bytes", COMPACT3_GAPS + varints(2**40),
     "lists 1099511627776 connections, more than its 2 node pairs or its 0 bytes hold."),
    ("gap-beyond-the-pairs", COMPACT3_GAPS + varints(2, 1, 0) + bytes(16), "has connection 1 beyond its 2 node pairs."),
    ("long-gap", COMPACT3_GAPS + varints(1) + b"\x80" * 9, "has a connection gap that does not fit 63 bits."),
]
BAD_STATES = [(name + "-file-form", 1, data, reason) for name, data, reason in BAD_FILES] + \
    [(name + "-compact-form", 2, data, reason) for name, data, reason in BAD_COMPACT]


@pytest.mark.parametrize("version, data, reason", [case[1:] for case in BAD_STATES], ids=[c[0] for c in BAD_STATES])
def test_bad_bytes_in_a_pickle_raise_value_error(tmp_path, version, data, reason):
    path = tmp_path / "bad.cv"
    path.write_bytes(data)
    result = subprocess.run([sys.executable, "-c", UNPICKLE_SCRIPT, str(path), str(version)], capture_output=True,
                            text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "The model file '<pickled Model>' %s" % reason


# Every cut and many one-byte changes of sound compact forms, as a genome's state and inside a
# pack of genomes: each is refused with ValueError (or MemoryError) or gives a genome that
# predicts. A fresh interpreter, so that a crash fails the test.
DAMAGE_SCRIPT = """
import json, sys
import numpy as np
import corvane
from corvane import _core

def damaged(data):
    for cut in range(len(data)):
        yield data[:cut]
    for at in range(len(data)):
        for value in {0, 0xFF, 0x80, data[at] ^ 1, data[at] ^ 0x40}:
            yield data[:at] + bytes([value]) + data[at + 1:]

def works(genome):
    x = np.zeros((1, 2, genome.inputs) if genome.recurrent else (1, genome.inputs))
    genome.predict(x)

outcomes = {"refused": 0, "read": 0}
for text in json.load(sys.stdin):
    state, packed = (bytes.fromhex(part) for part in text)
    for data in damaged(state):
        genome = corvane.Genome.__new__(corvane.Genome)
        try:
            genome.__setstate__((2, data, None))
        except (ValueError, MemoryError):
            outcomes["refused"] += 1
            continue
        works(genome)
        outcomes["read"] += 1
    for data in damaged(packed):
        try:
            genomes = _core._unpack_genomes(data)
        except (ValueError, MemoryError):
            outcomes["refused"] += 1
            continue
        for genome in genomes:
            works(genome)
        outcomes["read"] += 1
print(json.dumps(outcomes))
"""


def test_damaged_compact_forms_are_refused_or_read_never_a_crash(tmp_path):
    sound = [corvane.Model(2, 1, 6, seed=1), corvane.Model(2, 2, 5, True, seed=2)]
    path = tmp_path / "sparse.cv"
    path.write_bytes(cv_bytes(40, 2, 1, 0, [0.0] * 40, [1] * 40, [(0, 39, 1.0), (1, 20, 2.0), (20, 39, 3.0)]))
    sound.append(corvane.load(str(path)))
    cases = []
    for model in sound:
        state = model.__reduce__()[2][1]
        genome = corvane.Genome.__new__(corvane.Genome)
        genome.__setstate__((2, state, None))
        cases.append((state.hex(), corvane._core._pack_genomes([genome, genome]).hex()))
    result = subprocess.run([sys.executable, "-c", DAMAGE_SCRIPT], input=json.dumps(cases), capture_output=True,
                            text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=600)
    assert result.returncode == 0, result.stderr
    outcomes = json.loads(result.stdout)
    assert outcomes["refused"] > 0 and outcomes["read"] > 0  # both outcomes were reached


# ---- Waiting files: FIFOs, signals, threads. Each case runs in a fresh interpreter with a
# timeout, so that a deadlock or a crash shows as a failed test.


def run_child(script, *args, timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        done = subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True, text=True,
                              env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the child did not finish within %d s (blocked)" % timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


CHILD_PRELUDE = r"""
import os, sys, threading, corvane
folder = sys.argv[1]
regular, fifo = os.path.join(folder, "regular.cv"), os.path.join(folder, "fifo")
model = corvane.Model(3, 2, 200, seed=1)  # about 300 kB, more than a pipe holds
model.save(regular)
with open(regular, "rb") as saved:
    data = saved.read()
os.mkfifo(fifo)
"""

# The other end of the FIFO is a thread of the same process, which needs the interpreter lock.
THREAD_END = CHILD_PRELUDE + r"""
got = []
if sys.argv[2] == "load":
    def other_end():
        with open(fifo, "wb") as end:
            end.write(data)
    thread = threading.Thread(target=other_end)
    thread.start()
    assert corvane.load(fifo).get_connections() == model.get_connections()
else:
    def other_end():
        with open(fifo, "rb") as end:
            got.append(end.read())
    thread = threading.Thread(target=other_end)
    thread.start()
    model.save(fifo)
    thread.join()
    assert got == [data]
thread.join()
print("ok")
"""


@pytest.mark.parametrize("direction", ["load", "save"])
def test_the_other_end_of_a_fifo_can_be_a_thread_of_the_same_process(tmp_path, direction):
    assert run_child(THREAD_END, tmp_path, direction) == "ok\n"


# A do-nothing handler of a signal that keeps coming: the call goes on where it stopped. The
# other end is a shell that opens the FIFO late and moves the data in two parts with a pause.
QUIET_SIGNALS = CHILD_PRELUDE + r"""
import signal, subprocess
calls = []
signal.signal(signal.SIGALRM, lambda number, frame: calls.append(number))
slow = "sleep 0.3; {{ head -c 13 {0}; sleep 0.5; tail -c +14 {0}; }} > {1}"
if sys.argv[2] == "load":
    other_end = subprocess.Popen(["sh", "-c", slow.format(regular, fifo)])
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    loaded = corvane.load(fifo)
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert loaded.get_connections() == model.get_connections()
else:
    copy = os.path.join(folder, "copy.cv")
    other_end = subprocess.Popen(["sh", "-c", "sleep 0.3; exec 3< {0}; sleep 0.5; cat <&3 > {1}".format(fifo, copy)])
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    model.save(fifo)
    signal.setitimer(signal.ITIMER_REAL, 0)
    other_end.wait()
    with open(copy, "rb") as written:
        assert written.read() == data
other_end.wait()
print("ok" if len(calls) > 5 else "only %d signals" % len(calls))
"""


@pytest.mark.parametrize("direction", ["load", "save"])
def test_signals_whose_handler_returns_do_not_interrupt_a_waiting_call(tmp_path, direction):
    assert run_child(QUIET_SIGNALS, tmp_path, direction) == "ok\n"


# Ctrl-C while the call waits: on a FIFO that nobody writes, or whose reader stopped reading
# once the pipe was full.
WAITING_CALL = CHILD_PRELUDE + r"""
if sys.argv[2] == "save":
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # opened, never read
print("waiting", flush=True)
try:
    if sys.argv[2] == "save":
        model.save(fifo)
    else:
        corvane.load(fifo)
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("direction", ["load", "save"])
def test_ctrl_c_stops_a_call_that_waits_on_a_fifo(tmp_path, direction):
    import signal
    import time

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", WAITING_CALL, str(tmp_path), direction], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("Ctrl-C did not stop the waiting " + direction)
    assert (out, child.returncode) == ("interrupted\n", 0), err


# A header whose node count no memory could hold is refused before the body is read: the
# writer of a stream is stopped after the header, not after 600 MB of node data.
IMPOSSIBLE_STREAM = r"""
import json, os, subprocess, sys, corvane
fifo = os.path.join(sys.argv[1], "fifo")
os.mkfifo(fifo)
# The writer, a process of its own, sends the header and then zeros until the reader goes away,
# and reports how much it got rid of.
writer = subprocess.Popen([sys.executable, "-c", '''
import struct, sys
written = 0
with open(sys.argv[1], "wb", buffering=0) as end:
    end.write(struct.pack("<iiiB", 50_000_000, 2, 1, 0))
    chunk = bytes(1 << 16)
    try:
        while written < 2_000_000_000:
            written += end.write(chunk)
    except BrokenPipeError:
        pass
print(written)
''', fifo], stdout=subprocess.PIPE, text=True)
try:
    corvane.load(fifo)
    message = None
except MemoryError as error:
    message = str(error)
written = int(writer.communicate()[0])
print(json.dumps({"written": written, "message": message}))
"""


def test_a_stream_with_an_impossible_header_is_refused_after_the_header(tmp_path):
    import json

    report = json.loads(run_child(IMPOSSIBLE_STREAM, tmp_path))
    assert report["written"] < 1 << 22
    assert report["message"].startswith("The model file '%s' has 50000000 nodes, whose tables need " %
                                        (tmp_path / "fifo"))
    assert report["message"].endswith(" MiB of memory are available.")


def test_a_node_count_beyond_the_available_memory_is_refused_with_the_sizes(tmp_path):
    # 10**6 nodes: 8 TB of weights. The file is long enough for the biases and codes (sparse).
    path = tmp_path / "big.cv"
    with open(path, "wb") as out:
        out.write(struct.pack("<iiiB", 10**6, 2, 1, 0))
        out.truncate(13 + 12 * 10**6)
    with pytest.raises(MemoryError) as info:
        corvane.load(str(path))
    # 8 n^2 + 4 n ceil(n / 32) + 28 n bytes of tables and 12 n bytes read for the nodes
    assert str(info.value).startswith("The model file '%s' has 1000000 nodes, whose tables need 7748642 MiB; "
                                      % path)
