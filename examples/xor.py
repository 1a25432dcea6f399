"""XOR, the smallest problem that needs a hidden node, solved twice: with `evolve` on the four
samples, and with `func_evolve` on a fitness function written in Python.

    python examples/xor.py            # until every sample is right (at most --rounds rounds each)
    python examples/xor.py --quick    # a few rounds that only have to lower the loss

Evolution runs in rounds; every round continues from the best network of the last one.
"""
import argparse
import sys

import numpy as np

import corvane

X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
Y = np.array([[0.0], [1.0], [1.0], [0.0]])


def solved(model):
    """Every output on the right side of 0.5 and within 0.1 of its target."""
    out = model.predict(X)
    return bool(np.all((out > 0.5) == (Y > 0.5)) and np.all(np.abs(out - Y) < 0.1))


def mse(model):
    return float(np.mean((model.predict(X) - Y) ** 2))


def run(name, evolve_round, rounds, pop_size, epochs):
    """Calls evolve_round until the model solves XOR; returns (model, first loss, last loss, done)."""
    model = corvane.Model(2, 1)
    model.compile(loss="mse", monitors=["size"])
    first = mse(model)
    print(f"{name}: random network, mse {first:.4f}")
    for r in range(1, rounds + 1):
        evolve_round(model, pop_size, epochs)
        print(f"{name}: round {r}, mse {mse(model):.4f}, {model.size} nodes, "
              f"{len(model.get_connections())} connections")
        if solved(model):
            break
    return model, first, mse(model), solved(model)


def with_evolve(model, pop_size, epochs):
    model.evolve(X, Y, pop_size=pop_size, epochs=epochs, verbose=0)


def with_func_evolve(model, pop_size, epochs):
    def train_func(genomes):
        # one loss per genome, in the order given; lower is better
        return np.array([np.mean((genome.predict(X) - Y) ** 2) for genome in genomes])

    model.func_evolve(train_func, pop_size=pop_size, epochs=epochs, verbose=0)


def show(name, model):
    print(f"{name}: final network")
    for sample, out in zip(X, model.predict(X)[:, 0]):
        print(f"  {int(sample[0])} xor {int(sample[1])} -> {out:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few short rounds: check that the loss falls")
    parser.add_argument("--rounds", type=int, default=None, help="most rounds per method (default 20, quick 3)")
    args = parser.parse_args()
    rounds = args.rounds if args.rounds is not None else (3 if args.quick else 20)
    pop_size, epochs = (30, 40) if args.quick else (50, 100)

    results = []
    for name, evolve_round in [("evolve", with_evolve), ("func_evolve", with_func_evolve)]:
        model, first, last, done = run(name, evolve_round, rounds, pop_size, epochs)
        show(name, model)
        results.append((name, first, last, done))

    print()
    for name, first, last, done in results:
        print(f"{name:12s} mse {first:.4f} -> {last:.4f}  {'SOLVED' if done else 'not solved'}")
    if args.quick:
        if all(last < first for _, first, last, _ in results):
            print("IMPROVED")
            return 0
        return 1
    return 0 if all(done for *_, done in results) else 1


if __name__ == "__main__":
    sys.exit(main())
