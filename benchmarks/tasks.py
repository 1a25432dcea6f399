"""A task suite: how many generations, evaluations and seconds evolution needs to solve real tasks.

    python benchmarks/tasks.py                                  # every task, 5 runs each
    python benchmarks/tasks.py --tasks xor,cartpole --runs 10
    python benchmarks/tasks.py --runs 10 --runs-for xor=30        # more runs where they are cheap
    python benchmarks/tasks.py --contenders genetic,alpha --set mutations=2 --set perturb_size=0.3
    python benchmarks/tasks.py --group tuning                   # only the tasks the defaults were tuned on
    python benchmarks/tasks.py --output results-tasks.json

Protocol, the same for every contender:
- 150 genomes are evaluated per generation: neat-python with pop_size 150, corvane's func_evolve
  with pop_size 75, whose train_func gets the 75 members and their 75 children.
- A genome's loss comes from one episode (control tasks; every genome of a generation plays the
  episode of the same seed) or from the whole training set (XOR, the regressions, sequence).
- Success test: when the generation's best genome passes its task's cheap check (its training
  episode reaches the threshold, its training error is low enough), it is tested on fresh data:
  the average reward of 100 fresh episodes must reach the task's official threshold; the
  regression and sequence tasks compare the error on held-out data with a reference. The time
  spent in these tests is not counted as wall time (both libraries pay it alike).
- A run stops when solved, after --max-generations generations or after --cap seconds.
- Run r of every contender uses seed --seed + r (corvane's seed=, neat-python's seed=, and the
  episode seeds); the contenders' runs are interleaved.
It prints, per task and contender, the success rate and the median and range (over solved runs)
of generations, evaluations and wall time to solve. This is no test: nothing passes or fails.

The tasks are split in two groups: "tuning" (XOR, a synthetic regression, sequence, CartPole-v1,
MountainCarContinuous-v0), on which Genetic's defaults were chosen, and "held-out" (diabetes,
Acrobot-v1), which show whether the choice carries over.

Needs scikit-learn and gymnasium (pip install ".[examples]") and, for the peer, neat-python
(pip install ".[bench]").
"""
import argparse
import json
import os
import statistics
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import corvane  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
EVALUATIONS_PER_GENERATION = 150


class Solved(Exception):
    pass


class OutOfTime(Exception):
    pass


# ---------------------------------------------------------------- tasks

class Task:
    """A task: shape of the network, the loss of a generation's genomes, and the success test.

    `policies` are objects with predict(x) and clear(): corvane genomes or wrapped neat networks.
    """

    name = ""
    group = "tuning"
    inputs = outputs = 1
    size = -1
    recurrent = False
    neat = True  # whether neat-python runs on it under the same protocol
    neat_activation = "sigmoid"

    def setup(self, seed):
        """Per-run state (environments, data) from the run's seed."""

    def losses(self, policies, generation):
        raise NotImplementedError

    def candidate(self, loss):
        """Whether a generation's best loss is worth the success test."""
        raise NotImplementedError

    def success(self, policy):
        raise NotImplementedError


class Xor(Task):
    name = "xor"
    inputs, outputs = 2, 1
    X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
    Y = np.array([[0.0], [1.0], [1.0], [0.0]])

    def losses(self, policies, generation):
        return [float(np.mean((np.asarray(p.predict(self.X)).reshape(-1, 1) - self.Y) ** 2)) for p in policies]

    def candidate(self, loss):
        return loss < 0.25

    def success(self, policy):
        # Every output within 0.5 of its target.
        return bool(np.all(np.abs(np.asarray(policy.predict(self.X)).reshape(-1, 1) - self.Y) < 0.5))


class Regression(Task):
    """Regression on a table of data, against least squares on the same split.

    Solved when the test error is at most 1.1 x that of least squares."""

    group = "held-out"
    inputs, outputs = 10, 1
    neat = False  # the peer's per-sample Python loop over 353 samples x 150 genomes is no fair race
    ratio = 1.1

    def data(self):
        raise NotImplementedError

    def setup(self, seed):
        x, y = self.data()
        split = np.random.default_rng(0).permutation(len(x))
        train, test = split[:353], split[353:]
        mean, sd = x[train].mean(0), x[train].std(0)
        y_mean, y_sd = y[train].mean(), y[train].std()
        self.x_train, self.x_test = (x[train] - mean) / sd, (x[test] - mean) / sd
        self.y_train, self.y_test = ((y[train] - y_mean) / y_sd)[:, None], ((y[test] - y_mean) / y_sd)[:, None]
        design = np.hstack([self.x_train, np.ones((len(train), 1))])
        coef, *_ = np.linalg.lstsq(design, self.y_train, rcond=None)
        fit = lambda x: np.hstack([x, np.ones((len(x), 1))]) @ coef  # noqa: E731
        self.ls_train = float(np.mean((fit(self.x_train) - self.y_train) ** 2))
        self.ls_test = float(np.mean((fit(self.x_test) - self.y_test) ** 2))

    def losses(self, policies, generation):
        return [float(np.mean((p.predict(self.x_train) - self.y_train) ** 2)) for p in policies]

    def candidate(self, loss):
        return loss <= self.ratio * self.ls_train

    def success(self, policy):
        return float(np.mean((policy.predict(self.x_test) - self.y_test) ** 2)) <= self.ratio * self.ls_test


class Diabetes(Regression):
    """scikit-learn's bundled diabetes data (442 patients, 10 measurements)."""

    name = "diabetes"

    def data(self):
        from sklearn.datasets import load_diabetes
        return load_diabetes(return_X_y=True)


class Friedman(Regression):
    """scikit-learn's synthetic Friedman #1 problem (442 rows, 10 features of which 5 matter,
    nonlinear, noise 1.0, always the same rows): the regression of the tuning group."""

    name = "friedman"
    group = "tuning"

    def data(self):
        from sklearn.datasets import make_friedman1
        return make_friedman1(n_samples=442, noise=1.0, random_state=0)


class Sequence(Task):
    """One-step forecast of a noisy sine wave by a recurrent network (see examples/sequence.py).

    Solved when the error on 64 fresh series is at most 0.6 x that of persistence ("the next
    value is the current one")."""

    name = "sequence"
    inputs, outputs, size, recurrent = 1, 1, 5, True
    neat = False  # the peer's recurrent networks step one sample at a time in Python
    steps, noise, ratio = 30, 0.1, 0.6

    def series(self, count, rng):
        phase = rng.uniform(0.0, 2.0 * np.pi, size=(count, 1))
        frequency = rng.uniform(0.25, 0.45, size=(count, 1))
        clean = np.sin(frequency * np.arange(self.steps + 1) + phase)
        noisy = clean + rng.normal(0.0, self.noise, size=clean.shape)
        return noisy[:, :-1, None], clean[:, 1:, None]

    def setup(self, seed):
        rng = np.random.default_rng(seed)
        self.x_train, self.y_train = self.series(32, rng)
        self.x_test, self.y_test = self.series(64, rng)
        self.persistence_train = float(np.mean((self.x_train - self.y_train) ** 2))
        self.persistence_test = float(np.mean((self.x_test - self.y_test) ** 2))

    def error(self, policy, x, y):
        policy.clear()
        return float(np.mean((np.asarray(policy.predict(x)).reshape(y.shape) - y) ** 2))

    def losses(self, policies, generation):
        return [self.error(p, self.x_train, self.y_train) for p in policies]

    def candidate(self, loss):
        return loss <= self.ratio * self.persistence_train

    def success(self, policy):
        return self.error(policy, self.x_test, self.y_test) <= self.ratio * self.persistence_test


class Control(Task):
    """A Gymnasium control task: loss = minus the reward of one episode; solved when the best genome
    averages the official threshold over 100 fresh episodes."""

    env_name = ""
    threshold = 0.0
    neat_activation = "tanh"

    def setup(self, seed):
        import gymnasium as gym
        self.env = gym.make(self.env_name)
        self.rng = np.random.default_rng(seed)
        self.test_rng = np.random.default_rng(seed + 10**6)

    def action(self, output):
        return int(np.argmax(output))

    def play(self, policy, episode_seed):
        observation, _ = self.env.reset(seed=episode_seed)
        policy.clear()
        total = 0.0
        while True:
            output = policy.predict(np.asarray(observation, dtype=np.float64))
            observation, reward, terminated, truncated, _ = self.env.step(self.action(output))
            total += float(reward)
            if terminated or truncated:
                return total

    def losses(self, policies, generation):
        episode = int(self.rng.integers(0, 2**31))
        self.last_rewards = [self.play(p, episode) for p in policies]
        return [-r for r in self.last_rewards]

    def candidate(self, loss):
        return -loss >= self.threshold

    def success(self, policy):
        seeds = self.test_rng.integers(0, 2**31, size=100)
        return float(np.mean([self.play(policy, int(s)) for s in seeds])) >= self.threshold


class CartPole(Control):
    name, env_name, threshold = "cartpole", "CartPole-v1", 475.0
    inputs, outputs = 4, 2


class Acrobot(Control):
    name, env_name, threshold = "acrobot", "Acrobot-v1", -100.0
    group = "held-out"
    inputs, outputs = 6, 3


class MountainCar(Control):
    name, env_name, threshold = "mountaincar", "MountainCarContinuous-v0", 90.0
    inputs, outputs = 2, 1

    def action(self, output):
        return np.clip(np.asarray(output, dtype=np.float32).reshape(1), -1.0, 1.0)


TASKS = {task.name: task for task in (Xor(), Friedman(), Diabetes(), Sequence(), CartPole(), Acrobot(), MountainCar())}


# ---------------------------------------------------------------- one run of a contender

class Budget:
    """Counts generations and evaluations, keeps the wall time without the success tests, and
    stops a run that is solved, out of generations or out of time."""

    def __init__(self, task, max_generations, cap):
        self.task, self.max_generations, self.cap = task, max_generations, cap
        self.generations = self.evaluations = 0
        self.testing = 0.0
        self.start = time.perf_counter()

    def wall(self):
        return time.perf_counter() - self.start - self.testing

    def generation(self, policies):
        if self.wall() > self.cap or self.generations >= self.max_generations:
            raise OutOfTime()
        self.generations += 1
        self.evaluations += len(policies)
        losses = self.task.losses(policies, self.generations)
        best = int(np.nanargmin(losses)) if np.isfinite(losses).any() else 0
        if self.task.candidate(losses[best]):
            started = time.perf_counter()
            solved = self.task.success(policies[best])
            self.testing += time.perf_counter() - started
            if solved:
                raise Solved()
        return losses

    def outcome(self, solved):
        return {"solved": solved, "generations": self.generations, "evaluations": self.evaluations,
                "wall_s": self.wall()}


def corvane_run(task, optimizer, seed, max_generations, cap):
    task.setup(seed)
    budget = Budget(task, max_generations, cap)
    model = corvane.Model(task.inputs, task.outputs, task.size, task.recurrent, seed=seed)
    model.compile(optimizer=optimizer)
    try:
        model.func_evolve(lambda genomes: np.array(budget.generation(genomes)),
                          pop_size=EVALUATIONS_PER_GENERATION // 2, epochs=max_generations + 1, verbose=0,
                          seed=seed, workers=1)
    except Solved:
        return budget.outcome(True)
    except OutOfTime:
        pass
    return budget.outcome(False)


class NeatPolicy:
    def __init__(self, net):
        self.net = net

    def predict(self, x):
        x = np.asarray(x, dtype=float)
        if x.ndim == 1:
            return np.array(self.net.activate(x.tolist()))
        return np.array([self.net.activate(row.tolist()) for row in x])

    def clear(self):
        pass


def neat_config(task):
    import neat
    with open(os.path.join(HERE, "neat_xor.cfg")) as source:
        lines = source.read().splitlines()
    replace = {"num_inputs": task.inputs, "num_outputs": task.outputs, "pop_size": EVALUATIONS_PER_GENERATION,
               "activation_default": task.neat_activation, "activation_options": task.neat_activation}
    text = "\n".join(
        f"{line.split('=')[0].rstrip()} = {replace[line.split('=')[0].strip()]}"
        if "=" in line and line.split("=")[0].strip() in replace else line
        for line in lines)
    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as config_file:
        config_file.write(text + "\n")
    try:
        return neat.Config(neat.DefaultGenome, neat.DefaultReproduction, neat.DefaultSpeciesSet,
                           neat.DefaultStagnation, config_file.name)
    finally:
        os.unlink(config_file.name)


def neat_run(task, seed, max_generations, cap):
    import neat
    task.setup(seed)
    config = neat_config(task)
    budget = Budget(task, max_generations, cap)
    population = neat.Population(config, seed=seed)

    def evaluate(genomes, cfg):
        policies = [NeatPolicy(neat.nn.FeedForwardNetwork.create(genome, cfg)) for _, genome in genomes]
        for (_, genome), loss in zip(genomes, budget.generation(policies)):
            genome.fitness = -loss

    try:
        while True:
            population.run(evaluate, 1)
    except Solved:
        return budget.outcome(True)
    except (OutOfTime, neat.CompleteExtinctionException):
        return budget.outcome(False)


# ---------------------------------------------------------------- the suite

def parse_value(text):
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def contenders(names, settings):
    found = {}
    for name in names:
        if name == "genetic":
            found[name] = lambda task, seed, g, c: corvane_run(task, corvane.optimizers.Genetic(**settings), seed, g, c)
        elif name == "alpha":
            found[name] = lambda task, seed, g, c: corvane_run(task, corvane.optimizers.Alpha(), seed, g, c)
        elif name == "neat":
            found[name] = lambda task, seed, g, c: neat_run(task, seed, g, c) if task.neat else None
        else:
            sys.exit(f"unknown contender {name!r} (genetic, alpha, neat)")
    return found


def spread(values):
    if not values:
        return "-"
    median = statistics.median(values)
    return f"{median:.4g} ({min(values):.4g}-{max(values):.4g})"


def report(task, name, outcomes):
    solved = [o for o in outcomes if o["solved"]]
    print(f"{task:12} {name:8} {len(solved):2}/{len(outcomes):<2}  generations {spread([o['generations'] for o in solved]):22}"
          f" evaluations {spread([o['evaluations'] for o in solved]):26} wall s {spread([o['wall_s'] for o in solved])}",
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", default=",".join(TASKS), help="comma-separated, of " + ", ".join(TASKS))
    parser.add_argument("--group", choices=["tuning", "held-out"], help="only the tasks of one group")
    parser.add_argument("--contenders", default="genetic,alpha,neat")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--runs-for", action="append", default=[], metavar="TASK=RUNS",
                        help="another number of runs for one task (repeatable), e.g. xor=30 where runs are cheap")
    parser.add_argument("--seed", type=int, default=1000)
    parser.add_argument("--max-generations", type=int, default=200)
    parser.add_argument("--cap", type=float, default=300.0, help="seconds per run")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        help="a setting of Genetic for this run (repeatable)")
    parser.add_argument("--output", help="write every outcome to this JSON file")
    parser.add_argument("--quiet", action="store_true", help="no line per run")
    args = parser.parse_args()
    settings = {k: parse_value(v) for k, v in (item.split("=", 1) for item in args.set)}
    runs = {name: int(count) for name, count in (item.split("=", 1) for item in args.runs_for)}
    players = contenders(args.contenders.split(","), settings)
    tasks = [TASKS[name] for name in args.tasks.split(",")]
    if args.group:
        tasks = [task for task in tasks if task.group == args.group]
    print(f"{EVALUATIONS_PER_GENERATION} evaluations per generation, {args.runs} runs, seeds {args.seed}.., "
          f"cap {args.max_generations} generations or {args.cap:g} s; Genetic: {corvane.optimizers.Genetic(**settings)!r}",
          flush=True)
    results = {"settings": settings, "runs": args.runs, "runs_for": runs, "seed": args.seed, "max_generations": args.max_generations,
               "cap_s": args.cap, "outcomes": {}}
    for task in tasks:
        outcomes = {name: [] for name in players}
        for r in range(runs.get(task.name, args.runs)):  # interleaved: run r of every contender, then run r + 1
            for name, play in players.items():
                outcome = play(task, args.seed + r, args.max_generations, args.cap)
                if outcome is None:
                    continue
                outcomes[name].append(outcome)
                if not args.quiet:
                    print(f"  {task.name} {name} seed {args.seed + r}: {outcome}", flush=True)
        for name, found in outcomes.items():
            if found:
                report(task.name, name, found)
            else:
                print(f"{task.name:12} {name:8} not run (see the task's notes)", flush=True)
        results["outcomes"][task.name] = outcomes
    if args.output:
        with open(args.output, "w") as out:
            json.dump(results, out, indent=1)


if __name__ == "__main__":
    main()
