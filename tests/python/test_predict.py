"""Model.predict on NumPy arrays: shapes, exact values, the recurrent state, element types and strides.

Exact numbers come from a plain Python forward pass over the model's own get_nodes() and
get_connections() (product first, then added to the running sum, sources in ascending order),
which repeats the module's arithmetic operation for operation, its exp and tanh included.
"""

import sys
import tracemalloc

import numpy as np
import pytest

import corvane
from reference import Reference


def samples(*shape, seed=0):
    return np.random.default_rng(seed).normal(size=shape)


# A series that a stateful model answers differently when it is given twice in a row.
PROBE = samples(3, 3, seed=1)


def stateful_model():
    """A recurrent model (3 inputs, 2 outputs, 7 nodes) whose outputs for PROBE depend on its state."""
    for _ in range(50):
        model = corvane.Model(3, 2, 7, True)
        first = model.predict(PROBE)
        if not np.array_equal(first, model.predict(PROBE)):
            model.clear()
            return model
    pytest.fail("no recurrent model with a visible state in 50 draws")


@pytest.fixture
def feed_forward():
    return corvane.Model(3, 2, 7)


@pytest.fixture
def recurrent():
    return stateful_model()


# Shapes ---------------------------------------------------------------------------------------

SHAPES = [
    pytest.param(False, (3,), (2,), id="ff-one-sample"),
    pytest.param(False, (5, 3), (5, 2), id="ff-samples"),
    pytest.param(False, (0, 3), (0, 2), id="ff-no-samples"),
    pytest.param(True, (3,), (2,), id="rec-one-step"),
    pytest.param(True, (5, 3), (5, 2), id="rec-one-series"),
    pytest.param(True, (0, 3), (0, 2), id="rec-empty-series"),
    pytest.param(True, (4, 5, 3), (4, 5, 2), id="rec-batch"),
    pytest.param(True, (0, 5, 3), (0, 5, 2), id="rec-no-series"),
    pytest.param(True, (4, 0, 3), (4, 0, 2), id="rec-series-without-steps"),
]


@pytest.mark.parametrize("is_recurrent, shape, expected", SHAPES)
def test_output_is_a_new_float64_array_with_the_last_dimension_replaced(is_recurrent, shape, expected):
    model = corvane.Model(3, 2, 6, is_recurrent)
    x = samples(*shape)
    result = model.predict(x)
    assert type(result) is np.ndarray
    assert result.shape == expected
    assert result.dtype == np.float64
    assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
    assert not np.shares_memory(result, x)
    assert sys.getrefcount(result) == 2  # the caller holds the only reference


def test_one_output_keeps_the_rank():
    model = corvane.Model(3, 1)
    assert model.predict(samples(3)).shape == (1,)
    assert model.predict(samples(4, 3)).shape == (4, 1)


def test_the_input_array_is_neither_changed_nor_kept(feed_forward):
    x = samples(6, 3)
    copy = x.copy()
    before = sys.getrefcount(x)
    feed_forward.predict(x)
    assert sys.getrefcount(x) == before
    np.testing.assert_array_equal(x, copy)


# Exact values ---------------------------------------------------------------------------------


@pytest.mark.parametrize("size", [5, 9], ids=["no-hidden", "hidden"])
def test_feed_forward_outputs_equal_the_reference_pass(size):
    model = corvane.Model(3, 2, size)
    reference = Reference(model)
    x = samples(8, 3)
    np.testing.assert_array_equal(model.predict(x), reference.series(x))
    np.testing.assert_array_equal(model.predict(x[3]), reference.series(x[3:4])[0])


def test_feed_forward_outputs_do_not_depend_on_order_or_clearing(feed_forward):
    x = samples(6, 3)
    whole = feed_forward.predict(x)
    feed_forward.predict(samples(4, 3, seed=7))
    rows = [feed_forward.predict(row) for row in x[::-1]][::-1]
    feed_forward.clear()
    np.testing.assert_array_equal(np.array(rows), whole)
    np.testing.assert_array_equal(feed_forward.predict(x), whole)


def test_recurrent_outputs_equal_the_reference_pass_with_its_state(recurrent):
    reference = Reference(recurrent)
    first, second = samples(5, 3, seed=2), samples(4, 3, seed=3)
    np.testing.assert_array_equal(recurrent.predict(first), reference.series(first))
    # a second series continues the state of the first
    np.testing.assert_array_equal(recurrent.predict(second), reference.series(second))
    np.testing.assert_array_equal(recurrent.predict(first[0]), reference.series(first[:1])[0])


def test_recurrent_series_equals_successive_single_steps_after_clear(recurrent):
    x = samples(6, 3)
    recurrent.predict(samples(3, 3, seed=5))  # some state to be cleared
    recurrent.clear()
    steps = np.array([recurrent.predict(sample) for sample in x])
    recurrent.predict(samples(3, 3, seed=5))
    recurrent.clear()
    np.testing.assert_array_equal(recurrent.predict(x), steps)


def test_recurrent_batch_of_one_equals_clear_then_the_series(recurrent):
    x = samples(6, 3)
    recurrent.predict(samples(3, 3, seed=5))
    batch = recurrent.predict(x[np.newaxis])
    recurrent.predict(samples(3, 3, seed=5))
    recurrent.clear()
    np.testing.assert_array_equal(batch[0], recurrent.predict(x))


def test_recurrent_batch_starts_every_series_from_a_cleared_state(recurrent):
    reference = Reference(recurrent)
    x = samples(3, 4, 3)
    recurrent.predict(samples(2, 3, seed=5))
    result = recurrent.predict(x)
    for series, outputs in zip(x, result):
        reference.clear()
        np.testing.assert_array_equal(outputs, reference.series(series))
    # the state of the end of the last series remains
    after = samples(3, seed=6)
    np.testing.assert_array_equal(recurrent.predict(after), reference.series(after[np.newaxis])[0])


def test_recurrent_batch_of_series_without_steps_still_clears_the_state(recurrent):
    reference = Reference(recurrent)
    x = samples(4, 3)
    recurrent.predict(samples(3, 3, seed=5))
    assert recurrent.predict(np.zeros((2, 0, 3))).shape == (2, 0, 2)
    np.testing.assert_array_equal(recurrent.predict(x), reference.series(x))


def test_two_identical_recurrent_series_continue_the_state(recurrent):
    first = recurrent.predict(PROBE)
    second = recurrent.predict(PROBE)
    assert not np.array_equal(first, second)
    recurrent.clear()
    np.testing.assert_array_equal(recurrent.predict(PROBE), first)


def test_the_objects_recurrent_flag_decides_the_accepted_ranks():
    model = corvane.Model(3, 2, 6)
    batch = samples(2, 4, 3)
    with pytest.raises(ValueError, match="2 dimensions \\(multiple samples\\)"):
        model.predict(batch)
    model.recurrent = True
    assert model.predict(batch).shape == (2, 4, 2)
    model.recurrent = False
    with pytest.raises(ValueError, match="2 dimensions \\(multiple samples\\)"):
        model.predict(batch)


# Element types and memory layout -------------------------------------------------------------


@pytest.mark.parametrize(
    "dtype", [np.int64, np.int32, np.uint8, np.int8, np.bool_, np.float32, np.float16], ids=lambda d: d.__name__
)
def test_safely_castable_types_give_the_outputs_of_the_equal_double_array(feed_forward, dtype):
    x = np.array([[0, 1, 1], [1, 0, 1], [3, 2, 1], [1, 1, 1]]).astype(dtype)
    np.testing.assert_array_equal(feed_forward.predict(x), feed_forward.predict(x.astype(np.float64)))


def _feed_forward_view(name):
    data = samples(40, 12, seed=4)
    return {
        "transposed": samples(3, 7, seed=4).T,
        "fortran-order": np.asfortranarray(samples(7, 3, seed=4)),
        "row-steps": data[::3, :3],
        "column-steps": data[:7, ::4],
        "reversed": data[::-2, 5:2:-1],
        "broadcast-rows": np.broadcast_to(samples(3, seed=4), (5, 3)),
        "one-sample-with-steps": data[2, ::4],
        "one-sample-reversed": data[4, 2::-1],
    }[name]


@pytest.mark.parametrize(
    "name",
    [
        "transposed",
        "fortran-order",
        "row-steps",
        "column-steps",
        "reversed",
        "broadcast-rows",
        "one-sample-with-steps",
        "one-sample-reversed",
    ],
)
def test_strided_double_arrays_give_the_outputs_of_their_contiguous_copy(feed_forward, name):
    view = _feed_forward_view(name)
    assert not view.flags.c_contiguous
    np.testing.assert_array_equal(feed_forward.predict(view), feed_forward.predict(np.ascontiguousarray(view)))


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda a: np.transpose(a, (2, 1, 0))[:, :, :3], id="transposed"),
        pytest.param(lambda a: a[:, ::-1, ::2][:, :, :3].transpose(1, 0, 2), id="steps-and-swapped-axes"),
        pytest.param(lambda a: np.broadcast_to(a[0, :4, :3], (3, 4, 3)), id="broadcast-series"),
    ],
)
def test_strided_double_batches_give_the_outputs_of_their_contiguous_copy(recurrent, make):
    view = make(samples(5, 6, 7, seed=4))
    assert view.ndim == 3 and not view.flags.c_contiguous
    np.testing.assert_array_equal(recurrent.predict(view), recurrent.predict(np.ascontiguousarray(view)))


def test_double_arrays_are_read_in_place_without_a_copy():
    # 16 MB of doubles seen through a broadcast view of one 8 kB row: a copy would be traced.
    model = corvane.Model(1000, 1)
    x = np.broadcast_to(samples(1000), (2000, 1000))
    expected = model.predict(np.ascontiguousarray(x[:1]))[0]
    tracemalloc.start()
    try:
        result = model.predict(x)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 1_000_000
    np.testing.assert_array_equal(result, np.broadcast_to(expected, (2000, 1)))


def _unaligned(values):
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    raw[1:] = np.frombuffer(values.tobytes(), dtype=np.uint8)
    array = raw[1:].view(np.float64).reshape(values.shape)
    assert not array.flags.aligned
    return array


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda x: x.astype(">f8" if sys.byteorder == "little" else "<f8"), id="byte-swapped"),
        pytest.param(_unaligned, id="unaligned"),
    ],
)
def test_doubles_in_a_foreign_layout_are_read_as_their_values(feed_forward, convert):
    x = samples(5, 3)
    foreign = convert(x)
    np.testing.assert_array_equal(foreign, x)
    np.testing.assert_array_equal(feed_forward.predict(foreign), feed_forward.predict(x))


def test_array_subclasses_are_accepted(feed_forward):
    class Samples(np.ndarray):
        pass

    x = samples(4, 3)
    np.testing.assert_array_equal(feed_forward.predict(x.view(Samples)), feed_forward.predict(x))


# Failures -------------------------------------------------------------------------------------

FF_RANK = "Expected x to have 1 dimension (one sample) or 2 dimensions (multiple samples)."
REC_RANK = (
    "Expected x to have 1 dimension (one sample in a timeserie), 2 dimensions (one timeseries) "
    "or 3 dimensions (multiple timeseries)."
)


def last_dimension(given, inputs=3):
    return f"Expected last dimension of x ({given}) to be equal to the number of inputs of the model ({inputs})"


FAILURES = [
    pytest.param(False, np.zeros(()), ValueError, FF_RANK, id="ff-rank-0"),
    pytest.param(False, np.zeros((2, 4, 3)), ValueError, FF_RANK, id="ff-rank-3"),
    pytest.param(True, np.zeros(()), ValueError, REC_RANK, id="rec-rank-0"),
    pytest.param(True, np.zeros((1, 2, 4, 3)), ValueError, REC_RANK, id="rec-rank-4"),
    pytest.param(False, np.zeros((10, 4)), ValueError, last_dimension(4), id="ff-rows-too-wide"),
    pytest.param(False, np.zeros(2), ValueError, last_dimension(2), id="ff-sample-too-short"),
    pytest.param(False, np.zeros((3, 0)), ValueError, last_dimension(0), id="ff-rows-empty"),
    pytest.param(True, np.zeros((2, 5, 4)), ValueError, last_dimension(4), id="rec-batch-too-wide"),
    pytest.param(True, np.zeros((3, 2)), ValueError, last_dimension(2), id="rec-series-too-narrow"),
    # the shape is checked before the element type
    pytest.param(False, np.zeros((2, 4), complex), ValueError, last_dimension(4), id="shape-before-type"),
    pytest.param(False, np.zeros((2, 3), complex), TypeError, "Cannot cast array data", id="complex"),
    pytest.param(True, np.zeros((1, 2, 3), complex), TypeError, "Cannot cast array data", id="complex-batch"),
    pytest.param(False, np.array([["1", "2", "3"]]), TypeError, "Cannot cast array data", id="string"),
    pytest.param(False, np.array([1.0, None, 2.0]), TypeError, "Cannot cast array data", id="object"),
    pytest.param(False, np.zeros(3, "M8[s]"), TypeError, "Cannot cast array data", id="datetime"),
]


@pytest.mark.parametrize("is_recurrent, x, error, message", FAILURES)
def test_refused_arrays_raise_before_any_pass_and_leave_the_state(is_recurrent, x, error, message):
    model = stateful_model() if is_recurrent else corvane.Model(3, 2, 6)
    expected = model.predict(PROBE)
    model.clear()
    with pytest.raises(error) as raised:
        model.predict(x)
    if error is ValueError:
        assert str(raised.value) == message
    else:
        assert str(raised.value).startswith(message)
    np.testing.assert_array_equal(model.predict(PROBE), expected)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda m: m.predict(), id="missing"),
        pytest.param(lambda m: m.predict(np.zeros(3), np.zeros(3)), id="two-arguments"),
        pytest.param(lambda m: m.predict([0.0, 1.0, 2.0]), id="list"),
        pytest.param(lambda m: m.predict(None), id="none"),
        pytest.param(lambda m: m.predict(x=np.zeros(3)), id="keyword"),
    ],
)
def test_arguments_other_than_one_array_raise_the_parsers_type_error(feed_forward, call):
    with pytest.raises(TypeError):
        call(feed_forward)


def test_a_model_that_was_never_initialised_refuses_to_predict():
    model = corvane.Model.__new__(corvane.Model)
    with pytest.raises(ValueError, match="holds no network"):
        model.predict(np.zeros(0))
    with pytest.raises(ValueError, match="holds no network"):
        model.predict(np.zeros((4, 0)))
