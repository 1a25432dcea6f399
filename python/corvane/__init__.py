"""Corvane allows training models through neuro-evolution."""

# The types and functions are compiled (corvane._core); their names keep "corvane" as module.
from corvane._core import Genome, Model, from_keras, load
from corvane import callbacks, optimizers


def _package_version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("corvane")
    except PackageNotFoundError:  # run from a source or build tree that was never installed
        return "0+unknown"


__version__ = _package_version()

__all__ = ["Genome", "Model", "__version__", "callbacks", "from_keras", "load", "optimizers"]
