"""A recurrent network forecasts a noisy sine wave one step ahead.

Each series is a sine of random phase and frequency with Gaussian noise added; at every step the
network sees the noisy value and must predict the clean value of the next step. The current value
alone cannot tell a rising wave from a falling one, so the network has to remember: a recurrent
model keeps node values from one step to the next, and its data are 3-D arrays
(series, steps, values). The figure to beat is persistence, "the next value is the current one".

    python examples/sequence.py            # 300 epochs
    python examples/sequence.py --quick    # 40 small epochs that only have to lower the loss
"""
import argparse
import sys
import time

import numpy as np

import corvane

STEPS = 30
NOISE = 0.1


def make_series(count, rng):
    """x: (count, STEPS, 1) noisy values; y: (count, STEPS, 1) the clean value one step later."""
    phase = rng.uniform(0.0, 2.0 * np.pi, size=(count, 1))
    frequency = rng.uniform(0.25, 0.45, size=(count, 1))
    clean = np.sin(frequency * np.arange(STEPS + 1) + phase)
    noisy = clean + rng.normal(0.0, NOISE, size=clean.shape)
    return noisy[:, :-1, None], clean[:, 1:, None]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run: check that the loss falls")
    parser.add_argument("--epochs", type=int, default=None, help="default 300, quick 40")
    args = parser.parse_args()
    epochs = args.epochs if args.epochs is not None else (40 if args.quick else 300)
    pop_size, series = (16, 16) if args.quick else (40, 32)

    rng = np.random.default_rng()
    x_train, y_train = make_series(series, rng)
    x_val, y_val = make_series(32, rng)
    x_test, y_test = make_series(64, rng)
    print(f"training on x {x_train.shape}, y {y_train.shape}; validation {x_val.shape}; test {x_test.shape}")

    # 1 input, 1 output, 5 nodes to start with (3 hidden); recurrent connections allowed.
    model = corvane.Model(1, 1, 5, recurrent=True)
    model.compile(loss="mse", monitors=["size"])
    start_loss = model.evaluate(x_val, y_val)[0]
    print(f"random network: val_loss {start_loss:.4f}")
    started = time.monotonic()
    history = {}
    per_round = min(epochs, 50)  # each round goes on from the best network of the last one
    for done in range(0, epochs, per_round):
        part = model.evolve(x_train, y_train, pop_size=pop_size, epochs=min(per_round, epochs - done),
                            validation_data=(x_val, y_val), verbose=0)
        for key, values in part.items():
            history.setdefault(key, []).extend(values)
        print(f"epoch {len(history['loss']):3d}/{epochs}: loss {history['loss'][-1]:.4f}, "
              f"val_loss {history['val_loss'][-1]:.4f}, {history['size'][-1]} nodes")
    print(f"evolved for {epochs} epochs in {time.monotonic() - started:.0f}s")

    # A 3-D array is a batch of series: predict clears the recurrent state before each one.
    forecast = model.predict(x_test)
    evolved = float(np.mean((forecast - y_test) ** 2))
    persistence = float(np.mean((x_test - y_test) ** 2))
    print("test mse of the one-step forecast (lower is better):")
    print(f"  persistence (next = current noisy value)  {persistence:.4f}")
    print(f"  recurrent corvane model                   {evolved:.4f}  ({evolved / persistence:.2f} x persistence)")

    # Step by step, as a live forecaster would run: clear once, then one sample per call.
    model.clear()
    steps = np.array([model.predict(x_test[0, t])[0] for t in range(STEPS)])
    print(f"step-by-step forecast of the first test series equals the batch forecast: "
          f"{np.allclose(steps, forecast[0, :, 0])}")
    print("  step  noisy now  next (clean)  forecast")
    for t in range(0, STEPS, 5):
        print(f"  {t:4d}  {x_test[0, t, 0]:+9.3f}  {y_test[0, t, 0]:+12.3f}  {forecast[0, t, 0]:+8.3f}")

    if args.quick:
        if model.evaluate(x_val, y_val)[0] < start_loss:
            print("IMPROVED")
            return 0
        return 1
    beaten = evolved < 0.6 * persistence
    print("BEATS PERSISTENCE" if beaten else "does not beat persistence clearly")
    return 0 if beaten else 1


if __name__ == "__main__":
    sys.exit(main())
