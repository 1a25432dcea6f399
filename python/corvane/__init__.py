"""Corvane allows training models through neuro-evolution."""

# The types and functions are compiled (corvane._core); their names keep "corvane" as module.
from corvane._core import Genome, Model, from_keras, load
from corvane import optimizers

__all__ = ["Genome", "Model", "from_keras", "load", "optimizers"]
