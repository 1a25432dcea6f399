import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane
from corvane.optimizers import Alpha

NOT_COMPILED = "You must compile your model before evaluating. Use `model.compile(loss)`."
NOT_AN_OPTIMIZER = "The given optimizer is not an optimizer and not the name of an optimizer.\n"

X = np.array([[0.7]])
Y = np.zeros((1, 1))


@pytest.fixture
def probe():
    """A Model(1, 1) and the absolute value a of its one prediction on X, with a not 0 and not 1.

    Against a target of 0 the losses of one sample are mse a**2, mae a and mape 1e12 * a, so the
    list evaluate returns tells which codes compile stored, in which order."""
    for _ in range(100):
        model = corvane.Model(1, 1)
        model.compile(metrics=["mae"])
        (a,) = model.evaluate(X, Y)
        if a not in (0.0, 1.0):
            return model, a
    pytest.fail("no model with a usable prediction")


def loss_names(model, a):
    names = {"mse": a * a, "mae": a, "mape": 100 * a / 1e-10}
    result = []
    for value in model.evaluate(X, Y):
        matches = [name for name, expected in names.items() if value == pytest.approx(expected, rel=1e-12)]
        assert len(matches) == 1, (value, names)
        result += matches
    return result


class Fast(Alpha):
    pass


@pytest.mark.parametrize(
    "kwargs, names",
    [
        ({}, []),
        ({"loss": "mse", "metrics": ["mae", "mse"]}, ["mse", "mae", "mse"]),
        ({"metrics": ["mae"]}, ["mae"]),
        ({"loss": "mape"}, ["mape"]),
        ({"loss": "", "metrics": ["mape", "mape"]}, ["mape", "mape"]),
        ({"loss": "mae", "metrics": []}, ["mae"]),
        ({"monitors": ["size", "size"]}, []),
        ({"optimizer": "alpha", "loss": "mse"}, ["mse"]),
        ({"optimizer": Alpha(0.1), "loss": "mae"}, ["mae"]),
        ({"optimizer": Fast(), "metrics": ["mse"]}, ["mse"]),
    ],
    ids=["nothing", "loss_then_metrics", "metric_only", "loss_only", "empty_loss", "empty_metrics",
         "monitors", "optimizer_name", "optimizer_object", "optimizer_subclass"],
)
def test_codes_in_order(probe, kwargs, names):
    model, a = probe
    assert model.compile(**kwargs) is None
    assert loss_names(model, a) == names


def test_positional_arguments(probe):
    model, a = probe
    model.compile("alpha", "mse", ["mape"], ["size"])
    assert loss_names(model, a) == ["mse", "mape"]


def test_each_call_replaces_the_configuration(probe):
    model, a = probe
    model.compile(loss="mse", metrics=["mae", "mape"])
    model.compile(metrics=["mape"])
    assert loss_names(model, a) == ["mape"]
    model.compile()
    assert model.evaluate(X, Y) == []


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        pytest.param({"optimizer": "Alpha"}, ValueError, "Optimizer 'Alpha' not known.\n", id="optimizer_capitals"),
        pytest.param({"optimizer": ""}, ValueError, "Optimizer '' not known.\n", id="optimizer_empty"),
        pytest.param({"optimizer": "alpha\0"}, ValueError, "Optimizer 'alpha\0' not known.\n", id="optimizer_nul"),
        pytest.param(
            {"optimizer": Text("beta")},
            ValueError, "Optimizer 'beta' not known.\n",
            id="optimizer_str_subclass",
        ),
        pytest.param({"optimizer": None}, ValueError, NOT_AN_OPTIMIZER, id="optimizer_none"),
        pytest.param({"optimizer": 5}, ValueError, NOT_AN_OPTIMIZER, id="optimizer_int"),
        pytest.param({"optimizer": Alpha}, ValueError, NOT_AN_OPTIMIZER, id="optimizer_type"),
        pytest.param({"optimizer": b"alpha"}, ValueError, NOT_AN_OPTIMIZER, id="optimizer_bytes"),
        pytest.param({"loss": "MSE"}, ValueError, "Loss 'MSE' not known.\n", id="loss_capitals"),
        pytest.param({"loss": " mse"}, ValueError, "Loss ' mse' not known.\n", id="loss_space"),
        pytest.param(
            {"loss": "mse", "metrics": ["mae", "MAE"]},
            ValueError, "Metric 'MAE' not known.\n",
            id="metric_capitals",
        ),
        pytest.param({"metrics": ["m\u00e4e"]}, ValueError, "Metric 'm\u00e4e' not known.\n", id="metric_non_ascii"),
        pytest.param({"metrics": ["mae\0"]}, ValueError, "Metric 'mae\0' not known.\n", id="metric_nul"),
        pytest.param({"monitors": ["size", "Size"]}, ValueError, "Monitor 'Size' not known.\n", id="monitor_capitals"),
        pytest.param({"metrics": "mae"}, TypeError, "Expected metrics to be a list of str, not str.", id="metrics_str"),
        pytest.param(
            {"metrics": ("mae",)},
            TypeError, "Expected metrics to be a list of str, not tuple.",
            id="metrics_tuple",
        ),
        pytest.param(
            {"metrics": None},
            TypeError, "Expected metrics to be a list of str, not NoneType.",
            id="metrics_none",
        ),
        pytest.param(
            {"metrics": ["mae", 1]},
            TypeError, "Expected metrics to be a list of str, but item 1 is int.",
            id="metrics_item_int",
        ),
        pytest.param(
            {"monitors": {"size"}},
            TypeError, "Expected monitors to be a list of str, not set.",
            id="monitors_set",
        ),
        pytest.param(
            {"monitors": [b"size"]},
            TypeError, "Expected monitors to be a list of str, but item 0 is bytes.",
            id="monitors_item_bytes",
        ),
    ],
)
def test_failures_leave_the_model_uncompiled(kwargs, error, message):
    model = corvane.Model(1, 1)
    model.compile(loss="mse")
    with pytest.raises(error) as raised:
        model.compile(**kwargs)
    assert str(raised.value) == message
    with pytest.raises(RuntimeError) as raised:
        model.evaluate(X, Y)
    assert str(raised.value) == NOT_COMPILED


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"loss": 1}, TypeError),
        ({"loss": None}, TypeError),
        ({"loss": "ms\0e"}, ValueError),
        ({"losses": "mse"}, TypeError),
        ({"metrics": ["\ud800"]}, UnicodeEncodeError),
        ({"optimizer": "\ud800"}, UnicodeEncodeError),
    ],
    ids=["loss_int", "loss_none", "loss_nul", "unknown_keyword", "metric_surrogate", "optimizer_surrogate"],
)
def test_parser_and_encoding_errors_stand(kwargs, error):
    model = corvane.Model(1, 1)
    with pytest.raises(error):
        model.compile(**kwargs)
    with pytest.raises(RuntimeError):
        model.evaluate(X, Y)


def test_parse_failure_changes_nothing(probe):
    model, a = probe
    model.compile(loss="mae")
    with pytest.raises(TypeError):
        model.compile(loss=3)
    assert loss_names(model, a) == ["mae"]


def test_optimizer_reference_is_held_once_and_released():
    alpha = Alpha()
    base = sys.getrefcount(alpha)
    model = corvane.Model(1, 1)
    model.compile(optimizer=alpha)
    assert sys.getrefcount(alpha) == base + 1
    model.compile(optimizer=alpha)
    assert sys.getrefcount(alpha) == base + 1
    model.compile()
    assert sys.getrefcount(alpha) == base
    # a failure after the optimizer step keeps the optimizer it stored, one before drops it
    with pytest.raises(ValueError):
        model.compile(optimizer=alpha, loss="MSE")
    assert sys.getrefcount(alpha) == base + 1
    with pytest.raises(ValueError):
        model.compile(optimizer="beta")
    assert sys.getrefcount(alpha) == base
    model.compile(optimizer=alpha)
    del model
    assert sys.getrefcount(alpha) == base


def test_code_run_while_dropping_the_old_optimizer_does_not_leak_into_the_new_configuration(probe):
    model, a = probe
    witness = Alpha()

    class Meddling(Alpha):
        def __del__(self):
            model.compile(optimizer=witness, loss="mae", metrics=["mse"])

    model.compile(optimizer=Meddling())
    base = sys.getrefcount(witness)
    model.compile(metrics=["mape"])  # drops the Meddling optimizer, whose __del__ compiles again
    assert loss_names(model, a) == ["mape"]
    assert sys.getrefcount(witness) == base  # the reference the meddling call stored is dropped


def test_bad_metrics_and_monitors_do_not_crash():
    # Run apart: a crash must fail this test rather than end the test run.
    script = textwrap.dedent(
        """
        import corvane
        model = corvane.Model(1, 1)
        for kwargs in [dict(metrics=5), dict(metrics=[None]), dict(metrics=[["mae"]]), dict(monitors=42),
                       dict(monitors=[3.5]), dict(monitors=["size", object()]), dict(metrics={"mae": 1})]:
            try:
                model.compile(**kwargs)
            except TypeError:
                pass
            else:
                raise SystemExit("accepted " + repr(kwargs))
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


def test_docstring():
    assert corvane.Model.compile.__text_signature__ == "($self, optimizer='alpha', loss='', metrics=[], monitors=[])"
    assert corvane.Model.compile.__doc__.endswith(
        "Configure the losses, metrics and monitors for evolution. For `model.evolve_func`, losses and metrics are "
        "optional."
    )
