"""CartPole-v1 with a fitness of several episodes per genome, evaluated serially, on local
processes or on Ray.

A genome's loss is minus its average reward over --episodes episodes (at most 500 each). The
fitness is a picklable object that makes its Gymnasium environment on first use, once per
worker. Evolution runs in rounds of a few epochs; after each round the model plays 10 fresh
episodes, and when it averages 475 there it plays 100 more: the task counts as solved when
those average at least 475.

    python examples/parallel_cartpole.py --backend processes      # serial | processes | ray
    python examples/parallel_cartpole.py --backend ray --workers 2
    python examples/parallel_cartpole.py --quick                  # a short run that only has to improve

Needs gymnasium (pip install "corvane[examples]"); the ray backend needs Ray
(pip install "corvane[ray]"). On a Ray cluster, call ray.init(address=...) first: the
evaluator uses the Ray it finds.
"""
import argparse
import os
import sys
import time
from typing import Any, Callable, Dict, List, Optional

import cloudpickle
import gymnasium as gym
import numpy as np

import cartpole  # the episode loop of examples/cartpole.py, beside this file
import corvane
from cartpole import average_reward, evolve_in_rounds, play, quick_outcome
from corvane.parallel import ProcessEvaluator, RayEvaluator

# The workers get the fitness by value; so they must get cartpole's functions, which a Ray
# worker could not import from this folder.
cloudpickle.register_pickle_by_value(cartpole)


class Episodes:
    """The fitness: minus the average reward of `episodes` episodes on fresh random seeds.

    The environment and the random generator are made on first use in each worker and are not
    pickled, so every worker has its own."""

    def __init__(self, episodes: int) -> None:
        self.episodes = episodes
        self.env: Any = None
        self.rng: Optional[np.random.Generator] = None

    def __getstate__(self) -> Dict[str, Any]:
        return {"episodes": self.episodes, "env": None, "rng": None}

    def __call__(self, genome: corvane.Genome) -> float:
        if self.env is None:
            self.env = gym.make("CartPole-v1")
            self.rng = np.random.default_rng([os.getpid(), time.time_ns()])
        assert self.rng is not None
        seeds = self.rng.integers(0, 2**31, size=self.episodes)
        return -float(np.mean([play(genome, self.env, int(seed)) for seed in seeds]))


def serial(fitness: Callable[[corvane.Genome], float]) -> Callable[[List[corvane.Genome]], np.ndarray]:
    return lambda genomes: np.array([fitness(genome) for genome in genomes])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--backend", choices=["serial", "processes", "ray"], default="processes")
    parser.add_argument("--workers", type=int, default=None, help="processes or Ray actors (default: one per CPU)")
    parser.add_argument("--episodes", type=int, default=3, help="episodes per genome and generation")
    parser.add_argument("--quick", action="store_true", help="small budgets: check that the reward improves")
    parser.add_argument("--budget", type=float, default=None, help="seconds of evolution (default 300, quick 30)")
    parser.add_argument("--pop-size", type=int, default=None)
    parser.add_argument("--seed", type=int, default=None, help="seed of the evolution (the episodes stay random)")
    args = parser.parse_args()
    budget = args.budget if args.budget is not None else (30.0 if args.quick else 300.0)
    pop_size = args.pop_size if args.pop_size is not None else (16 if args.quick else 40)
    epochs_per_round = 3 if args.quick else 5

    env = gym.make("CartPole-v1")
    rng = np.random.default_rng()
    model = corvane.Model(4, 2, seed=args.seed)  # cart position and velocity, pole angle and velocity -> left, right
    start_reward = average_reward(model, env, 10, rng)
    print(f"random network: average reward {start_reward:.1f} over 10 episodes; backend {args.backend}")

    fitness = Episodes(args.episodes)
    evaluator: Any
    if args.backend == "serial":
        evaluator = None
    elif args.backend == "processes":
        evaluator = ProcessEvaluator(fitness, workers=args.workers)
    else:
        import ray
        if not ray.is_initialized():
            ray.init(include_dashboard=False, log_to_driver=False)
        evaluator = RayEvaluator(fitness, workers=args.workers)

    try:
        if evaluator is not None:
            evaluator.start()
            print(f"{evaluator.workers} workers")
        train_func = evaluator if evaluator is not None else serial(fitness)
        solved, best_check, rounds, elapsed = evolve_in_rounds(model, train_func, env, rng, budget, pop_size,
                                                               epochs_per_round, args.quick, start_reward, args.seed)
    finally:
        if evaluator is not None:
            evaluator.close()

    if args.quick:
        return quick_outcome(start_reward, best_check, elapsed)
    if not solved:
        print(f"NOT SOLVED within {budget:.0f}s (best 10-episode average {best_check:.1f})")
        return 1
    print(f"SOLVED with the {args.backend} backend in {elapsed:.0f}s and {rounds} rounds: a network of "
          f"{model.size} nodes and {len(model.get_connections())} connections")
    return 0


if __name__ == "__main__":
    sys.exit(main())
