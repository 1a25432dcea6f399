"""Where the progress lines go: C stdio when sys.stdout is the process's own standard output,
sys.stdout otherwise (a notebook kernel, redirect_stdout); either way in order with what the
user's code prints. The notebook case runs a real Jupyter kernel."""

import contextlib
import io
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane

# A run whose train_func and callback print: the order of everything written is fixed.
SCRIPT = textwrap.dedent("""
    import numpy as np
    import corvane
    from corvane.callbacks import Callback

    class Printing(Callback):
        def on_epoch_end(self, epoch, logs=None):
            print("callback", epoch)

    def train_func(genomes):
        print("scored", len(genomes))
        return np.zeros(len(genomes))

    def run():
        model = corvane.Model(2, 1, seed=1)
        print("before")
        model.func_evolve(train_func, pop_size=3, epochs=2, verbose=1, seed=2, callbacks=[Printing()])
        print("after")
""")

EXPECTED = re.compile(
    r"before\n"
    r"scored 6\n\rEpoch 1/2 - \d+ms - loss: 0\.000000\ncallback 0\n"
    r"scored 6\n\rEpoch 2/2 - \d+ms - loss: 0\.000000\ncallback 1\n"
    r"after\n\Z")


def run_script_here():
    namespace = {}
    exec(SCRIPT, namespace)
    namespace["run"]()


def test_process_stdout_gets_the_lines_in_order_with_the_prints():
    # stdout is a pipe: Python buffers its prints, the lines go through C stdio.
    env = {key: value for key, value in os.environ.items() if key != "PYTHONUNBUFFERED"}
    result = subprocess.run([sys.executable, "-c", SCRIPT + "\nrun()\n"], capture_output=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()  # as bytes: text mode would turn "\r" into "\n"
    assert EXPECTED.match(out), out


def test_redirected_stdout_gets_the_lines_in_order_and_the_process_stdout_nothing(c_output):
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        run_script_here()
    assert EXPECTED.match(buffer.getvalue()), buffer.getvalue()
    assert c_output() == ""


def test_evolve_writes_its_warning_and_lines_through_a_redirected_stdout(c_output):
    model = corvane.Model(1, 1, seed=1)
    model.compile(loss="mse")
    x = np.linspace(0, 1, 20).reshape(-1, 1)
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        model.evolve(x, x, pop_size=4, batch_size=1, epochs=1, verbose=2, seed=3)
    text = buffer.getvalue()
    assert text.startswith("WARNING! The batch size is less than 10% the number of samples")
    assert re.fullmatch(r"\rEpoch 1/1 - \S+ - loss\*: \d+\.\d{6}\n", text.split("\n", 1)[1]), text
    assert c_output() == ""


def test_no_stdout_writes_nothing(monkeypatch, c_output):
    monkeypatch.setattr(sys, "stdout", None)
    model = corvane.Model(2, 1, seed=1)
    history = model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=2, epochs=2, verbose=1, seed=1)
    model.summary()
    monkeypatch.undo()
    assert len(history["loss"]) == 2
    assert c_output() == ""


def test_a_failing_stdout_fails_the_run_and_leaves_the_model_unchanged():
    class Broken(io.StringIO):
        def write(self, text):
            raise BrokenPipeError("no reader")

    model = corvane.Model(2, 1, seed=1)
    before = model.get_connections()
    with contextlib.redirect_stdout(Broken()), pytest.raises(BrokenPipeError):
        model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=2, epochs=3, verbose=1, seed=1)
    assert model.get_connections() == before


NOTEBOOK_CELL = textwrap.dedent("""
    import numpy as np
    import corvane
    x = np.linspace(-1, 1, 16).reshape(8, 2)
    y = x[:, :1] * x[:, 1:]
    model = corvane.Model(2, 1, seed=1)
    model.compile(loss="mse")
    history = model.evolve(x, y, pop_size=10, epochs=3, verbose=1, seed=2)
    print('done', 3)
""")

EPOCH_LINE = r"\rEpoch {0}/3 - 1/1 \[={{30}}\] - \S+ \S+/step - loss: \d+\.\d{{6}}\n"


@pytest.mark.skipif(os.environ.get("CORVANE_SANITIZED") == "1",
                    reason="a kernel under the sanitizers' preloaded runtimes; the redirected cases cover the module")
def test_a_notebook_cell_shows_the_progress_lines_then_its_prints():
    import nbformat
    from nbclient import NotebookClient

    notebook = nbformat.v4.new_notebook()
    notebook.cells.append(nbformat.v4.new_code_cell(NOTEBOOK_CELL))
    notebook.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    NotebookClient(notebook, timeout=120, kernel_name="python3").execute()
    outputs = notebook.cells[0].outputs
    assert [output.output_type for output in outputs] == ["stream"] * len(outputs)
    assert {output.name for output in outputs} == {"stdout"}
    text = "".join(output.text for output in outputs)
    expected = "".join(EPOCH_LINE.format(e) for e in (1, 2, 3)) + r"done 3\n"
    assert re.fullmatch(expected, text), repr(text)
