"""Writes the seed corpus of the model-file fuzz target: small valid files of both modes, as
model files (.cv) and in the compact form of pickles (.compact)."""
import os
import struct
import sys


def model_file(inputs, outputs, hidden, recurrent, records):
    n = inputs + outputs + hidden
    data = struct.pack("<iiiB", n, inputs, outputs, 1 if recurrent else 0)
    data += b"".join(struct.pack("<d", 0.1 * i - 0.3) for i in range(n))
    data += b"".join(struct.pack("<i", i % 4) for i in range(n))
    data += b"".join(struct.pack("<iid", s, t, w) for s, t, w in records)
    return data


def varints(*values):
    out = b""
    for value in values:
        while value >= 0x80:
            out += bytes([value & 0x7F | 0x80])
            value >>= 7
        out += bytes([value])
    return out


def compact_form(inputs, outputs, hidden, recurrent, records, gaps=False):
    """The same network in the compact form: counts, flags, biases, codes, connections over the
    allowed pairs (a bitmask, or with `gaps` a list of gaps), weights."""
    n = inputs + outputs + hidden
    pairs = [(s, t) for s in range(n - outputs) for t in range(inputs if recurrent else max(inputs, s + 1), n)]
    weights = {(s, t): w for s, t, w in records}
    data = varints(n, inputs, outputs) + bytes([(1 if recurrent else 0) | (4 if gaps else 0)])
    data += b"".join(struct.pack("<d", 0.1 * i - 0.3) for i in range(n)) + varints(*(i % 4 for i in range(n)))
    indices = [i for i, pair in enumerate(pairs) if pair in weights]
    if gaps:
        data += varints(len(indices), *(i - (previous + 1) for previous, i in zip([-1] + indices, indices)))
    else:
        mask = bytearray((len(pairs) + 7) // 8)
        for i in indices:
            mask[i // 8] |= 1 << (i % 8)
        data += bytes(mask)
    return data + b"".join(struct.pack("<d", weights[pairs[i]]) for i in indices)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    seeds = {
        # 2 inputs, 1 output, one hidden node: 0,1 -> 2 -> 3 and a skip 0 -> 3.
        "feedforward_hidden.cv": model_file(2, 1, 1, False, [(0, 2, 0.5), (1, 2, -1.5), (2, 3, 2.0), (0, 3, 0.25)]),
        # The smallest model: one input straight to one output.
        "feedforward_minimal.cv": model_file(1, 1, 0, False, [(0, 1, 1.0)]),
        # 3 inputs, 2 outputs, two hidden nodes, fully forward-connected.
        "feedforward_wide.cv": model_file(
            3, 2, 2, False, [(s, t, 0.1 * (s + t)) for s in range(5) for t in range(max(3, s + 1), 7)]),
        # Recurrent: a self loop on the hidden node and a skip from the input to the output.
        "recurrent_loop.cv": model_file(1, 1, 1, True, [(0, 1, 0.5), (1, 1, 0.9), (1, 2, -0.7), (0, 2, 0.3)]),
        # Recurrent, 2 inputs and 2 outputs, every allowed connection.
        "recurrent_dense.cv": model_file(
            2, 2, 1, True, [(s, t, 0.05 * (s - t)) for s in range(3) for t in range(2, 5)]),
    }
    networks = {
        "feedforward_hidden": (2, 1, 1, False, [(0, 2, 0.5), (1, 2, -1.5), (2, 3, 2.0), (0, 3, 0.25)]),
        "recurrent_loop": (1, 1, 1, True, [(0, 1, 0.5), (1, 1, 0.9), (1, 2, -0.7), (0, 2, 0.3)]),
    }
    for name, network in networks.items():
        seeds[name + ".compact"] = compact_form(*network)
        seeds[name + "_gaps.compact"] = compact_form(*network, gaps=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "seeds"))
