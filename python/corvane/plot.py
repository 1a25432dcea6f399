"""Pictures of a network and of a training history, drawn with matplotlib alone (no Graphviz).

Needs the ``plot`` extra: ``pip install "corvane[plot]"``. For Graphviz users,
``model.to_dot()`` gives the same drawing of a network as DOT text.
"""

import math

try:
    import matplotlib.pyplot as _pyplot
    from matplotlib.patches import Circle, FancyArrowPatch
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError('corvane.plot needs matplotlib: pip install "corvane[plot]"') from error

from corvane import _core

__all__ = ["plot_history", "plot_network"]

_POSITIVE = "#1f77b4"
_NEGATIVE = "#d62728"
_FILL = {"input": "#d9d9d9", "hidden": "#ffffff", "output": "#fdd49e"}


def _role(layout, node):
    if node < layout["inputs"]:
        return "input"
    if node >= len(layout["nodes"]) - layout["outputs"]:
        return "output"
    return "hidden"


def _positions(depths):
    """Rank by depth from left to right; the nodes of a rank spread evenly about the middle."""
    ranks = {}
    for node, depth in enumerate(depths):
        ranks.setdefault(depth, []).append(node)
    positions = {}
    for depth, nodes in ranks.items():
        for row, node in enumerate(nodes):
            positions[node] = (float(depth), (len(nodes) - 1) / 2.0 - row)
    return positions


def _trimmed(start, end, radius):
    """The segment from `start` to `end` shortened by `radius` at both ends (node circles)."""
    (x0, y0), (x1, y1) = start, end
    length = math.hypot(x1 - x0, y1 - y0)
    if length <= 2 * radius:
        return start, end
    dx, dy = (x1 - x0) / length * radius, (y1 - y0) / length * radius
    return (x0 + dx, y0 + dy), (x1 - dx, y1 - dy)


def plot_network(network, ax=None, radius=0.22):
    """Draws a Model or Genome and returns the matplotlib Axes.

    Inputs, hidden and output nodes stand in ranks by depth from left to right, each labelled
    with its index and activation. An edge's width grows with the size of its weight; positive
    weights are blue, negative red. Recurrent connections (to a node of a lower index) are dashed
    curves, self connections dashed loops.
    """
    layout = _core._layout(network)
    depths = layout["depths"]
    if ax is None:
        width = 2.0 + 1.6 * (max(depths, default=0) + 1)
        height = 1.5 + 0.9 * max([depths.count(d) for d in set(depths)], default=1)
        _, ax = _pyplot.subplots(figsize=(width, height))
    positions = _positions(depths)
    finite = [abs(w) for _, _, w in layout["connections"] if math.isfinite(w)]
    largest = max(finite, default=0.0) or 1.0
    for source, target, weight in layout["connections"]:
        size = abs(weight) / largest if math.isfinite(weight) else 1.0
        style = dict(color=_NEGATIVE if weight < 0 else _POSITIVE, linewidth=0.5 + 3.0 * size, alpha=0.8)
        x, y = positions[source]
        if source == target:
            ax.add_patch(Circle((x, y + radius * 1.6), radius * 0.8, fill=False, linestyle="--", zorder=1, **style))
            continue
        recurrent = target <= source
        start, end = _trimmed(positions[source], positions[target], radius)
        arrow = FancyArrowPatch(
            start,
            end,
            arrowstyle="-|>",
            mutation_scale=10,
            shrinkA=0,
            shrinkB=0,
            patchA=None,
            patchB=None,
            connectionstyle="arc3,rad=%s" % (0.6 if recurrent else 0.0),
            linestyle="--" if recurrent else "-",
            zorder=1,
            **style,
        )
        ax.add_patch(arrow)
    for node, (activation, _bias) in enumerate(layout["nodes"]):
        role = _role(layout, node)
        x, y = positions[node]
        ax.add_patch(Circle((x, y), radius, facecolor=_FILL[role], edgecolor="black", linewidth=1.0, zorder=2))
        label = "%d\n%s" % (node, "in" if role == "input" else activation)
        ax.text(x, y, label, ha="center", va="center", fontsize=7, zorder=3)
    xs = [p[0] for p in positions.values()] or [0.0]
    ys = [p[1] for p in positions.values()] or [0.0]
    ax.set_xlim(min(xs) - 0.6, max(xs) + 0.6)
    ax.set_ylim(min(ys) - 0.6, max(ys) + 0.9)
    ax.set_aspect("equal")
    ax.axis("off")
    mode = "recurrent" if layout["recurrent"] else "feed-forward"
    ax.set_title("%d nodes, %d connections, %s" % (len(layout["nodes"]), len(layout["connections"]), mode))
    return ax


def plot_history(history, keys=None):
    """Plots a history dict (as evolve and func_evolve return it) and returns the matplotlib Figure.

    Every training key gets its own axes against the epoch (counted from 1), with its
    ``"val_"`` key beside it on the same axes. `keys` picks the training keys to show (default:
    all of them, "size" included).
    """
    if not isinstance(history, dict):
        raise TypeError("plot_history expects the history dict that evolve returns, got %s." % type(history).__name__)
    trained = [key for key in history if not key.startswith("val_") or key[4:] not in history]
    if keys is not None:
        missing = [key for key in keys if key not in history]
        if missing:
            raise ValueError("plot_history: %s not in the history (its keys: %s)." % (", ".join(map(repr, missing)), ", ".join(history)))
        trained = list(keys)
    if not trained:
        raise ValueError("plot_history: the history has no keys to plot.")
    figure, axes = _pyplot.subplots(1, len(trained), figsize=(4.2 * len(trained), 3.2), squeeze=False)
    for ax, key in zip(axes[0], trained):
        epochs = range(1, len(history[key]) + 1)
        ax.plot(epochs, history[key], label=key)
        if "val_" + key in history:
            ax.plot(range(1, len(history["val_" + key]) + 1), history["val_" + key], label="val_" + key, linestyle="--")
        ax.set_xlabel("epoch")
        ax.set_ylabel(key)
        ax.set_title(key)
        ax.grid(True, alpha=0.3)
        ax.legend()
    figure.tight_layout()
    return figure
