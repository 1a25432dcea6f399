"""Callbacks for `Model.evolve` and `Model.func_evolve`: code that runs at the start of a run,
after every epoch and at its end.

Pass them as a list: ``model.evolve(x, y, epochs=1000, callbacks=[EarlyStopping(patience=3)])``.
During a run each callback has:

- ``self.model``: the model being evolved. Its network stays the one it started with until the
  run ends; setting ``self.model.stop_training = True`` ends the run after the current epoch, and
  the model then takes the best member as at a normal end.
- ``self.best_model``: before every ``on_epoch_end``, a compiled copy of the model holding the
  epoch's best network, to save, evaluate or keep. It is a copy: changing it changes nothing of
  the run. The callbacks of a run share it, so one that changes it changes what the callbacks
  after it in the list see.

An exception raised in a callback ends the run and propagates; the model keeps its network.

Resuming a run: save checkpoints with `ModelCheckpoint`, later ``corvane.load`` one, compile it
and call ``evolve`` again. The first population is seeded from the model's network, so the run
goes on from there (its epochs count from 0 again).
"""

import csv
import math
import os

__all__ = ["Callback", "CSVLogger", "EarlyStopping", "ModelCheckpoint"]


class Callback:
    """Base class of the callbacks: every method does nothing; override the ones you need."""

    def __init__(self):
        self.model = None
        self.best_model = None

    def set_model(self, model):
        """Called before the run with the model being evolved."""
        self.model = model

    def on_train_begin(self, logs=None):
        """Called once before the first epoch."""

    def on_epoch_end(self, epoch, logs=None):
        """Called after every epoch (`epoch` counts from 0) with the epoch's values under the history keys."""

    def on_train_end(self, logs=None):
        """Called once after the last epoch with that epoch's values, after the model took its network."""


def _monitored(callback, monitor, logs):
    """The value of `monitor` in `logs`; ValueError naming the keys when the history has none."""
    logs = logs or {}
    if monitor not in logs:
        keys = ", ".join(logs) or "none"
        raise ValueError(
            "%s monitors %r, which is not in the history of this run (its keys: %s)."
            % (type(callback).__name__, monitor, keys)
        )
    return logs[monitor]


class EarlyStopping(Callback):
    """Stops a run when the monitored value has not improved for `patience` epochs.

    An epoch improves on the best one when its value is lower by more than `min_delta` (higher in
    mode "max"). With `restore_best_weights` the model ends with the network of the best epoch
    instead of the last one.
    """

    def __init__(self, monitor="val_loss", min_delta=0.0, patience=0, mode="min", restore_best_weights=False):
        super().__init__()
        if mode not in ("min", "max"):
            raise ValueError("EarlyStopping mode must be 'min' or 'max', got %r." % (mode,))
        if patience < 0:
            raise ValueError("EarlyStopping patience must not be negative, got %r." % (patience,))
        self.monitor = monitor
        self.min_delta = abs(min_delta)
        self.patience = patience
        self.mode = mode
        self.restore_best_weights = restore_best_weights
        self._reset()

    def _reset(self):
        self.wait = 0
        self.stopped_epoch = 0
        self.best = math.inf if self.mode == "min" else -math.inf
        self.best_epoch = 0
        self.best_weights = None

    def _improves(self, value):
        if self.mode == "min":
            return value + self.min_delta < self.best
        return value - self.min_delta > self.best

    def on_train_begin(self, logs=None):
        self._reset()

    def on_epoch_end(self, epoch, logs=None):
        value = _monitored(self, self.monitor, logs)
        if self.restore_best_weights and self.best_weights is None:
            self.best_weights = self.best_model
            self.best_epoch = epoch
        self.wait += 1
        if self._improves(value):
            self.best = value
            self.best_epoch = epoch
            self.wait = 0
            if self.restore_best_weights:
                self.best_weights = self.best_model
            return
        if self.wait >= self.patience and epoch > 0:
            self.stopped_epoch = epoch
            self.model.stop_training = True

    def on_train_end(self, logs=None):
        if self.restore_best_weights and self.best_weights is not None:
            self.model._set_network(self.best_weights)


def _new_file_beside(path):
    """Creates a new empty file with a random name in the folder of `path` and returns its name.

    It is made as open() makes files (mode 0o666 less the umask), not with the owner-only mode
    of tempfile.mkstemp, so that a file renamed from it can be read by whoever can read one that
    Model.save wrote.
    """
    directory = os.path.dirname(os.path.abspath(path))
    for _ in range(100):
        name = os.path.join(directory, ".%s.cv.tmp" % os.urandom(8).hex())
        try:
            os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return name
        except FileExistsError:
            continue
    raise FileExistsError("found no free name for a temporary file in %r" % directory)


def _save_atomically(model, path):
    """Writes `model` to a new file beside `path`, then renames it over `path`: a reader never
    sees a partial file, and a failed write leaves the previous one."""
    temporary = _new_file_beside(path)
    try:
        model.save(temporary)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise


class ModelCheckpoint(Callback):
    """Saves the epoch's best network to a `.cv` file after every epoch.

    `filepath` may hold ``{epoch}`` (counted from 1) and any history key, formatted as by
    ``str.format``: ``"ckpt-{epoch:03d}-{val_loss:.4f}.cv"``. With `save_best_only` a file is
    written only when the monitored value is lower than at every earlier epoch. Every file is
    written atomically (a temporary file renamed into place).
    """

    def __init__(self, filepath, monitor="val_loss", save_best_only=False):
        super().__init__()
        self.filepath = os.fspath(filepath)
        if not isinstance(self.filepath, str):  # a bytes path: it could not be formatted
            raise TypeError("ModelCheckpoint filepath must be a str or an os.PathLike of str, got %s."
                            % type(filepath).__name__)
        self.monitor = monitor
        self.save_best_only = save_best_only
        self.best = math.inf

    def on_train_begin(self, logs=None):
        self.best = math.inf

    def on_epoch_end(self, epoch, logs=None):
        logs = logs or {}
        if self.save_best_only:
            value = _monitored(self, self.monitor, logs)
            if not value < self.best:
                return
            self.best = value
        try:
            path = self.filepath.format(epoch=epoch + 1, **logs)
        except KeyError as error:
            raise ValueError(
                "ModelCheckpoint filepath %r names %s, which is not in the history of this run (its keys: epoch, %s)."
                % (self.filepath, error, ", ".join(logs))
            ) from None
        _save_atomically(self.best_model, path)


class CSVLogger(Callback):
    """Writes the history to a CSV file as the run goes: a header of "epoch" and the history keys,
    then one row per epoch, flushed when written. With `append` a file that exists is continued
    (its header is not written again)."""

    def __init__(self, filename, separator=",", append=False):
        super().__init__()
        self.filename = os.fspath(filename)
        self.separator = separator
        self.append = append
        self._file = None
        self._writer = None
        self._keys = None
        self._header_written = False

    def on_train_begin(self, logs=None):
        self.on_train_end()  # a run that failed left its file open
        continued = self.append and os.path.exists(self.filename) and os.path.getsize(self.filename) > 0
        self._file = open(self.filename, "a" if continued else "w", newline="")
        self._writer = csv.writer(self._file, delimiter=self.separator)
        self._keys = None
        self._header_written = continued

    def on_epoch_end(self, epoch, logs=None):
        logs = logs or {}
        if self._keys is None:
            self._keys = list(logs)
            if not self._header_written:
                self._writer.writerow(["epoch"] + self._keys)
        self._writer.writerow([epoch] + [logs.get(key, "") for key in self._keys])
        self._file.flush()

    def on_train_end(self, logs=None):
        if self._file is not None:
            self._file.close()
            self._file = None
