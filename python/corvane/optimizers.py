"""Optimizers."""

from corvane._core import Alpha, Genetic

__all__ = ["Alpha", "Genetic"]
