"""A C++ std::bad_alloc in any kind of entry point becomes MemoryError and leaves the object usable.

Test builds (CMake option CORVANE_FAULT_INJECTION, on with CORVANE_TESTS) give the compiled
module _fail_next_entry(), which makes the next entry point throw std::bad_alloc first thing;
tools/test.sh and tools/sanitize.sh run this file against such a build.
"""

import numpy as np
import pytest

import corvane
from corvane import _core

pytestmark = pytest.mark.skipif(
    not hasattr(_core, "_fail_next_entry"), reason="needs a test build of corvane._core (CORVANE_FAULT_INJECTION)"
)


GENETIC = corvane.optimizers.Genetic()


def _set_recurrent(model, genome):
    model.recurrent = True


# The state of another model, made before any fault is armed.
_OTHER_STATE = corvane.Model(3, 1, seed=1).__reduce__()[2]

ENTRY_POINTS = {
    "type-new": lambda model, genome: corvane.Model.__new__(corvane.Model),
    "type-init": lambda model, genome: model.__init__(2, 1),
    "method-with-arguments": lambda model, genome: model.predict(np.zeros(2)),
    "method-with-keywords": lambda model, genome: model.compile(loss="mse"),
    "method-without-arguments": lambda model, genome: model.get_nodes(),
    "property-setter": _set_recurrent,
    "module-function": lambda model, genome: corvane.load("/nonexistent/model.cv"),
    "optimizer-init": lambda model, genome: corvane.optimizers.Alpha(0.1),
    "genetic-init": lambda model, genome: corvane.optimizers.Genetic(mutations=2),
    "genetic-repr": lambda model, genome: repr(GENETIC),
    "genetic-reduce": lambda model, genome: GENETIC.__reduce__(),
    "genetic-getter": lambda model, genome: GENETIC.perturb_mode,
    "genome-method": lambda model, genome: genome.clear(),
    "repr-slot": lambda model, genome: repr(model),
    "pickle": lambda model, genome: model.__reduce__(),
    "unpickle": lambda model, genome: model.__setstate__(_OTHER_STATE),
}


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_bad_alloc_becomes_memory_error(name):
    model = corvane.Model(2, 1, 4)
    before = model.get_connections()
    genome = corvane.Genome(2, 1)
    _core._fail_next_entry()
    with pytest.raises(MemoryError):
        ENTRY_POINTS[name](model, genome)
    # Nothing is left armed, and the model is unchanged and usable.
    assert model.get_connections() == before and not model.recurrent
    assert model.predict(np.zeros(2)).shape == (1,)
