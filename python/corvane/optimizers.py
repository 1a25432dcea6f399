"""Optimizers."""

from corvane._core import Alpha

__all__ = ["Alpha"]
