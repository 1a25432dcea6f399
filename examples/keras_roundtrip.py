"""From corvane to Keras and back.

A model evolved with corvane becomes a Keras functional model (one single-unit Dense layer per
node, named "node" + index), which Keras can predict with, save and load like any of its models.
The Keras model is then changed (a bias shifted with set_weights), saved to a .keras file,
loaded again, and converted back to corvane, which picks the change up.

    python examples/keras_roundtrip.py            # a model evolved for 150 epochs
    python examples/keras_roundtrip.py --quick    # 20 epochs

Needs keras (pip install "corvane[keras]"); runs on Keras's NumPy backend.
"""
import os

os.environ["KERAS_BACKEND"] = "numpy"  # before keras is imported

import argparse
import sys
import tempfile

import keras
import numpy as np

import corvane


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short evolution before the round trip")
    args = parser.parse_args()
    epochs = 20 if args.quick else 150

    rng = np.random.default_rng()
    x = rng.uniform(-1.0, 1.0, size=(200, 2))
    y = np.column_stack([np.sin(2.0 * x[:, 0]) * x[:, 1], x[:, 0] - x[:, 1]])  # two outputs

    model = corvane.Model(2, 2, 6)
    model.compile(loss="mse", monitors=["size"])
    first = model.evaluate(x, y)[0]
    history = model.evolve(x, y, pop_size=40, epochs=epochs, verbose=0)
    last = model.evaluate(x, y)[0]
    print(f"corvane: mse {first:.4f} before, {last:.4f} after {len(history['loss'])} epochs; "
          f"{model.size} nodes, {len(model.get_connections())} connections")

    exported = model.to_keras()
    dense = [layer for layer in exported.layers if layer.name.startswith("node")]
    print(f"keras {keras.__version__} ({keras.backend.backend()} backend): {len(exported.layers)} layers, "
          f"{len(dense)} of them node layers")
    ours = model.predict(x)
    theirs = np.asarray(exported.predict(x, verbose=0), dtype=np.float64)
    gap = float(np.max(np.abs(ours - theirs)))
    print(f"largest difference between corvane and keras predictions: {gap:.2e} (keras computes in float32)")

    # Change the model in Keras: shift the bias of the first output node by 0.5.
    output_layer = exported.get_layer(f"node{model.size - model.outputs}")
    kernel, bias = output_layer.get_weights()
    output_layer.set_weights([kernel, bias + 0.5])
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.keras")
        exported.save(path)
        reloaded = keras.models.load_model(path)
        print(f"saved to {os.path.basename(path)} ({os.path.getsize(path)} bytes) and loaded back in keras")

    back = corvane.from_keras(reloaded)
    expected = np.asarray(reloaded.predict(x, verbose=0), dtype=np.float64)
    gap_back = float(np.max(np.abs(back.predict(x) - expected)))
    shift = back.get_nodes()[model.size - model.outputs][1]["bias"] - model.get_nodes()[model.size - model.outputs][1]["bias"]
    print(f"back in corvane: {back.size} nodes, {back.inputs} inputs, {back.outputs} outputs; "
          f"bias of node {model.size - model.outputs} moved by {shift:+.4f}")
    print(f"largest difference to the changed keras model: {gap_back:.2e}")

    ok = gap < 1e-4 and gap_back < 1e-4 and abs(shift - 0.5) < 1e-4 and back.size == model.size
    if args.quick:
        ok = ok and last < first
        print("IMPROVED" if ok else "FAILED")
    else:
        print("ROUND TRIP OK" if ok else "ROUND TRIP FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
