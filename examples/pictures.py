"""Evolves a network on a small regression task, with early stopping, and draws the two pictures
of the README: the network that evolution found and the history of the run.

    python examples/pictures.py                    # writes docs/images/network.png and history.png
    python examples/pictures.py --quick            # a short run that only has to lower the loss,
                                                   # pictures in a new temporary folder

Needs matplotlib: pip install "corvane[plot]".
"""
import argparse
import os
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")  # files only, no window

import numpy as np

import corvane
from corvane.callbacks import EarlyStopping
from corvane.plot import plot_history, plot_network

HERE = os.path.dirname(os.path.abspath(__file__))


def task(count, seed):
    """y = x0 * x1 + 0.5 * sin(3 x0) on the square [-1, 1]^2: the product needs a hidden node."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, size=(count, 2))
    y = x[:, :1] * x[:, 1:] + 0.5 * np.sin(3.0 * x[:, :1])
    return x, y


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run: check that the loss falls")
    parser.add_argument("--out", default=None, help="folder of the PNG files (default docs/images)")
    args = parser.parse_args()
    if args.out is None:
        args.out = tempfile.mkdtemp(prefix="corvane-pictures-") if args.quick else os.path.join(HERE, "..", "docs", "images")
    epochs, pop_size = (40, 30) if args.quick else (600, 80)

    x_train, y_train = task(200, seed=1)
    x_val, y_val = task(100, seed=2)
    model = corvane.Model(2, 1, 4, seed=3)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    first = model.evaluate(x_val, y_val)[0]
    stop = EarlyStopping(monitor="val_loss", patience=80, min_delta=1e-5, restore_best_weights=True)
    history = model.evolve(x_train, y_train, pop_size=pop_size, batch_size=50, epochs=epochs,
                           validation_data=(x_val, y_val), verbose=2 if args.quick else 0, seed=4,
                           workers=1, callbacks=[stop])
    last = model.evaluate(x_val, y_val)[0]
    print(f"{len(history['loss'])} epochs; validation mse {first:.4f} -> {last:.4f}; best epoch {stop.best_epoch + 1}")
    print(model)

    os.makedirs(args.out, exist_ok=True)
    ax = plot_network(model)
    ax.figure.savefig(os.path.join(args.out, "network.png"), dpi=110, bbox_inches="tight")
    figure = plot_history(history)
    figure.savefig(os.path.join(args.out, "history.png"), dpi=110, bbox_inches="tight")
    print("wrote network.png and history.png to", os.path.normpath(args.out))
    if last < first:
        print("IMPROVED")
        return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
