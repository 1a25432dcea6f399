"""Where a generation's time goes when ProcessEvaluator scores a cheap fitness (XOR).

Not a test and not part of run.py: a probe that replays one generation's messaging step by step
with two spawned workers and times each step, median over many rounds:

  parent encode   the genomes of every chunk made into one message each (in the parent)
  worker decode   the message made into genome objects again (in the worker)
  fitness         the fitness calls of a chunk (in the worker)
  worker reply    the scores made into the reply (in the worker)
  transfer        round trip minus the worker's own time: both pipe writes and reads, wake-ups
  parent decode   the replies read into the score array (in the parent)

The workers run their chunks at the same time, so a generation costs about parent encode +
max over workers (transfer + decode + fitness + reply) + parent decode. The evolution itself
(breeding, the genome objects) is the part that serial and parallel runs share.

    .venv/bin/python benchmarks/parallel_breakdown.py [--rounds 300] [--form pickle|packed]

--form pickle replays the messages as a list of pickled genomes with a pickled list of floats
as the reply; --form packed as the evaluators send them now, when this build has the packed
form (corvane._core._pack_genomes).
"""
import argparse
import multiprocessing
import pickle
import statistics
import time

import numpy as np

import corvane
from corvane import _core

XOR_X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
XOR_Y = np.array([[0.0], [1.0], [1.0], [0.0]])


def xor_fitness(genome):
    return float(np.mean((genome.predict(XOR_X) - XOR_Y) ** 2))


def encode(form, genomes):
    if form == "pickle":
        return pickle.dumps(genomes, protocol=pickle.HIGHEST_PROTOCOL)
    return _core._pack_genomes(genomes)


def decode(form, message):
    if form == "pickle":
        return pickle.loads(message)
    return _core._unpack_genomes(message)


def reply_of(form, scores):
    if form == "pickle":
        return pickle.dumps(("ok", scores), protocol=pickle.HIGHEST_PROTOCOL)
    return np.asarray(scores, dtype=np.float64).tobytes()


def scores_of(form, reply):
    if form == "pickle":
        return pickle.loads(reply)[1]
    return np.frombuffer(reply, dtype=np.float64)


def worker(conn, form):
    """Answers each message with its reply, then with its own timings (decode, fitness, reply)."""
    while True:
        try:
            message = conn.recv_bytes()
        except EOFError:
            return
        t0 = time.perf_counter()
        genomes = decode(form, message)
        t1 = time.perf_counter()
        scores = [xor_fitness(genome) for genome in genomes]
        t2 = time.perf_counter()
        reply = reply_of(form, scores)
        t3 = time.perf_counter()
        conn.send_bytes(reply)
        conn.send_bytes(pickle.dumps((t1 - t0, t2 - t1, t3 - t2)))


def generation(pop_size):
    kept = []

    def keep(genomes):
        kept.extend(genomes)
        return np.zeros(len(genomes))

    corvane.Model(2, 1, seed=1).func_evolve(keep, pop_size=pop_size, epochs=1, verbose=0, seed=2)
    return kept


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=300)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--form", choices=["pickle", "packed"],
                        default="packed" if hasattr(_core, "_pack_genomes") else "pickle")
    args = parser.parse_args()
    genomes = generation(100)
    context = multiprocessing.get_context("spawn")
    pool = []
    for _ in range(args.workers):
        parent, child = context.Pipe(duplex=True)
        process = context.Process(target=worker, args=(child, args.form), daemon=True)
        process.start()
        child.close()
        pool.append((process, parent))

    steps = {name: [] for name in ("parent encode", "transfer", "worker decode", "fitness", "worker reply",
                                   "parent decode", "whole generation")}
    message_bytes = reply_bytes = 0
    for _ in range(args.rounds):
        start = time.perf_counter()
        messages = [encode(args.form, genomes[k::args.workers]) for k in range(args.workers)]
        encoded = time.perf_counter()
        sent = []
        for (_, conn), message in zip(pool, messages):
            sent.append(time.perf_counter())
            conn.send_bytes(message)
        worker_times, round_trips, decode_time = [], [], 0.0
        scores = np.empty(len(genomes))
        for k, ((_, conn), at) in enumerate(zip(pool, sent)):
            reply = conn.recv_bytes()
            arrived = time.perf_counter()
            scores[k::args.workers] = scores_of(args.form, reply)
            decode_time += time.perf_counter() - arrived
            round_trips.append(arrived - at)
            reply_bytes = len(reply)
            worker_times.append(pickle.loads(conn.recv_bytes()))
        end = time.perf_counter()
        message_bytes = len(messages[0])
        slowest = max(range(args.workers), key=lambda k: round_trips[k])
        own = sum(worker_times[slowest])
        steps["parent encode"].append(encoded - start)
        steps["transfer"].append(round_trips[slowest] - own)
        steps["worker decode"].append(worker_times[slowest][0])
        steps["fitness"].append(worker_times[slowest][1])
        steps["worker reply"].append(worker_times[slowest][2])
        steps["parent decode"].append(decode_time)
        # Without the extra timing message, which the real evaluator does not send.
        steps["whole generation"].append(end - start)
    for _, conn in pool:
        conn.close()
    for process, _ in pool:
        process.join()

    print(f"form {args.form}, {len(genomes)} genomes, {args.workers} workers, {args.rounds} rounds; "
          f"message {message_bytes} bytes per worker, reply {reply_bytes} bytes")
    for name, values in steps.items():
        print(f"  {name:18s} {statistics.median(values) * 1e3:7.3f} ms")
    start = time.perf_counter()
    for _ in range(20):
        for genome in genomes:
            xor_fitness(genome)
    print(f"  serial fitness of all {len(genomes)} genomes in the parent: "
          f"{(time.perf_counter() - start) * 1e3 / 20:.3f} ms")


if __name__ == "__main__":
    main()
