"""Benchmarks of corvane on this machine, with plain NumPy and neat-python beside it.

    python benchmarks/run.py            # full run (about ten minutes on 2 cores)
    python benchmarks/run.py --quick    # smaller sizes and fewer repeats (under two minutes)
    python benchmarks/run.py --output path/to/results.json --only forward,evolve
    python benchmarks/run.py --show benchmarks/results.json   # the tables of an earlier run

Sections: machine limits (a small C++ program, micro.cpp, compiled here when a C++ compiler is
found), forward pass, dataset evolution, function evolution, XOR against neat-python, the
threads of one run, fitness evaluation on processes and Ray (corvane.parallel). Every
figure is the median over repeated runs with its min-max spread and interquartile range. The
results go to benchmarks/results.json (or --output) and a table is printed. This is no test:
nothing here passes or fails on a number.
"""
import argparse
import json
import os
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import signal
import tempfile
import threading
import time

# corvane runs on one thread: the NumPy reference gets one BLAS thread too, unless the caller
# says otherwise (this must be set before NumPy is first imported).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import corvane  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------- figures and the table

def summary(values):
    """Median, min, max and quartiles of repeated measurements."""
    values = sorted(float(v) for v in values)
    if len(values) >= 2:
        q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    else:
        q1 = q3 = values[0]
    return {"median": statistics.median(values), "min": values[0], "max": values[-1], "q1": q1, "q3": q3,
            "n": len(values), "values": values}


def local_cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def timed(call, repeats, warmup=1):
    """Wall times in seconds of `repeats` calls after `warmup` calls."""
    for _ in range(warmup):
        call()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


ROWS = []


def row(section, name, unit, values, note=""):
    """Records one figure (from per-repeat values) for the table and the JSON file."""
    figure = summary(values)
    figure.update({"section": section, "name": name, "unit": unit, "note": note})
    ROWS.append(figure)
    return figure


def fmt(value):
    if value == 0:
        return "0"
    magnitude = abs(value)
    if magnitude >= 1e6 or magnitude < 1e-3:
        return f"{value:.3g}"
    if magnitude >= 100:
        return f"{value:,.0f}"
    if magnitude >= 10:
        return f"{value:.1f}"
    return f"{value:.3g}"


def print_table(rows):
    header = ("section", "figure", "median", "min - max", "IQR", "unit", "n")
    lines = [header]
    for r in rows:
        lines.append((r["section"], r["name"], fmt(r["median"]), f"{fmt(r['min'])} - {fmt(r['max'])}",
                      f"{fmt(r['q1'])} - {fmt(r['q3'])}", r["unit"], str(r["n"])))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    for i, line in enumerate(lines):
        print("  ".join(cell.ljust(widths[c]) if c < 2 or c == 5 else cell.rjust(widths[c])
                        for c, cell in enumerate(line)))
        if i == 0:
            print("  ".join("-" * w for w in widths))


def markdown_table(rows):
    out = ["| section | figure | median | min - max | IQR | unit | n | note |",
           "|---|---|---:|---:|---:|---|---:|---|"]
    for r in rows:
        out.append(f"| {r['section']} | {r['name']} | {fmt(r['median'])} | {fmt(r['min'])} - {fmt(r['max'])} | "
                   f"{fmt(r['q1'])} - {fmt(r['q3'])} | {r['unit']} | {r['n']} | {r['note']} |")
    return "\n".join(out)


# ---------------------------------------------------------------- the machine

def read_first(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def machine():
    info = {
        "nproc": os.cpu_count(),
        "cpu_model": read_first("/proc/cpuinfo", "model name"),
        "cpu_mhz": read_first("/proc/cpuinfo", "cpu MHz"),
        "memory": read_first("/proc/meminfo", "MemTotal"),
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "openblas_num_threads": os.environ.get("OPENBLAS_NUM_THREADS"),
        "corvane_module": corvane.__file__,
        "platform": platform.platform(),
        "load_average_start": os.getloadavg(),
    }
    try:
        import neat
        info["neat_python"] = neat.__version__
    except ImportError:
        info["neat_python"] = None
    return info


# ---------------------------------------------------------------- machine limits (micro.cpp)

def limits(repeats):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        print("no C++ compiler found: machine limits skipped")
        return {}
    with tempfile.TemporaryDirectory() as folder:
        program = os.path.join(folder, "micro")
        root = os.path.dirname(HERE)
        subprocess.run([compiler, "-O3", "-std=c++20", "-ffp-contract=off", "-I", os.path.join(root, "src"),
                        os.path.join(HERE, "micro.cpp"), os.path.join(root, "src", "random", "random.cpp"),
                        "-o", program], check=True)
        result = json.loads(subprocess.run([program, str(repeats)], check=True, capture_output=True,
                                           text=True).stdout)
    names = {
        "madd_chain_ns": "dependent multiply-add chain",
        "bit_tested_chain_ns": "same chain, bit tested per term",
        "sigmoid_activation_ns": "sigmoid activation (dependent)",
        "tanh_activation_ns": "tanh activation (dependent)",
        "dense_forward_8_ns_per_connection": "C++ dense forward loop, 8 nodes",
        "dense_forward_32_ns_per_connection": "C++ dense forward loop, 32 nodes",
        "dense_forward_128_ns_per_connection": "C++ dense forward loop, 128 nodes",
        "random_device_read_ns": "random-device read",
        "mt19937_seed_and_first_output_ns": "MT19937 seeding + first output",
        "fresh_engine_uniform_draw_ns": "fresh-engine uniform draw",
        "fresh_engine_normal_draw_ns": "fresh-engine normal draw",
        "seeded_engine_uniform_draw_ns": "uniform draw, engine seeded once",
        "seeded_engine_normal_draw_ns": "normal draw, engine seeded once",
        "xoshiro256_output_ns": "xoshiro256** (the library's source): 64-bit output",
        "xoshiro256_canonical_ns": "xoshiro256**: uniform canonical value",
        "xoshiro256_normal_ns": "xoshiro256**: standard normal (polar, spare kept)",
        "xoshiro256_index_below_7_ns": "xoshiro256**: unbiased index below 7",
        "stream_derivation_ns": "stream derivation (seed, kind, generation, member) + first output",
        "pcg64_output_ns": "PCG 128-bit XSL-RR: 64-bit output",
        "mt19937_64_output_ns": "std::mt19937_64: 64-bit output",
    }
    for key, values in result.items():
        unit = "ns/connection" if "forward" in key else ("ns/term" if "chain" in key else "ns/call")
        if "activation" in key:
            unit = "ns/node"
        row("limits", names.get(key, key), unit, values)
    return result


# ---------------------------------------------------------------- forward pass

INPUTS, OUTPUTS = 4, 2


def activation_function(name):
    return {
        "sigmoid": lambda x: 1.0 / (1.0 + np.exp(-x)),
        "tanh": np.tanh,
        "relu": lambda x: np.where(x > 0, x, 0.0),
        "linear": lambda x: x,
    }.get(name, lambda x: np.zeros_like(x))


def dense_tables(model):
    """Biases, activation functions and the dense weight matrix W[s, t] of a model."""
    nodes = model.get_nodes()
    n = len(nodes)
    biases = np.array([attributes["bias"] for _, attributes in nodes])
    functions = [activation_function(attributes["activation"]) for _, attributes in nodes]
    weights = np.zeros((n, n))
    for s, t, attributes in model.get_connections():
        weights[s, t] = attributes["weight"]
    return biases, functions, weights


def numpy_feed_forward(tables, x):
    """One matrix-vector product per node in node order, over all samples at once."""
    biases, functions, weights = tables
    n = len(biases)
    values = np.zeros((x.shape[0], n), order="F")
    values[:, :INPUTS] = x
    for k in range(INPUTS, n):
        values[:, k] = functions[k](values[:, :k] @ weights[:k, k] + biases[k])
    return values[:, n - OUTPUTS:]


def numpy_recurrent(tables, x):
    """Series side by side: for every step, node by node in place (lower nodes already updated,
    the others from the previous step), as the recurrent pass defines it."""
    biases, functions, weights = tables
    n = len(biases)
    series, steps, _ = x.shape
    values = np.zeros((series, n))
    out = np.empty((series, steps, OUTPUTS))
    for t in range(steps):
        values[:, :INPUTS] = x[:, t]
        for k in range(INPUTS, n):
            values[:, k] = functions[k](values @ weights[:, k] + biases[k])
        out[:, t] = values[:, n - OUTPUTS:]
    return out


def forward(quick, repeats):
    with np.errstate(all="ignore"):  # overflow in exploding recurrent networks is expected
        results = forward_figures(quick, repeats)
        results.update(sparse_figures(quick, repeats))
        return results


def model_file(path, n, recurrent, biases, codes, records):
    """A .cv file: header, biases, codes, then (source, target, weight) records."""
    data = struct.pack("<iiiB", n, INPUTS, OUTPUTS, 1 if recurrent else 0)
    data += struct.pack(f"<{n}d", *biases) + struct.pack(f"<{n}i", *codes)
    data += b"".join(struct.pack("<iid", s, t, w) for s, t, w in records)
    with open(path, "wb") as f:
        f.write(data)


def variant(model, keep, relu, rng):
    """The model with a share `keep` of its connections (drawn at random) and, with `relu`,
    every node relu; loaded from a model file written here."""
    nodes = model.get_nodes()
    biases = [attributes["bias"] for _, attributes in nodes]
    names = ["sigmoid", "tanh", "relu", "linear"]
    codes = [2 if relu else names.index(attributes["activation"]) for _, attributes in nodes]
    records = [(s, t, a["weight"]) for s, t, a in model.get_connections() if keep >= 1.0 or rng.random() < keep]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "variant.cv")
        model_file(path, len(nodes), model.recurrent, biases, codes, records)
        return corvane.load(path)


def sparse_figures(quick, repeats):
    """Cost per connection of a sparse 128-node model (10 % of the connections) against the
    fully connected one, every node relu in both; and the sparse one with its mixed activations."""
    samples = 20_000 if quick else 100_000
    rng = np.random.default_rng(3)
    x = rng.uniform(-1, 1, size=(samples, INPUTS))
    full = corvane.Model(INPUTS, OUTPUTS, 128)
    results = {}
    for name, keep, relu in (("dense relu", 1.0, True), ("sparse 10% relu", 0.1, True),
                             ("sparse 10% mixed", 0.1, False)):
        model = variant(full, keep, relu, rng)
        connections = len(model.get_connections())
        times = timed(lambda: model.predict(x), repeats)
        row("forward", f"corvane feed-forward 128 nodes, {name}", "ns/connection",
            [t * 1e9 / (samples * connections) for t in times], f"{connections} connections, {samples} samples")
        results[f"feed-forward-128-{name}"] = {"connections": connections, "samples": samples}
    return results


def forward_figures(quick, repeats):
    samples = 20_000 if quick else 100_000
    rng = np.random.default_rng(1)
    results = {}
    for recurrent in (False, True):
        mode = "recurrent" if recurrent else "feed-forward"
        if recurrent:
            x = rng.uniform(-1, 1, size=(samples // 100, 100, INPUTS))  # series x steps x inputs
        else:
            x = rng.uniform(-1, 1, size=(samples, INPUTS))
        for size in (8, 32, 128):
            model = corvane.Model(INPUTS, OUTPUTS, size, recurrent)
            connections = len(model.get_connections())
            times = timed(lambda: model.predict(x), repeats)
            per_connection = [t * 1e9 / (samples * connections) for t in times]
            row("forward", f"corvane {mode} {size} nodes", "samples/s", [samples / t for t in times],
                f"{connections} connections, {samples} samples")
            row("forward", f"corvane {mode} {size} nodes", "ns/connection", per_connection)
            tables = dense_tables(model)
            reference = numpy_recurrent if recurrent else numpy_feed_forward
            # Fully connected recurrent networks with random weights amplify rounding differences
            # from step to step (and may overflow): the first steps check that both compute the same.
            check = x[:, :3] if recurrent else x
            got, want = model.predict(check), reference(tables, check)
            agree = bool(np.allclose(got, want, rtol=1e-7, atol=1e-9, equal_nan=True))
            np_repeats = max(3, repeats // 2)
            np_times = timed(lambda: reference(tables, x), np_repeats)
            row("forward", f"numpy {mode} {size} nodes", "samples/s", [samples / t for t in np_times],
                f"agrees with corvane: {agree}")
            row("forward", f"numpy {mode} {size} nodes", "ns/connection",
                [t * 1e9 / (samples * connections) for t in np_times])
            results[f"{mode}-{size}"] = {"connections": connections, "samples": samples, "agree": agree}
    return results


# ---------------------------------------------------------------- dataset evolution

def regression_data(samples=1000):
    rng = np.random.default_rng(2)
    x = rng.uniform(-1, 1, size=(samples, 4))
    y = (np.sin(2 * x[:, 0]) + x[:, 1] * x[:, 2] - 0.5 * x[:, 3] ** 2).reshape(-1, 1)
    return x, y


EVOLVE_SIZE = 8  # nodes of the starting network: 4 inputs, 3 hidden, 1 output


def evolve(quick, repeats):
    x, y = regression_data()
    pop_size = 100
    results = {}

    def run(batch_size, epochs):
        model = corvane.Model(4, 1, EVOLVE_SIZE)
        model.compile(loss="mse")
        # One thread: the threads section measures the others.
        model.evolve(x, y, pop_size=pop_size, batch_size=batch_size, epochs=epochs, verbose=0,
                     **supported(model.evolve, workers=1))
        return model.size

    setup = timed(lambda: run(-1, 0), repeats)
    row("evolve", "set-up (first population of 100)", "ms/call", [t * 1e3 for t in setup], "evolve with epochs=0")
    setup_median = statistics.median(setup)
    for batch_size, epochs in ((-1, 4 if quick else 15), (100, 1 if quick else 2)):
        generations = epochs * (1 if batch_size == -1 else len(x) // batch_size)
        sizes = []
        times = timed(lambda: sizes.append(run(batch_size, epochs)), repeats)
        net = [max(t - setup_median, 1e-9) for t in times]
        label = f"batch_size {batch_size}"
        row("evolve", f"{label}: generations", "gen/s", [generations / t for t in net],
            f"{generations} generations per call, set-up subtracted")
        row("evolve", f"{label}: candidate evaluations", "evals/s", [2 * pop_size * generations / t for t in net],
            f"{2 * pop_size} candidates per generation, {len(x) if batch_size == -1 else batch_size} samples each")
        row("evolve", f"{label}: time per generation", "ms/gen", [t * 1e3 / generations for t in net])
        results[label] = {"generations": generations, "final_sizes": sizes[1:]}
    # The same generations on one sample: breeding, mutation and selection with (almost) no
    # measurement, to tell how much of the generation above the measurement is.
    x1, y1 = x[:1], y[:1]

    def run_one(epochs):
        model = corvane.Model(4, 1, EVOLVE_SIZE)
        model.compile(loss="mse")
        model.evolve(x1, y1, pop_size=pop_size, epochs=epochs, verbose=0, **supported(model.evolve, workers=1))

    generations = 4 if quick else 15
    one = timed(lambda: run_one(generations), repeats)
    row("evolve", "batch_size -1, 1 sample: time per generation", "ms/gen",
        [max(t - setup_median, 1e-9) * 1e3 / generations for t in one], "what a generation costs besides measuring")
    return results


# ---------------------------------------------------------------- function evolution

def func_evolve(quick, repeats):
    """An epoch with a train_func that returns zeros at once: everything in it but the call is
    the library's (breeding, mutation, the genome list, the result conversion, selection). The
    same generation in evolve on a single sample shows how much of it the genome list is not."""
    pop_size = 100
    x1, y1 = regression_data(1)
    results = {}
    for size, epochs, reps in ((8, 5 if quick else 20, repeats), (32, 3, 3 if quick else 5)):
        if quick and size > 8:
            continue
        inside = []

        def zeros(genomes):
            start = time.perf_counter()
            out = np.zeros(len(genomes))
            inside.append(time.perf_counter() - start)
            return out

        def run(epoch_count):
            model = corvane.Model(4, 1, size)
            model.func_evolve(zeros, pop_size=pop_size, epochs=epoch_count, verbose=0,
                              **supported(model.func_evolve, workers=1))

        def run_evolve(epoch_count):
            model = corvane.Model(4, 1, size)
            model.compile(loss="mse")
            model.evolve(x1, y1, pop_size=pop_size, epochs=epoch_count, verbose=0, **supported(model.evolve, workers=1))

        setup = statistics.median(timed(lambda: run(0), reps))
        times = timed(lambda: run(epochs), reps)
        epoch_ms = [(t - setup) * 1e3 / epochs for t in times]
        inside_ms = statistics.median(inside) * 1e3
        genomes = 2 * pop_size
        row("func_evolve", f"{size} nodes: epoch, trivial train_func", "ms/epoch", epoch_ms,
            f"pop_size {pop_size}, {genomes} genomes per call, set-up ({setup * 1e3:.1f} ms) subtracted")
        row("func_evolve", f"{size} nodes: outside train_func", "ms/epoch", [e - inside_ms for e in epoch_ms],
            f"inside train_func {inside_ms * 1e3:.1f} us per call")
        row("func_evolve", f"{size} nodes: overhead per genome", "us/genome",
            [(e - inside_ms) * 1e3 / genomes for e in epoch_ms], "time outside train_func / genomes")
        ev_setup = statistics.median(timed(lambda: run_evolve(0), reps))
        ev_ms = [(t - ev_setup) * 1e3 / epochs for t in timed(lambda: run_evolve(epochs), reps)]
        row("func_evolve", f"{size} nodes: same generation in evolve, 1 sample", "ms/gen", ev_ms,
            "breeding, mutation, selection; no genomes, no Python call")
        results[f"{size} nodes"] = {"setup_ms": setup * 1e3, "evolve_setup_ms": ev_setup * 1e3,
                                    "inside_train_func_ms": inside_ms}
    return results


# ---------------------------------------------------------------- XOR against neat-python

XOR_X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
XOR_Y = np.array([[0.0], [1.0], [1.0], [0.0]])
XOR_POP = 150


def solves(outputs):
    """Solved: every output within 0.5 of its target."""
    return bool(np.all(np.abs(np.asarray(outputs, dtype=float).reshape(-1, 1) - XOR_Y) < 0.5))


class Solved(Exception):
    pass


def neat_xor_run(config, cap):
    import neat
    population = neat.Population(config)
    state = {"solved": False, "evals": 0}
    inputs, targets = XOR_X.tolist(), XOR_Y[:, 0].tolist()

    def evaluate(genomes, cfg):
        best = None
        for _, genome in genomes:
            net = neat.nn.FeedForwardNetwork.create(genome, cfg)
            outputs = [net.activate(x)[0] for x in inputs]
            genome.fitness = 4.0 - sum((o - t) ** 2 for o, t in zip(outputs, targets))
            if best is None or genome.fitness > best[0]:
                best = (genome.fitness, outputs)
        state["evals"] += len(genomes)
        state["solved"] = solves(best[1])

    generations = 0
    start = time.perf_counter()
    while generations < cap and not state["solved"]:
        population.run(evaluate, 1)
        generations += 1
    return time.perf_counter() - start, generations, state["solved"], state["evals"]


def corvane_func_xor_run(cap):
    model = corvane.Model(2, 1)
    state = {"generations": 0, "evals": 0}

    def train(genomes):
        state["generations"] += 1
        state["evals"] += len(genomes)
        losses = np.array([np.mean((g.predict(XOR_X) - XOR_Y) ** 2) for g in genomes])
        if solves(genomes[int(np.argmin(losses))].predict(XOR_X)):
            raise Solved()
        return losses

    start = time.perf_counter()
    try:
        model.func_evolve(train, pop_size=XOR_POP, epochs=cap, verbose=0)
        solved = False
    except Solved:
        solved = True
    return time.perf_counter() - start, state["generations"], solved, state["evals"]


def corvane_evolve_xor_run(cap, **threads):
    model = corvane.Model(2, 1)
    model.compile(loss="mse")
    start = time.perf_counter()
    model.evolve(XOR_X, XOR_Y, pop_size=XOR_POP, epochs=cap, verbose=0, **supported(model.evolve, **threads))
    return time.perf_counter() - start, cap, solves(model.predict(XOR_X)), 2 * XOR_POP * cap


def peers(quick, runs):
    cap = 100 if quick else 300
    results = {"cap": cap, "pop_size": XOR_POP}
    try:
        import neat
        config = neat.Config(neat.DefaultGenome, neat.DefaultReproduction, neat.DefaultSpeciesSet,
                             neat.DefaultStagnation, os.path.join(HERE, "neat_xor.cfg"))
        contenders = [("neat-python", lambda: neat_xor_run(config, cap))]
    except ImportError:
        print("neat-python is not installed (pip install '.[bench]'): peer runs skipped")
        contenders = []
    contenders += [("corvane func_evolve", lambda: corvane_func_xor_run(cap)),
                   ("corvane evolve, 1 thread", lambda: corvane_evolve_xor_run(cap, workers=1)),
                   ("corvane evolve, all cores", lambda: corvane_evolve_xor_run(cap))]
    for name, play in contenders:
        # evolve cannot stop early: every run goes to the cap, so it gets half the runs.
        count = max(3, runs // 2) if name.startswith("corvane evolve") else runs
        outcomes = [play() for _ in range(count)]
        wall = [o[0] for o in outcomes]
        gens = [o[1] for o in outcomes]
        solved = [o for o in outcomes if o[2]]
        per_gen = [o[0] * 1e3 / o[1] for o in outcomes]
        rate = [o[3] / o[0] for o in outcomes]
        evals_per_gen = XOR_POP if name == "neat-python" else 2 * XOR_POP
        row("xor", f"{name}: time per generation", "ms/gen", per_gen, f"{evals_per_gen} genomes per generation")
        row("xor", f"{name}: genome evaluations", "evals/s", rate)
        row("xor", f"{name}: success rate", "%", [100.0 * len(solved) / count],
            f"{len(solved)} of {count} runs solved within {cap} generations")
        if not name.startswith("corvane evolve") and solved:
            row("xor", f"{name}: generations to solve", "generations", [o[1] for o in solved], "solved runs only")
            row("xor", f"{name}: wall time to solve", "s", [o[0] for o in solved], "solved runs only")
        results[name] = {"wall_s": wall, "generations": gens, "solved": [o[2] for o in outcomes]}
    return results


# ---------------------------------------------------------------- threads

def supported(method, **kwargs):
    """The keyword arguments that this build's `method` takes (an older build may lack some)."""
    signature = getattr(method, "__text_signature__", "") or ""
    return {k: v for k, v in kwargs.items() if k + "=" in signature}


INTERRUPT_CHILD = r"""
import signal, sys, time
import numpy as np
import corvane
rng = np.random.default_rng(1)
x, y = rng.random((10000, 2)), rng.random((10000, 1))
model = corvane.Model(2, 1, size=6, seed=1)
model.compile(loss="mse")
print("started", flush=True)
try:
    model.evolve(x, y, pop_size=1000, epochs=10**6, verbose=0, workers=int(sys.argv[1]))
except KeyboardInterrupt:
    print(time.perf_counter(), flush=True)
"""


def threads(quick, repeats):
    """Worker threads inside one run, two runs in two Python threads, and how soon Ctrl-C stops
    a long run."""
    results = {}
    x, y = regression_data()
    epochs = 10 if quick else 40
    cores = local_cores()

    def run(workers, seed=1):
        model = corvane.Model(4, 1, EVOLVE_SIZE, seed=seed)
        model.compile(loss="mse")
        model.evolve(x, y, pop_size=100, epochs=epochs, verbose=0, seed=seed, workers=workers)

    per_workers = {}
    for workers in sorted({1, 2, cores}):
        times = timed(lambda: run(workers), repeats)
        per_workers[workers] = times
        row("threads", f"evolve pop 100, 1,000 samples, workers={workers}", "gen/s", [epochs / t for t in times],
            f"{epochs} generations per call")
    ratio = [a / b for a, b in zip(per_workers[1], per_workers[2])]
    row("threads", "speed-up of workers=2 over workers=1", "x", ratio, "per repeat, same seed and result")

    def one_after_the_other():
        run(1, 1)
        run(1, 2)

    def side_by_side():
        pair = [threading.Thread(target=run, args=(1, seed)) for seed in (1, 2)]
        for t in pair:
            t.start()
        for t in pair:
            t.join()

    serial = timed(one_after_the_other, repeats)
    parallel = timed(side_by_side, repeats)
    row("threads", "two models in two Python threads / one after the other", "time ratio",
        [p / q for p, q in zip(parallel, serial)], "workers=1 each; lower is better")

    latencies = []
    for _ in range(2 if quick else 5):
        child = subprocess.Popen([sys.executable, "-c", INTERRUPT_CHILD, str(cores)], stdout=subprocess.PIPE,
                                 text=True)
        assert child.stdout.readline().strip() == "started"
        time.sleep(1.5)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
        latencies.append((float(out.strip().splitlines()[-1]) - sent) * 1e3)
    row("threads", "Ctrl-C to KeyboardInterrupt, evolve pop 1,000 on 10,000 samples", "ms", latencies,
        f"workers={cores}; SIGINT sent 1.5 s into the run")
    results["cores"] = cores
    return results


# ---------------------------------------------------------------- main

# ---------------------------------------------------------------- parallel fitness evaluation

CARTPOLE_STEPS = 1000  # steps per genome (at least 5 ms here): episodes are replayed until this many are done


class CartPoleSteps:
    """A costly fitness: CartPole-v1 episodes (reset when one ends) for a fixed number of steps,
    minus the average reward of the episodes; the environment is made once per worker."""

    def __init__(self):
        self.env = None

    def __getstate__(self):
        return {"env": None}

    def __call__(self, genome):
        if self.env is None:
            import gymnasium
            self.env = gymnasium.make("CartPole-v1")
        observation, _ = self.env.reset(seed=0)
        rewards, total = [], 0.0
        for _ in range(CARTPOLE_STEPS):
            action = int(np.argmax(genome.predict(observation.astype(np.float64))))
            observation, reward, terminated, truncated, _ = self.env.step(action)
            total += reward
            if terminated or truncated:
                rewards.append(total)
                total = 0.0
                observation, _ = self.env.reset()
        return -float(np.mean(rewards)) if rewards else -total


def _free_running(fitness, genomes, barrier, out):
    barrier.wait()
    start = time.perf_counter()
    for genome in genomes:
        fitness(genome)
    out.put(time.perf_counter() - start)


def free_running(fitness, genomes, copies):
    """Seconds the slowest of `copies` processes takes to score the same genomes, all started
    together, with no evaluator between them: what the machine's cores give a Python fitness."""
    import multiprocessing
    context = multiprocessing.get_context("spawn")
    barrier, out = context.Barrier(copies + 1), context.Queue()
    processes = [context.Process(target=_free_running, args=(fitness, genomes, barrier, out)) for _ in range(copies)]
    for process in processes:
        process.start()
    barrier.wait()
    times = [out.get() for _ in processes]
    for process in processes:
        process.join()
    return max(times)


def xor_fitness(genome):
    return float(np.mean((genome.predict(XOR_X) - XOR_Y) ** 2))


def parallel(quick, repeats):
    """func_evolve with a per-genome fitness, serially and through corvane.parallel's evaluators
    (persistent workers, one per core): a costly CartPole fitness, where the evaluators should
    divide the time by the cores, and a cheap XOR fitness, where what they cost shows. Then the
    pickled size of genomes."""
    from corvane import parallel as par
    import pickle
    results = {}
    pop_size = 100
    genomes_per_generation = 2 * pop_size
    # spawn: the workers inherit nothing of this process (Ray runs threads in it).
    backends = {"processes": lambda fitness: par.ProcessEvaluator(fitness, start_method="spawn")}
    try:
        import ray

        def on_ray(fitness):
            # Ray starts only for its own figures: its background processes would take CPU time
            # from the serial and process runs.
            if not ray.is_initialized():
                ray.init(include_dashboard=False, log_to_driver=False)
            return par.RayEvaluator(fitness)
        backends["ray"] = on_ray
    except ImportError:
        ray = None
        print("  Ray is not installed: no Ray figures", flush=True)
    try:
        import gymnasium  # noqa: F401
        tasks = [("CartPole", CartPoleSteps(), 2 if quick else 3, 2 if quick else repeats)]
    except ImportError:
        tasks = []
        print("  gymnasium is not installed: no CartPole figures", flush=True)
    tasks.append(("XOR", xor_fitness, 10 if quick else 30, repeats))

    for task, fitness, epochs, reps in tasks:
        def run(train_func):
            model = corvane.Model(4 if task == "CartPole" else 2, 2 if task == "CartPole" else 1, seed=1)
            model.func_evolve(train_func, pop_size=pop_size, epochs=epochs, verbose=0, seed=2)

        sample = [g for g in _generation(task, pop_size)]
        start = time.perf_counter()
        for genome in sample[:20]:
            fitness(genome)
        per_genome_ms = (time.perf_counter() - start) * 1e3 / 20
        serial = [t * 1e3 / epochs for t in
                  timed(lambda: run(lambda gs: np.array([fitness(g) for g in gs])), reps)]
        serial_median = statistics.median(serial)
        row("parallel", f"{task}: serial", "ms/gen", serial,
            f"pop_size {pop_size}, {genomes_per_generation} genomes per generation, "
            f"{per_genome_ms:.3f} ms per genome")
        results[task] = {"serial_ms_per_generation": serial, "fitness_ms_per_genome": per_genome_ms}
        if task == "CartPole":
            # The most two workers can give here: two processes that share nothing, against one.
            cores = local_cores()
            ceiling = [cores * free_running(fitness, sample[:40], 1) / free_running(fitness, sample[:40], cores)
                       for _ in range(reps)]
            row("parallel", f"{task}: {cores} free-running processes against one", "x", ceiling,
                "throughput of the same fitness loop with no evaluator; the ceiling of the evaluators' speed-up")
            results[task]["free_running_speedup"] = ceiling
        for name, make in backends.items():
            evaluator = make(fitness)
            with evaluator:
                times = [t * 1e3 / epochs for t in timed(lambda: run(evaluator), reps)]
            median = statistics.median(times)
            row("parallel", f"{task}: {name}", "ms/gen", times,
                f"{evaluator.workers} workers; {serial_median / median:.2f}x serial")
            row("parallel", f"{task}: {name}, time against serial", "x", [t / serial_median for t in times],
                "over 1: slower than serial")
            row("parallel", f"{task}: {name}, overhead per genome", "us/genome",
                [(t - serial_median / evaluator.workers) * 1e3 / genomes_per_generation for t in times],
                "time beyond serial / workers, per genome")
            results[task][name] = {"ms_per_generation": times, "workers": evaluator.workers}
        if ray is not None and ray.is_initialized():
            ray.shutdown()

    for size in (10, 100):
        genome = _generation("size", 1, size)[0]
        connections = int(re.search(r"connections=(\d+)", repr(genome)).group(1))
        size_bytes = len(pickle.dumps(genome))
        row("parallel", f"pickled genome, {size} nodes", "bytes", [size_bytes],
            f"{connections} connections (fully connected start), default protocol; the model file "
            f"takes {13 + 12 * size + 16 * connections} bytes")
        results[f"pickled_genome_{size}_nodes"] = size_bytes
    return results


def _generation(task, pop_size, size=-1):
    """The genomes of a first generation."""
    kept = []

    def keep(genomes):
        kept.extend(genomes)
        return np.zeros(len(genomes))

    inputs, outputs = (4, 2) if task == "CartPole" else (2, 1)
    corvane.Model(inputs, outputs, size, seed=1).func_evolve(keep, pop_size=pop_size, epochs=1, verbose=0, seed=2)
    return kept


SECTIONS = ("limits", "forward", "evolve", "func_evolve", "peers", "threads", "parallel")


def baseline(args, chosen, folder_of_build, label):
    """The forward, evolve and parallel sections of another build, run by this script in a child
    process that imports the module from `folder_of_build`; its rows join this run's. For the
    parallel section the folder must hold the whole package (corvane/ with its Python files)."""
    sections = [s for s in ("forward", "evolve", "parallel") if s in chosen]
    if not sections:
        return {}
    with tempfile.TemporaryDirectory() as folder:
        output = os.path.join(folder, "baseline.json")
        command = [sys.executable, os.path.abspath(__file__), "--only", ",".join(sections), "--output", output]
        if args.quick:
            command.append("--quick")
        env = dict(os.environ, PYTHONPATH=os.path.abspath(folder_of_build))
        t0 = time.perf_counter()
        print(f"[{label} from {folder_of_build}] ...", flush=True)
        subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL)
        print(f"[baseline] {time.perf_counter() - t0:.1f} s", flush=True)
        with open(output) as f:
            other = json.load(f)
    for r in other["rows"]:
        r["section"] = label + " " + r["section"]
        ROWS.append(r)
    return {"module": other["machine"]["corvane_module"], "sections": sections,
            **{s: other.get(s) for s in sections}}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repeats (under two minutes)")
    parser.add_argument("--output", default=os.path.join(HERE, "results.json"), help="where the JSON results go")
    parser.add_argument("--only", default=",".join(SECTIONS), help="comma-separated sections: " + ",".join(SECTIONS))
    parser.add_argument("--markdown", action="store_true", help="also print the table as Markdown")
    parser.add_argument("--show", metavar="JSON", help="print the tables of an earlier results file and stop")
    parser.add_argument("--baseline", metavar="DIR", action="append", default=[],
                        help="a folder holding another build of the module (a cmake build directory, or for "
                             "parallel a folder with an installed corvane package): its forward, evolve "
                             "and parallel figures are measured in the same run, in a child process, and listed "
                             "with the section name prefixed by 'baseline ' (repeatable: 'baseline 2 ', ...)")
    args = parser.parse_args()
    if args.show:
        with open(args.show) as f:
            saved = json.load(f)
        print_table(saved["rows"])
        print()
        print(markdown_table(saved["rows"]))
        return
    chosen = [s for s in args.only.split(",") if s]
    unknown = [s for s in chosen if s not in SECTIONS]
    if unknown:
        parser.error(f"unknown sections: {', '.join(unknown)}")
    repeats = 3 if args.quick else 7

    started = time.perf_counter()
    report = {"mode": "quick" if args.quick else "full", "command": " ".join([os.path.basename(sys.executable)] +
                                                                               sys.argv), "machine": machine()}
    print(f"corvane from {corvane.__file__}; {report['machine']['cpu_model']}, {report['machine']['nproc']} cores; "
          f"load average {report['machine']['load_average_start']}", flush=True)
    for section in SECTIONS:
        if section not in chosen:
            continue
        t0 = time.perf_counter()
        print(f"[{section}] ...", flush=True)
        if section == "limits":
            report[section] = limits(repeats)
        elif section == "forward":
            report[section] = forward(args.quick, repeats)
        elif section == "evolve":
            report[section] = evolve(args.quick, repeats)
        elif section == "func_evolve":
            report[section] = func_evolve(args.quick, repeats)
        elif section == "peers":
            report[section] = peers(args.quick, 4 if args.quick else 20)
        elif section == "threads":
            report[section] = threads(args.quick, repeats)
        elif section == "parallel":
            report[section] = parallel(args.quick, repeats)
        print(f"[{section}] {time.perf_counter() - t0:.1f} s", flush=True)
    for number, folder_of_build in enumerate(args.baseline, start=1):
        label = "baseline" if number == 1 else f"baseline {number}"
        report[label] = baseline(args, chosen, folder_of_build, label)
    report["machine"]["load_average_end"] = os.getloadavg()
    report["wall_seconds"] = time.perf_counter() - started
    report["rows"] = ROWS
    with open(args.output, "w") as f:
        json.dump(report, f, indent=1)
    print()
    print_table(ROWS)
    if args.markdown:
        print()
        print(markdown_table(ROWS))
    print(f"\n{len(ROWS)} figures in {report['wall_seconds']:.0f} s, written to {args.output}; "
          f"load average at the end {report['machine']['load_average_end']}")


if __name__ == "__main__":
    main()
