from typing import Any, Dict, Optional, Union
import os

from corvane import Model

__all__ = ["Callback", "CSVLogger", "EarlyStopping", "ModelCheckpoint"]

# One epoch's values under the history keys.
_Logs = Dict[str, Any]

class Callback:
    model: Optional[Model]
    best_model: Optional[Model]
    def __init__(self) -> None: ...
    def set_model(self, model: Model) -> None: ...
    def on_train_begin(self, logs: Optional[_Logs] = None) -> None: ...
    def on_epoch_end(self, epoch: int, logs: Optional[_Logs] = None) -> None: ...
    def on_train_end(self, logs: Optional[_Logs] = None) -> None: ...

class EarlyStopping(Callback):
    monitor: str
    min_delta: float
    patience: int
    mode: str
    restore_best_weights: bool
    wait: int
    stopped_epoch: int
    best: float
    best_epoch: int
    best_weights: Optional[Model]
    def __init__(
        self,
        monitor: str = "val_loss",
        min_delta: float = 0.0,
        patience: int = 0,
        mode: str = "min",
        restore_best_weights: bool = False,
    ) -> None: ...

class ModelCheckpoint(Callback):
    filepath: str
    monitor: str
    save_best_only: bool
    best: float
    def __init__(
        self, filepath: Union[str, "os.PathLike[str]"], monitor: str = "val_loss", save_best_only: bool = False
    ) -> None: ...

class CSVLogger(Callback):
    filename: str
    separator: str
    append: bool
    def __init__(
        self, filename: Union[str, "os.PathLike[str]"], separator: str = ",", append: bool = False
    ) -> None: ...
