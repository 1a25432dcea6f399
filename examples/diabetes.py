"""Regression on a real dataset: disease progression one year after baseline for 442 diabetes
patients (10 measurements each), the dataset that ships inside scikit-learn (nothing is
downloaded). The model is evolved on a training split with a validation split watched after
every epoch, then its error on a held-out test split is compared with two baselines: the
training mean, and a plain linear regression fitted by least squares.

    python examples/diabetes.py            # 300 epochs
    python examples/diabetes.py --quick    # 20 small epochs that only have to lower the loss

Needs scikit-learn (pip install "corvane[examples]").
"""
import argparse
import sys
import time

import numpy as np
from sklearn.datasets import load_diabetes

import corvane


def split(n, rng):
    """Indices of a 300 / 70 / rest split into train, validation and test."""
    order = rng.permutation(n)
    return order[:300], order[300:370], order[370:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run: check that the loss falls")
    parser.add_argument("--epochs", type=int, default=None, help="default 300, quick 20")
    args = parser.parse_args()
    epochs = args.epochs if args.epochs is not None else (20 if args.quick else 300)
    pop_size = 20 if args.quick else 50

    data = load_diabetes()
    x, y = data.data, data.target.reshape(-1, 1)
    train, val, test = split(len(x), np.random.default_rng(0))  # the same split on every run
    print(f"diabetes: {x.shape[1]} features; {len(train)} training, {len(val)} validation, "
          f"{len(test)} test samples")

    # Standardise with the statistics of the training split only.
    x_mean, x_std = x[train].mean(axis=0), x[train].std(axis=0)
    y_mean, y_std = y[train].mean(), y[train].std()
    xs, ys = (x - x_mean) / x_std, (y - y_mean) / y_std

    model = corvane.Model(x.shape[1], 1)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    start_loss = model.evaluate(xs[val], ys[val])[0]
    print(f"random network: val_loss {start_loss:.4f} (standardised)")
    started = time.monotonic()
    history = {}
    per_round = min(epochs, 30)  # each round goes on from the best network of the last one
    for done in range(0, epochs, per_round):
        part = model.evolve(xs[train], ys[train], pop_size=pop_size, epochs=min(per_round, epochs - done),
                            validation_data=(xs[val], ys[val]), verbose=0)
        for key, values in part.items():
            history.setdefault(key, []).extend(values)
        print(f"epoch {len(history['loss']):3d}/{epochs}: loss {history['loss'][-1]:.4f}, "
              f"mae {history['mae'][-1]:.4f}, val_loss {history['val_loss'][-1]:.4f}, "
              f"val_mae {history['val_mae'][-1]:.4f}, {history['size'][-1]} nodes")
    elapsed = time.monotonic() - started
    print(f"evolved for {epochs} epochs in {elapsed:.0f}s: validation mse (standardised) "
          f"{history['val_loss'][0]:.4f} after the first epoch, {history['val_loss'][-1]:.4f} after the last")

    def test_mse(prediction):  # in the target's own units
        return float(np.mean((prediction - y[test]) ** 2))

    evolved = test_mse(model.predict(xs[test]) * y_std + y_mean)
    mean_only = test_mse(np.full_like(y[test], y[train].mean()))
    design = np.hstack([x[train], np.ones((len(train), 1))])
    weights, *_ = np.linalg.lstsq(design, y[train], rcond=None)
    linear = test_mse(np.hstack([x[test], np.ones((len(test), 1))]) @ weights)

    print("test mse (lower is better):")
    print(f"  predict the training mean  {mean_only:8.1f}")
    print(f"  linear regression (lstsq)  {linear:8.1f}")
    print(f"  corvane                    {evolved:8.1f}  ({evolved / linear:.2f} x linear, "
          f"{evolved / mean_only:.2f} x mean)")

    if args.quick:
        if history["val_loss"][-1] < start_loss:
            print("IMPROVED")
            return 0
        return 1
    close = evolved <= 1.15 * linear
    print("within 15% of the linear baseline" if close else "more than 15% above the linear baseline")
    return 0 if close else 1


if __name__ == "__main__":
    sys.exit(main())
