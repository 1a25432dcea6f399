"""Balance a pole on a cart: CartPole-v1 from Gymnasium, learnt with `func_evolve`.

In every epoch all candidate networks play the same episode; a network's loss is minus the
reward it collects (at most 500). Evolution runs in short rounds. After each round the model
plays 10 fresh episodes; when it averages 475 there it plays 100 more, and the task counts as
solved when those average at least 475. The solved model is saved, loaded back and replayed.

    python examples/cartpole.py              # until solved, at most --budget seconds
    python examples/cartpole.py --quick      # a short run that only has to improve

Needs gymnasium (pip install "corvane[examples]").
"""
import argparse
import os
import sys
import tempfile
import time

import gymnasium as gym
import numpy as np

import corvane

THRESHOLD = 475.0  # average reward over 100 episodes that counts as solved
MAX_STEPS = 500  # CartPole-v1 ends an episode after 500 steps


def play(policy, env, seed):
    """Reward of one episode; `policy` is a Model or a Genome with 4 inputs and 2 outputs."""
    observation, _ = env.reset(seed=seed)
    total = 0.0
    for _ in range(MAX_STEPS):
        action = int(np.argmax(policy.predict(observation.astype(np.float64))))
        observation, reward, terminated, truncated, _ = env.step(action)
        total += reward
        if terminated or truncated:
            break
    return total


def average_reward(policy, env, episodes, rng):
    seeds = rng.integers(0, 2**31, size=episodes)
    return float(np.mean([play(policy, env, int(seed)) for seed in seeds]))


def evolve_in_rounds(model, train_func, env, rng, budget, pop_size, epochs_per_round, quick, start_reward,
                     seed=None):
    """Evolves `model` in rounds of `epochs_per_round` epochs until solved or `budget` seconds
    are spent (quick: until the 10-episode average rose by 50). With `seed`, round r evolves
    with seed + r. Returns (solved, best 10-episode average, rounds, seconds)."""
    started = time.monotonic()
    solved, best_check, rounds = False, start_reward, 0
    while time.monotonic() - started < budget:
        rounds += 1
        model.func_evolve(train_func, pop_size=pop_size, epochs=epochs_per_round, verbose=1,
                          seed=None if seed is None else seed + rounds)
        check = average_reward(model, env, 10, rng)
        best_check = max(best_check, check)
        print(f"round {rounds} ({time.monotonic() - started:.0f}s): average reward {check:.1f} "
              f"over 10 fresh episodes, {model.size} nodes")
        if quick and check >= min(start_reward + 50.0, THRESHOLD):
            break
        if not quick and check >= THRESHOLD:
            final = average_reward(model, env, 100, rng)
            print(f"  over 100 fresh episodes: {final:.1f}")
            if final >= THRESHOLD:
                solved = True
                break
    return solved, best_check, rounds, time.monotonic() - started


def quick_outcome(start_reward, best_check, elapsed):
    """The exit status of a quick run: 0 when the reward improved."""
    print(f"quick run: average reward {start_reward:.1f} at the start, best {best_check:.1f} after {elapsed:.0f}s")
    if best_check > start_reward or best_check >= THRESHOLD:
        print("IMPROVED")
        return 0
    print("did not improve")
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small budgets: check that the reward improves")
    parser.add_argument("--budget", type=float, default=None, help="seconds of evolution (default 300, quick 30)")
    parser.add_argument("--pop-size", type=int, default=None)
    args = parser.parse_args()
    budget = args.budget if args.budget is not None else (30.0 if args.quick else 300.0)
    pop_size = args.pop_size if args.pop_size is not None else (16 if args.quick else 40)
    epochs_per_round = 3 if args.quick else 5

    env = gym.make("CartPole-v1")
    rng = np.random.default_rng()
    model = corvane.Model(4, 2)  # cart position, cart velocity, pole angle, pole velocity -> left, right
    start_reward = average_reward(model, env, 10, rng)
    print(f"random network: average reward {start_reward:.1f} over 10 episodes")

    def train_func(genomes):
        seed = int(rng.integers(0, 2**31))  # one shared episode per epoch: a fair comparison
        return np.array([-play(genome, env, seed) for genome in genomes])

    solved, best_check, rounds, elapsed = evolve_in_rounds(model, train_func, env, rng, budget, pop_size,
                                                           epochs_per_round, args.quick, start_reward)
    if args.quick:
        return quick_outcome(start_reward, best_check, elapsed)

    if not solved:
        print(f"NOT SOLVED within {budget:.0f}s (best 10-episode average {best_check:.1f})")
        return 1
    print(f"SOLVED in {elapsed:.0f}s and {rounds} rounds: a network of {model.size} nodes and "
          f"{len(model.get_connections())} connections")

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "cartpole.cv")
        model.save(path)
        loaded = corvane.load(path)
        replay = average_reward(loaded, env, 100, rng)
        print(f"saved to {os.path.basename(path)} ({os.path.getsize(path)} bytes), loaded back and replayed: "
              f"average reward {replay:.1f} over 100 fresh episodes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
