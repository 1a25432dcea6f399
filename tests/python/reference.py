"""The reference forward pass the Python tests share: slow, plain, read from a model's listed
nodes and connections, with its own state. Products are added to the bias one source at a time,
sources ascending, as the compiled pass does, so a double model agrees bit for bit."""

import math

import numpy as np


def sigmoid(x):
    try:
        return 1.0 / (1.0 + math.exp(-x))
    except OverflowError:  # exp(-x) is inf in C, and 1 / inf is 0
        return 0.0


ACTIVATIONS = {
    "sigmoid": sigmoid,
    "tanh": math.tanh,
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
