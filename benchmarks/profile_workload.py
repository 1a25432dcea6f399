"""The small runs that profile.sh profiles, one per invocation:

    python profile_workload.py evolve-full [S]   # evolve, 1000 samples x 4 inputs, pop 100, batch -1, 3 x S epochs
    python profile_workload.py evolve-batch [S]  # the same with batch_size 100, S epochs of 10 generations
    python profile_workload.py func [S]          # func_evolve, pop 100, 3 x S epochs, train_func returning zeros

The data and network are those of run.py's dataset-evolution figures (Model(4, 1, 8)). The runs
use one thread (workers=1, where the build has it), so that every stage shows under the loop.
"""
import sys

import numpy as np

import corvane


def regression_data(samples=1000):
    rng = np.random.default_rng(2)
    x = rng.uniform(-1, 1, size=(samples, 4))
    y = (np.sin(2 * x[:, 0]) + x[:, 1] * x[:, 2] - 0.5 * x[:, 3] ** 2).reshape(-1, 1)
    return x, y


def one_thread(method):
    signature = getattr(method, "__text_signature__", "") or ""
    return {"workers": 1} if "workers=" in signature else {}


def main(kind, scale):
    model = corvane.Model(4, 1, 8)
    single = one_thread(model.evolve)
    if kind == "func":
        model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=100, epochs=3 * scale, verbose=0,
                          **single)
        return
    x, y = regression_data()
    model.compile(loss="mse")
    if kind == "evolve-full":
        model.evolve(x, y, pop_size=100, batch_size=-1, epochs=3 * scale, verbose=0, **single)
    elif kind == "evolve-batch":
        model.evolve(x, y, pop_size=100, batch_size=100, epochs=scale, verbose=0, **single)
    else:
        raise SystemExit(f"unknown workload {kind!r}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "evolve-full", int(sys.argv[2]) if len(sys.argv) > 2 else 1)
