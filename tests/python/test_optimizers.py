import ctypes
import importlib
import sys

import pytest

import corvane


def mutation_rate(alpha):
    """The hidden field: the double that follows the object header."""
    return ctypes.c_double.from_address(id(alpha) + object.__basicsize__).value


def test_submodule_is_an_attribute_and_importable():
    module = importlib.import_module("corvane.optimizers")
    assert module is corvane.optimizers
    assert sys.modules["corvane.optimizers"] is corvane.optimizers
    assert module.__name__ == "corvane.optimizers"
    assert module.__doc__ == "Optimizers."
    from corvane.optimizers import Alpha

    assert Alpha is corvane.optimizers.Alpha


def test_alpha_type():
    Alpha = corvane.optimizers.Alpha
    assert Alpha.__module__ == "corvane.optimizers"
    assert Alpha.__qualname__ == "Alpha"
    assert Alpha.__doc__ == "The first optimizer in Corvane."
    assert Alpha.__basicsize__ == object.__basicsize__ + ctypes.sizeof(ctypes.c_double)


@pytest.mark.parametrize(
    "args, kwargs, rate",
    [((), {}, 0.5), ((0.1,), {}, 0.1), ((), {"mutation_rate": 2.0}, 2.0), ((1,), {}, 1.0)],
    ids=["default", "positional", "keyword", "int"],
)
def test_mutation_rate_is_stored(args, kwargs, rate):
    assert mutation_rate(corvane.optimizers.Alpha(*args, **kwargs)) == rate


def test_new_alone_leaves_the_rate_zero():
    Alpha = corvane.optimizers.Alpha
    assert mutation_rate(Alpha.__new__(Alpha)) == 0.0


def test_mutation_rate_is_not_exposed():
    alpha = corvane.optimizers.Alpha()
    with pytest.raises(AttributeError):
        alpha.mutation_rate
    assert [name for name in dir(alpha) if "rate" in name] == []


@pytest.mark.parametrize(
    "args, kwargs",
    [(("fast",), {}), ((), {"rate": 0.1}), ((0.1, 0.2), {}), ((None,), {})],
    ids=["str", "unknown_keyword", "two_arguments", "none"],
)
def test_bad_arguments_are_the_parsers_type_error(args, kwargs):
    with pytest.raises(TypeError):
        corvane.optimizers.Alpha(*args, **kwargs)


def test_alpha_can_be_subclassed():
    class Slow(corvane.optimizers.Alpha):
        pass

    slow = Slow(0.25)
    assert isinstance(slow, corvane.optimizers.Alpha)
    assert mutation_rate(slow) == 0.25
