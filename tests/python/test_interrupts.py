"""Ctrl-C during training: a run far longer than the wait must stop with KeyboardInterrupt and
leave the model exactly as it was. Each case runs in its own interpreter, so an interrupt that
arrives late cannot stop the test session and a crash is a failed test."""
import json
import signal
import subprocess
import sys
import time

import pytest

# The child: builds the model, says "started", starts a run of a million epochs and reports
# what happened as JSON on its last line. The test sends SIGINT from outside, as a terminal
# does: a timer thread inside the child could not run while evolve holds the interpreter.
CHILD = r"""
import json, sys
import numpy as np
import corvane

case = sys.argv[1]
recurrent = "recurrent" in case
model = corvane.Model(2, 1, recurrent=recurrent)
model.compile(loss="mse", metrics=["mae"], monitors=["size"])
rng = np.random.default_rng(0)
if recurrent:
    x, y = rng.random((6, 5, 2)), rng.random((6, 5, 1))
    probe = rng.random((3, 4, 2))
else:
    samples = 10000 if "big" in case else 40
    x, y = rng.random((samples, 2)), rng.random((samples, 1))
    probe = rng.random((5, 2))
workers = 1 if "one_worker" in case else 2
pop_size = 1000 if "big" in case else 20

def state():
    return {"nodes": model.get_nodes(), "connections": model.get_connections(),
            "size": model.size, "predictions": model.predict(probe).tolist()}

before = state()
calls = []

def train_func(genomes):
    calls.append(len(genomes))
    return np.array([float(np.sum(g.predict(probe) ** 2)) for g in genomes])

outcome = "returned"
print("started", flush=True)
try:
    if case.startswith("evolve"):
        batch = 4 if "batches" in case else -1
        val = (x, y) if "validation" in case else None
        model.evolve(x, y, pop_size=pop_size, batch_size=batch, epochs=10**6, validation_data=val, verbose=0,
                     workers=workers)
    else:
        val = (lambda g: float(np.sum(g.predict(probe)))) if "validation" in case else None
        model.func_evolve(train_func, pop_size=pop_size, epochs=10**6, verbose=0, validation_func=val,
                          workers=workers)
except KeyboardInterrupt:
    outcome = "interrupted"
after = state()
# The model is still usable: a short run completes and changes it as usual.
if case.startswith("evolve"):
    history = model.evolve(x, y, pop_size=5, epochs=2, verbose=0)
else:
    history = model.func_evolve(train_func, pop_size=5, epochs=2, verbose=0)
print(json.dumps({"outcome": outcome, "unchanged": before == after, "calls": len(calls),
                  "history": len(history["loss"])}))
"""

CASES = [
    "evolve",
    "evolve_one_worker",
    "evolve_big",
    "func_evolve_one_worker",
    "evolve_batches",
    "evolve_recurrent_validation",
    "func_evolve",
    "func_evolve_recurrent_validation",
]


@pytest.mark.parametrize("case", CASES)
def test_sigint_stops_a_long_run_and_keeps_the_model(case):
    child = subprocess.Popen([sys.executable, "-c", CHILD, case], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(1.0)  # well into the run
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    report = json.loads(out.strip().splitlines()[-1])
    assert report["outcome"] == "interrupted"
    assert report["unchanged"]
    assert report["history"] == 2
    if case.startswith("func_evolve"):
        # Stopped after some generations, long before a million of them.
        assert 1 <= report["calls"] < 10**6
