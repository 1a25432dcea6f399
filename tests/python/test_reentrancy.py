"""Python code that runs in the middle of a call and changes what the call works on: an array
subclass whose conversion re-initialises the model, a train_func that
re-initialises or trains the model it is called for, a Keras module whose layers do the same.
Each case runs in its own interpreter and must end with a result or a clear exception; a crash
or a memory error (under the sanitizers) fails the test."""
import subprocess
import sys
import textwrap

import pytest

PREAMBLE = textwrap.dedent(
    """
    import sys, types
    import numpy as np
    import corvane

    class Reinit(np.ndarray):
        # Re-initialises `target` with (inputs, outputs) when NumPy makes the float64 copy.
        target, shape_to = None, None

        def __array_finalize__(self, obj):
            if Reinit.target is not None and obj is not None:
                model, Reinit.target = Reinit.target, None
                model.__init__(*Reinit.shape_to)

    def consistent(model):
        assert model.size == len(model.get_nodes())
        out = model.predict(np.zeros((2, model.inputs)))
        assert out.shape == (2, model.outputs)
    """
)

CASES = {
    "predict_input_reinitialises_model": """
        m = corvane.Model(1, 1)
        x = np.ones((3, 1), dtype=np.int64).view(Reinit)
        Reinit.target, Reinit.shape_to = m, (50, 400)
        try:
            m.predict(x)
            raise SystemExit("predicted with a network of another shape")
        except ValueError:
            pass
        consistent(m)
    """,
    "evaluate_input_reinitialises_model": """
        m = corvane.Model(2, 1)
        m.compile(loss="mse")
        x = np.ones((3, 2), dtype=np.int64).view(Reinit)
        Reinit.target, Reinit.shape_to = m, (1, 30)
        try:
            m.evaluate(x, np.ones((3, 1)))
        except (ValueError, RuntimeError):
            pass
    """,
    "train_func_result_of_huge_empty_shape": """
        m = corvane.Model(2, 1)
        try:
            m.func_evolve(lambda g: np.zeros((10 ** 12, 0)), pop_size=3, epochs=1, verbose=0)
            raise SystemExit("accepted a result without losses")
        except ValueError:
            pass
    """,
    "train_func_reinitialises_model": """
        m = corvane.Model(2, 1)
        def train(genomes):
            m.__init__(5, 3, recurrent=True)
            return np.zeros(len(genomes))
        m.func_evolve(train, pop_size=3, epochs=2, verbose=0)
        consistent(m)
    """,
    "train_func_trains_the_same_model": """
        m = corvane.Model(2, 1)
        m.compile(loss="mse")
        x, y = np.random.rand(6, 2), np.random.rand(6, 1)
        def train(genomes):
            m.evolve(x, y, pop_size=3, epochs=1, verbose=0)
            m.func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=1, verbose=0)
            m.compile(loss="mae")
            for g in genomes:
                g.__init__(7, 7)  # a genome's counts no longer fit its network
            try:
                genomes[0].predict(np.zeros((1, 7)))
                raise SystemExit("predicted with a network of another shape")
            except ValueError:
                pass
            del genomes[:]
            return np.zeros(6)
        m.func_evolve(train, pop_size=3, epochs=2, verbose=0)
        consistent(m)
    """,
    "keras_module_reinitialises_model": """
        m = corvane.Model(3, 2, 12)
        class Layer:
            def __init__(self, *args, **kwargs):
                m.__init__(1, 1)  # shrinks the network being exported
            def __call__(self, *args):
                return object()
            def set_weights(self, weights):
                pass
        fake = types.ModuleType("keras")
        fake.layers = types.SimpleNamespace(Dense=Layer, Input=lambda *a, **k: object(), Concatenate=Layer)
        fake.activations = types.SimpleNamespace(sigmoid=None, tanh=None, relu=None, linear=None)
        fake.Model = lambda *args: "exported"
        sys.modules["keras"] = fake
        assert m.to_keras() == "exported"
        consistent(m)
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_code_run_during_a_call_cannot_break_it(case):
    script = PREAMBLE + textwrap.dedent(CASES[case]) + "\nprint('ok')\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip().endswith("ok")
