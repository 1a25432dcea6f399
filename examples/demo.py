"""A short training demo: evolve a small network to fit a noisy curve, then predict, save and load."""
import os
import tempfile

import numpy as np

import corvane

rng = np.random.default_rng()
x = rng.uniform(-1.0, 1.0, size=(200, 1))
y = 0.8 * x**2 - 0.3 * x + rng.normal(0.0, 0.02, size=x.shape)
x_val = np.linspace(-1.0, 1.0, 50).reshape(-1, 1)
y_val = 0.8 * x_val**2 - 0.3 * x_val

model = corvane.Model(1, 1, 4)
model.compile(loss="mse", metrics=["mae"], monitors=["size"])
before = model.evaluate(x_val, y_val)[0]
history = model.evolve(x, y, pop_size=60, batch_size=50, epochs=30, validation_data=(x_val, y_val))
after = model.evaluate(x_val, y_val)[0]

print(f"\nvalidation mse: {before:.4f} before, {after:.4f} after {len(history['loss'])} epochs")
print(f"network: {model.size} nodes, {len(model.get_connections())} connections")
for value, target in zip(model.predict(np.array([[-0.5], [0.0], [0.5]]))[:, 0], [0.35, 0.0, 0.05]):
    print(f"  predicted {value:+.3f}, target {target:+.3f}")

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "curve.cv")
    model.save(path)
    loaded = corvane.load(path)
    same = np.array_equal(loaded.predict(x_val), model.predict(x_val))
    print(f"saved to {os.path.basename(path)} ({os.path.getsize(path)} bytes) and loaded back: same predictions: {same}")
