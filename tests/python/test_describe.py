"""A readable model: repr, summary(), to_dot(), corvane.__version__ and the pictures of corvane.plot."""

import contextlib
import io
import re
import subprocess
import sys

import numpy as np
import pytest

import corvane


def test_version_is_the_package_metadata():
    from importlib.metadata import version

    assert corvane.__version__ == version("corvane")
    assert re.fullmatch(r"\d+\.\d+\.\d+.*", corvane.__version__)


REPRS = [
    (lambda: corvane.Model(2, 1, 5, seed=1),
     "<corvane.Model inputs=2 outputs=1 size=5 connections=9 mode=feed-forward not compiled>"),
    (lambda: compiled(corvane.Model(2, 1, 5, True, seed=1), loss="mae", metrics=["mse"]),
     "<corvane.Model inputs=2 outputs=1 size=5 connections=12 mode=recurrent loss=mae>"),
    (lambda: compiled(corvane.Model(3, 2, seed=1)),
     "<corvane.Model inputs=3 outputs=2 size=5 connections=6 mode=feed-forward loss=none>"),
    (lambda: corvane.Genome(2, 1), "<corvane.Genome inputs=2 outputs=1 size=0 connections=0 mode=feed-forward>"),
]


def compiled(model, **kwargs):
    model.compile(**kwargs)
    return model


@pytest.mark.parametrize("make, expected", REPRS, ids=["uncompiled", "recurrent-mae", "no-loss", "genome"])
def test_repr_shows_counts_mode_and_loss(make, expected):
    assert repr(make()) == expected


def test_repr_of_a_subclass_and_of_a_candidate_genome():
    class Mine(corvane.Model):
        pass

    assert repr(Mine(1, 1, seed=1)).startswith("<Mine inputs=1 outputs=1 size=2 connections=1 ")
    seen = []

    def train_func(genomes):
        seen.append(repr(genomes[0]))
        return np.zeros(len(genomes))

    corvane.Model(2, 1, 4, seed=1).func_evolve(train_func, pop_size=2, epochs=1, verbose=0, seed=1)
    assert re.fullmatch(r"<corvane\.Genome inputs=2 outputs=1 size=\d+ connections=\d+ mode=feed-forward>", seen[0])


def test_summary_prints_one_row_per_node_and_the_totals():
    model = corvane.Model(2, 1, 4, True, seed=3)
    model.compile(loss="mse")
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        assert model.summary() is None
    lines = buffer.getvalue().splitlines()
    assert lines[0] == "Model: 2 inputs, 1 outputs, recurrent, loss mse"
    assert lines[2] == " Node  Role    Activation            Bias  In-degree"
    rows = lines[4:8]
    degrees = [0] * 4
    for s, t, _ in model.get_connections():
        degrees[t] += 1
    for row, (index, node), role, degree in zip(rows, model.get_nodes(), ["input", "input", "hidden", "output"],
                                                 degrees):
        assert row.split() == [str(index), role, node["activation"], "%.6f" % node["bias"], str(degree)]
    assert lines[9] == "Nodes: 4 (2 input, 1 hidden, 1 output)"
    assert lines[10] == "Connections: 6 (1 recurrent)"


@pytest.mark.parametrize("make", [lambda: corvane.Model(2, 1, 5, True, seed=4), lambda: evolved_genome()],
                         ids=["model", "genome"])
def test_to_dot_draws_every_node_and_connection(make):
    network = make()
    dot = network.to_dot()
    assert dot.startswith("digraph corvane {") and dot.endswith("}\n")
    edges = re.findall(r"^  n(\d+) -> n(\d+) \[(.*)\];$", dot, re.M)
    nodes = re.findall(r"^  n(\d+) \[label=\"\d+\\n(\w+)\"", dot, re.M)
    layout = corvane._core._layout(network)
    assert [(int(s), int(t)) for s, t, _ in edges] == [(s, t) for s, t, _ in layout["connections"]]
    assert [int(i) for i, _ in nodes] == list(range(len(layout["nodes"])))
    for (s, t, style), (_, _, weight) in zip(edges, layout["connections"]):
        assert ("#d62728" in style) == (weight < 0)
        assert ("dashed" in style) == (t <= s)


def evolved_genome():
    kept = []

    def train_func(genomes):
        kept.append(genomes[-1])
        return np.arange(len(genomes), dtype=float)

    corvane.Model(2, 1, 4, True, seed=2).func_evolve(train_func, pop_size=3, epochs=3, verbose=0, seed=5)
    return kept[-1]


def test_layout_refuses_other_objects():
    with pytest.raises(TypeError, match="Expected a Model or Genome, got int."):
        corvane._core._layout(3)


@pytest.fixture
def pyplot():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    yield plt
    plt.close("all")


def test_plot_network_draws_nodes_and_edges_on_the_given_axes(pyplot):
    from corvane.plot import plot_network

    model = corvane.Model(2, 1, 5, True, seed=4)
    figure, ax = pyplot.subplots()
    assert plot_network(model, ax=ax) is ax
    layout = corvane._core._layout(model)
    texts = [text.get_text() for text in ax.texts]
    assert texts == ["%d\n%s" % (i, "in" if i < 2 else activation) for i, (activation, _) in enumerate(layout["nodes"])]
    # one patch per node, one per connection (self connections as loops)
    assert len(ax.patches) == len(layout["nodes"]) + len(layout["connections"])
    assert ax.get_title() == "5 nodes, 12 connections, recurrent"
    figure.savefig(io.BytesIO(), format="png")


def test_plot_history_puts_val_keys_beside_their_training_key(pyplot):
    from corvane.plot import plot_history

    history = {"loss": [3.0, 2.0, 1.0], "mae": [1.0, 0.5, 0.2], "val_loss": [3.5, 2.5, 1.5],
               "val_mae": [1.1, 0.6, 0.3], "size": [3, 4, 4]}
    figure = plot_history(history)
    axes = figure.axes
    assert [ax.get_title() for ax in axes] == ["loss", "mae", "size"]
    assert [[line.get_label() for line in ax.get_lines()] for ax in axes] == [["loss", "val_loss"], ["mae", "val_mae"],
                                                                             ["size"]]
    assert list(axes[0].get_lines()[1].get_xdata()) == [1, 2, 3]
    assert list(axes[0].get_lines()[1].get_ydata()) == [3.5, 2.5, 1.5]
    assert [ax.get_title() for ax in plot_history(history, keys=["mae"]).axes] == ["mae"]
    with pytest.raises(ValueError, match="'accuracy' not in the history"):
        plot_history(history, keys=["accuracy"])
    with pytest.raises(TypeError):
        plot_history([1.0, 2.0])


def test_the_plot_module_says_what_to_install_without_matplotlib():
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "try:\n    import corvane.plot\nexcept ImportError as e:\n    print(e)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout == 'corvane.plot needs matplotlib: pip install "corvane[plot]"\n', result.stderr
