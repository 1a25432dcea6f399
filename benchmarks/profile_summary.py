"""Summarises a profile of one workload of profile_workload.py by stage of the evolution loop.

    python profile_summary.py callgrind callgrind.out    # instruction counts (repeatable), with call counts
    python profile_summary.py perf perf.data             # sampled time (cpu-clock), where perf works

Each line is the inclusive cost of the stage's function as a share of the whole training loop
(evolve_on_dataset or evolve_on_function, which includes the first population). Indented lines
are parts of the line above them. The random sources are listed at the end: they are called from
inside breeding and mutation, so their shares overlap those stages.

The random sources are mostly inlined (Random::next, uniform, index): the callgrind summary
counts every instruction on a line of src/random, wherever it was inlined.
"""
import os
import re
import subprocess
import sys

# (label, name prefixes of the function as the profilers print it, demangled)
STAGES = [
    ("whole training loop", ["corvane::evolve_on_dataset(", "corvane::evolve_on_function("]),
    ("first population: seed_population", ["corvane::seed_population("]),
    ("breeding: breed", ["corvane::breed("]),
    ("  crossover", ["corvane::crossover("]),
    ("mutation of the children: mutate_children", ["corvane::mutate_children("]),
    ("mutation: mutate", ["corvane::mutate("]),
    ("  perturb", ["corvane::perturb("]),
    ("  mutate_activations", ["corvane::mutate_activations("]),
    ("  add_node", ["corvane::add_node("]),
    ("  remove_node", ["corvane::remove_node("]),
    ("  add_connection", ["corvane::add_connection("]),
    ("  remove_connection", ["corvane::remove_connection("]),
    ("loss measurement: population_losses", ["corvane::population_losses("]),
    ("  Network::forward", ["corvane::Network::forward(double const*"]),
    ("  activate", ["corvane::activate("]),
    ("selection: tournament_select", ["corvane::tournament_select("]),
    ("Network copies (copy constructor)", ["corvane::Network::Network(corvane::Network const&)"]),
    ("validity checks: is_valid", ["corvane::is_valid("]),
    ("genome list: make_genome", ["corvane::make_genome("]),
    ("train_func call: score_with", ["corvane::(anonymous namespace)::score_with("]),
    ("  result rows: to_rows", ["corvane::(anonymous namespace)::to_rows("]),
    ("random: stream derivation (stream)", ["corvane::stream("]),
    ("random: normal values (Random::standard_normal)", ["corvane::Random::standard_normal("]),
    ("random: bounded values (Random::below)", ["corvane::Random::below("]),
    ("random: shuffle_indices", ["corvane::shuffle_indices("]),
    ("random: random_permutation", ["corvane::random_permutation("]),
]
# perf prints no argument lists: these lines cover every overload of the name.
PERF_LABELS = {"Network copies (copy constructor)": "Network constructors (copies and new ones)"}



def callgrind_functions(path):
    """{function: (inclusive Ir, calls)} from callgrind_annotate's caller tree."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--auto=no", "--threshold=100", "--tree=caller",
                           os.path.abspath(path)], check=True, capture_output=True, text=True, cwd="/").stdout
    functions = {}
    calls = 0
    for line in text.splitlines():
        if not line.strip():
            calls = 0
            continue
        caller = re.match(r"\s*[\d,]+ \(\s*[\d.]+%\)\s+<\s.*\(([\d,]+)x\)", line)
        if caller:
            calls += int(caller.group(1).replace(",", ""))
            continue
        # The annotator splits a function by the source file of its inlined parts; the largest
        # entry of a name is the whole function.
        entry = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+\*\s+(?:[^:]*:)?(.*?)(?:'\d+)?(?:\s+\[.*\])?\s*$", line)
        if entry:
            cost, name = int(entry.group(1).replace(",", "")), entry.group(2)
            known = functions.get(name, (0, 0))
            functions[name] = (max(known[0], cost), known[1] + calls)
    return functions


# Leaf categories of the perf profile: where the sampled time itself is spent, whoever called.
DRAWS = ("corvane::Random::standard_normal", "corvane::Random::below", "corvane::Random::Random", "corvane::stream",
         "corvane::mix64", "corvane::shuffle_indices", "corvane::random_permutation")


def device_read(chain):
    """A sample in the random device. libstdc++ is stripped here: its frames show as unknown, and
    frame-pointer unwinding then skips the draw that called it (the samples come from crossover,
    perturb, mutate, clone, ...). Nothing else of libstdc++ runs in the loop for any time."""
    sym, dso = chain[0]
    return "random_device" in sym or ("libstdc++" in dso and sym == "[unknown]")


def memory_size_query(chain):
    """check_table_size asks the system for the physical memory size (sysinfo) on every reset."""
    return any("sysinfo" in s or "sysconf" in s or "check_table_size" in s for s, _ in chain)


def leaf_is(test):
    """A leaf category from a test of the sampled function's name and object."""
    return lambda chain: test(chain[0][0], chain[0][1])


LEAVES = [
    ("random-device reads", device_read),
    ("sysconf(_SC_PHYS_PAGES) in check_table_size", memory_size_query),
    ("random sources (out-of-line functions of src/random)", leaf_is(lambda sym, dso: base_name(sym) in DRAWS)),
    ("Network::forward", leaf_is(lambda sym, dso: base_name(sym) == "corvane::Network::forward")),
    ("activate", leaf_is(lambda sym, dso: base_name(sym) == "corvane::activate")),
    ("loss terms and dataset loop", leaf_is(lambda sym, dso: base_name(sym).split("::")[-1] in (
        "loss_value", "dataset_losses", "forward_sample", "add_series_losses"))),
    ("libm (exp, tanh, log, pow)", leaf_is(lambda sym, dso: "libm" in dso)),
    ("memory (malloc, free, memcpy, memset)", leaf_is(lambda sym, dso: any(
        k in sym for k in ("malloc", "free", "memcpy", "memmove", "memset", "operator new", "operator delete")))),
    ("kernel (page faults, scheduling)", leaf_is(lambda sym, dso: "kernel" in dso)),
    ("other corvane code", leaf_is(lambda sym, dso: "corvane" in dso)),
    ("Python interpreter", leaf_is(lambda sym, dso: "python" in dso)),
    ("other", lambda chain: True),
]


def perf_samples(path):
    """The call chains (leaf first) of the samples taken inside a training loop."""
    text = subprocess.run(["perf", "script", "-i", os.path.abspath(path), "-F", "ip,sym,dso"], check=True,
                          capture_output=True, text=True, cwd="/").stdout
    chain = []
    for line in text.splitlines() + [""]:
        frame = re.match(r"\s+[0-9a-f]+ (.*?)(?:\+0x[0-9a-f]+)? \((.*)\)\s*$", line)
        if frame:
            chain.append((frame.group(1), frame.group(2)))
            continue
        if chain and any(base_name(sym) in ("corvane::evolve_on_dataset", "corvane::evolve_on_function")
                         for sym, _ in chain):
            yield chain
        chain = []


def perf_report(path):
    """Shares of the sampled time of the training loop: inclusive per stage (a sample counts for
    every stage in its call chain), and by leaf category."""
    inclusive, leaves, total = {}, {}, 0
    for chain in perf_samples(path):
        total += 1
        names = {base_name(sym) for sym, _ in chain}
        for label, prefixes in STAGES:
            if any(matches(name, p, False) for name in names for p in prefixes):
                inclusive[label] = inclusive.get(label, 0) + 1
        leaf = next(label for label, test in LEAVES if test(chain))
        leaves[leaf] = leaves.get(leaf, 0) + 1
    return inclusive, leaves, total


def base_name(name):
    """The qualified name without its argument list (perf prints no argument lists)."""
    plain = name.replace("(anonymous namespace)", "{anonymous}")
    return plain.split("(", 1)[0].strip()


def matches(name, prefix, with_arguments):
    if prefix.startswith("std::mersenne_twister_engine"):
        return name.startswith("std::mersenne_twister_engine") and base_name(name).endswith("::_M_gen_rand")
    if with_arguments:
        return name.startswith(prefix)
    return base_name(name) == base_name(prefix)


def lookup(functions, prefixes, with_arguments):
    cost, calls = 0, 0
    for name, (value, count) in functions.items():
        if any(matches(name, p, with_arguments) for p in prefixes) and value > cost:
            cost, calls = value, count
    return cost, calls


def random_self_cost(path):
    """Instructions executed on lines of src/random, wherever they were inlined: the annotator
    lists inlined code under the file it comes from."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100",
                           os.path.abspath(path)], check=True, capture_output=True, text=True, cwd="/").stdout
    cost = 0
    for line in text.splitlines():
        entry = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S*?):", line)
        if entry and "/src/random/" in entry.group(2):
            cost += int(entry.group(1).replace(",", ""))
    return cost


def print_callgrind(path):
    functions = callgrind_functions(path)
    found = {label: lookup(functions, prefixes, True) for label, prefixes in STAGES}
    total = found["whole training loop"][0]
    if not total:
        raise SystemExit("the profile holds no training loop")
    print("share of the training loop (instructions): inclusive cost per stage, and calls")
    for label, _ in STAGES:
        cost, calls = found[label]
        if cost:
            count = f"  {calls:>10,} calls" if calls else ""
            print(f"  {label:<42} {100.0 * cost / total:6.1f} %  {cost:>15,} Ir{count}")
    own = random_self_cost(path)
    print(f"  {'random sources, inlined code included':<42} {100.0 * own / total:6.1f} %  {own:>15,} Ir"
          "  (self cost of every line in src/random)")


def print_perf(path):
    inclusive, leaves, total = perf_report(path)
    if not total:
        raise SystemExit("the profile holds no sample inside a training loop")
    print(f"share of the training loop (sampled time, {total} samples): inclusive per stage")
    print("  (frame-pointer chains lose a caller at tail calls and in stripped libraries: mutate shows less")
    print("  than perturb, and the draws less than their leaves below; the leaf view is the reliable one)")
    for label, _ in STAGES:
        if inclusive.get(label):
            shown = PERF_LABELS.get(label, label)
            print(f"  {shown:<52} {100.0 * inclusive[label] / total:6.1f} %")
    print("by where the time itself is spent (leaf function)")
    for label, _ in LEAVES:
        if leaves.get(label):
            print(f"  {label:<52} {100.0 * leaves[label] / total:6.1f} %")
    print("  (the inlined draws, such as Random::next and Random::uniform, count with their callers here;")
    print("  the callgrind view above counts every line of src/random)")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("callgrind", "perf"):
        raise SystemExit(__doc__)
    if sys.argv[1] == "callgrind":
        print_callgrind(sys.argv[2])
    else:
        print_perf(sys.argv[2])


if __name__ == "__main__":
    main()
