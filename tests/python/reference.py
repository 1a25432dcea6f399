"""The reference forward pass the Python tests share: slow, plain, read from a model's listed
nodes and connections, with its own state. Products are added to the bias one source at a time,
sources ascending, as the compiled pass does, so a double model agrees bit for bit."""

import math
import struct

import numpy as np


def _bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


_SHIFTER = float.fromhex("0x1.8p52")
_LN2_HIGH = float.fromhex("0x1.62e42fefa3800p-1")
_LN2_LOW = float.fromhex("0x1.ef35793c76730p-45")


def exp(x):
    """The module's exp, operation for operation (Python floats round as C doubles do)."""
    if x != x:
        return x
    xc = min(max(x, -746.0), 709.8)
    shifted = xc * 1.4426950408889634 + _SHIFTER
    k = _bits(shifted) - _bits(_SHIFTER)
    kd = shifted - _SHIFTER
    r = (xc - kd * _LN2_HIGH) - kd * _LN2_LOW
    p = 1.0 / 6227020800.0
    for factorial in (479001600.0, 39916800.0, 3628800.0, 362880.0, 40320.0, 5040.0, 720.0, 120.0, 24.0, 6.0):
        p = p * r + 1.0 / factorial
    p = p * r + 0.5
    e = 1.0 + (r + (r * r) * p)
    k1 = ((k + 2048) >> 1) - 1024
    return (e * math.ldexp(1.0, k1)) * math.ldexp(1.0, k - k1)


def tanh(x):
    """The module's tanh: a rational function below 0.625, 1 - 2 / (e^2|x| + 1) above."""
    a = abs(x)
    z = a * a
    p = (-9.64399179425052238628e-1 * z + -9.92877231001918586564e1) * z + -1.61468768441708447952e3
    q = ((z + 1.12811678491632931402e2) * z + 2.23548839060100448583e3) * z + 4.84406305325125486048e3
    value = a + a * (z * (p / q)) if a < 0.625 else 1.0 - 2.0 / (exp(2.0 * a) + 1.0)
    return math.copysign(value, x)


def sigmoid(x):
    return 1.0 / (1.0 + exp(-x))


ACTIVATIONS = {
    "sigmoid": sigmoid,
    "tanh": tanh,
    "relu": lambda x: x if x > 0 else 0.0,
    "linear": lambda x: x,
}


class Reference:
    """The pass of `model` (a Model or anything with its listing methods and counts).

    With float32=True the inputs, weights and biases are first rounded to float32, as Keras
    holds them."""

    def __init__(self, model, float32=False):
        cast = (lambda v: float(np.float32(v))) if float32 else float
        self.cast = cast
        nodes = model.get_nodes()
        self.n = len(nodes)
        self.inputs, self.outputs, self.recurrent = model.inputs, model.outputs, model.recurrent
        self.biases = [cast(node["bias"]) for _, node in nodes]
        self.functions = [ACTIVATIONS[node["activation"]] for _, node in nodes]
        self.sources = [[] for _ in range(self.n)]  # per target: (source, weight), sources ascending
        for s, t, connection in model.get_connections():
            self.sources[t].append((s, cast(connection["weight"])))
        self.clear()

    def clear(self):
        self.values = [0.0] * self.n

    def step(self, sample):
        for k in range(self.n):
            if k < self.inputs:
                self.values[k] = self.cast(sample[k])
                continue
            total = self.biases[k]
            for s, weight in self.sources[k]:
                if self.recurrent or s < k:
                    total = weight * self.values[s] + total
            self.values[k] = self.functions[k](total)
        return self.values[self.n - self.outputs :]

    def series(self, samples):
        return np.array([self.step(sample) for sample in samples], dtype=np.float64).reshape(-1, self.outputs)
