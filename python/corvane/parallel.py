"""Fitness evaluation across processes and machines.

An evaluator turns a per-genome fitness function, ``fitness(genome) -> float``, into a
``train_func`` for :meth:`corvane.Model.func_evolve`, and runs it on a pool of workers that stay
alive across generations::

    from corvane.parallel import ProcessEvaluator

    with ProcessEvaluator(fitness, workers=4) as evaluator:
        model.func_evolve(evaluator, pop_size=100, epochs=50)

The value that ``fitness`` returns is a loss, as for every ``train_func``: lower is better.

``ProcessEvaluator`` uses local processes (the standard library); ``RayEvaluator`` uses Ray actors,
on this machine or on a cluster (``ray.init(address=...)`` before the evaluator starts). The
fitness function is sent to the workers by value (with cloudpickle), so a lambda, a closure or a
function defined in ``__main__`` or in a notebook works with every start method of
``multiprocessing``. Each generation, every worker gets one message with its share of the genomes
(every ``workers``-th genome, which spreads costly and cheap genomes evenly) and sends one back.
The genomes travel packed into one buffer per message (each network in its compact form, the
form pickles carry) and the scores come back as one array of float64. A Ray actor, once started,
opens a connection of its own to the evaluator (to the address Ray knows this machine by, naming
itself with a random token sent through Ray), and the messages travel on it: a remote call costs
Ray a millisecond or more, as much as a cheap fitness takes for a whole generation. Where the
actors cannot reach the evaluator (a firewall between the machines of a cluster) the messages go
as Ray remote calls instead; the results are the same.

A fitness that needs state, such as an environment to play in, can be a picklable callable
object that creates its state lazily, once per worker::

    class Episodes:
        def __init__(self, episodes):
            self.episodes = episodes
            self.env = None

        def __getstate__(self):
            return {"episodes": self.episodes, "env": None}  # the environment is not sent

        def __call__(self, genome):
            if self.env is None:
                self.env = gymnasium.make("CartPole-v1")
            return -sum(play(genome, self.env) for _ in range(self.episodes))

Faults reach the caller of ``func_evolve``: an exception in ``fitness`` is raised again with its
type, chained from a :class:`RemoteTraceback` that holds the worker's traceback text and the
genome's index; a fitness result that is not a number raises ``TypeError`` naming the genome; a
worker that dies raises ``RuntimeError``; Ctrl-C stops the run and the workers. After any of
these the workers are stopped, and the evaluator starts new ones when it is called again.
"""

import hmac
import numbers
import os
import pickle
import signal
import socket
import struct
import time
import traceback
import warnings
from multiprocessing import connection as _connection
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar

import cloudpickle
import numpy as np

from corvane import _core

__all__ = ["ProcessEvaluator", "RayEvaluator", "RemoteTraceback"]

_PROTOCOL = pickle.HIGHEST_PROTOCOL


class RemoteTraceback(Exception):
    """The traceback of an exception raised by the fitness function in a worker."""

    def __init__(self, index: int, text: str) -> None:
        super().__init__(index, text)
        self.index = index
        self.text = text

    def __str__(self) -> str:
        return 'fitness raised an exception for genome %d in a worker:\n"""\n%s"""' % (self.index, self.text)


def _worker_count(workers: Optional[int], available: Callable[[], int]) -> int:
    if workers is None:
        return max(1, available())
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError("workers must be an int or None, got %s." % type(workers).__name__)
    if workers < 1:
        raise ValueError("workers must be at least 1, got %d." % workers)
    return workers


def _local_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _score(fitness: Callable[[Any], Any], genome: Any) -> Any:
    """fitness(genome) as a float, or the name of the type it returned when that is not a number."""
    value = fitness(genome)
    if isinstance(value, numbers.Real) or (isinstance(value, np.ndarray) and value.ndim == 0
                                           and value.dtype.kind in "biuf"):
        return float(value)
    return type(value).__name__


# A message to a worker is one of
#   _PACKED + (first, step) as two int64 + the genomes packed by _core._pack_genomes
#   _PICKLED + pickle of (first, step, genomes), for anything that does not pack (objects that
#              are not plain genomes, such as a subclass's)
# and genome j of the message is genome first + j * step of the call. A reply is _PACKED + the
# float64 scores, or _PICKLED + a pickled fault (see _evaluate_chunk).
_PACKED = b"\x01"
_PICKLED = b"\x00"
_INDICES = struct.Struct("<qq")


def _message(first: int, step: int, genomes: List[Any]) -> bytes:
    try:
        packed = _core._pack_genomes(genomes)
    except (TypeError, ValueError):
        return _PICKLED + pickle.dumps((first, step, genomes), protocol=_PROTOCOL)
    return _PACKED + _INDICES.pack(first, step) + packed


def _read_message(message: bytes) -> Tuple[int, int, List[Any]]:
    if message[:1] == _PACKED:
        first, step = _INDICES.unpack_from(message, 1)
        return first, step, _core._unpack_genomes(memoryview(message)[1 + _INDICES.size:])
    first, step, genomes = pickle.loads(memoryview(message)[1:])
    return first, step, genomes


def _evaluate_message(fitness: Callable[[Any], Any], message: bytes) -> bytes:
    return _evaluate_chunk(fitness, *_read_message(message))


def _evaluate_chunk(fitness: Callable[[Any], Any], first: int, step: int, genomes: List[Any]) -> bytes:
    """Scores the genomes of one message; genome j of the chunk is genome first + j * step.

    The reply is _PACKED + the scores, or _PICKLED + the pickle of ("type", index, type name) or
    ("error", index, pickled exception or None, traceback text, exception summary)."""
    scores = []
    for j, genome in enumerate(genomes):
        index = first + j * step
        try:
            value = _score(fitness, genome)
        except BaseException as error:  # noqa: B902 - reported to the parent, whatever it is
            text = traceback.format_exc()
            summary = "".join(traceback.format_exception_only(type(error), error)).strip()
            pickled = None
            # SystemExit and the like are not raised again in the parent (they would end it).
            if isinstance(error, Exception):
                try:
                    pickled = cloudpickle.dumps(error, protocol=_PROTOCOL)
                    pickle.loads(pickled)  # one that does not unpickle would fail in the parent
                except BaseException:
                    pickled = None
            return _PICKLED + pickle.dumps(("error", index, pickled, text, summary), protocol=_PROTOCOL)
        if isinstance(value, str):
            return _PICKLED + pickle.dumps(("type", index, value), protocol=_PROTOCOL)
        scores.append(value)
    return _PACKED + np.array(scores, dtype=np.float64).tobytes()


def _chunks(genomes: Sequence[Any], count: int) -> List[Tuple[int, int, List[Any]]]:
    """(first index, step, genomes) for each of `count` workers: every count-th genome."""
    return [(k, count, list(genomes[k::count])) for k in range(count)]


def _store_reply(raw: bytes, scores: "np.ndarray[Any, np.dtype[np.float64]]", first: int, step: int) -> None:
    """Puts the scores of a reply in their places, or raises the fault it reports."""
    if raw[:1] == _PACKED:
        scores[first::step] = np.frombuffer(raw, dtype=np.float64, offset=1)
        return
    reply = pickle.loads(memoryview(raw)[1:])
    if reply[0] == "type":
        _, index, type_name = reply
        raise TypeError("The fitness function returned %s for genome %d; it must return a number." % (type_name, index))
    _, index, pickled, text, summary = reply
    remote = RemoteTraceback(index, text)
    error = pickle.loads(pickled) if pickled is not None else RuntimeError(
        "fitness raised %s for genome %d (an exception that is not raised again here: it does not "
        "pickle, or it is no Exception)" % (summary, index))
    raise error from remote


def _exchange(links: List[Any], chunks: List[Tuple[int, int, List[Any]]],
              scores: "np.ndarray[Any, np.dtype[np.float64]]", lost: Callable[[int], Any],
              ends: Sequence[Any] = (), check: Optional[Callable[[], None]] = None) -> None:
    """One generation over direct connections: sends links[k] the message of chunks[k] and puts
    its reply's scores in their places.

    lost(k) raises for worker k, whose connection broke; ends[k], when given, is a waitable that
    becomes ready when worker k ends (a process sentinel), so a dead worker is seen at once, never
    waited for; check(), when given, runs after each second without a reply and raises for a
    worker lost in a way no connection shows (a machine gone)."""
    pending: Dict[Any, int] = {}  # connection -> worker
    for k, (link, (first, step, chunk)) in enumerate(zip(links, chunks)):
        try:
            link.send_bytes(_message(first, step, chunk))
        except OSError:
            lost(k)
        pending[link] = k
    watched = {end: k for k, end in enumerate(ends)}
    while pending:
        waiting = list(pending) + [end for end, k in watched.items() if k in pending.values()]
        ready: List[Any] = _connection.wait(waiting, timeout=None if check is None else 1.0)
        if not ready and check is not None:  # a quiet second
            check()
        for link in ready:
            if link in watched:
                lost(watched[link])
            if link not in pending:
                continue
            k = pending.pop(link)
            try:
                raw = link.recv_bytes()
            except (EOFError, OSError):
                lost(k)
            _store_reply(raw, scores, chunks[k][0], chunks[k][1])


def _check_genomes(genomes: Any) -> List[Any]:
    if not isinstance(genomes, list):
        raise TypeError("An evaluator is called with a list of genomes, got %s." % type(genomes).__name__)
    return genomes


_Self = TypeVar("_Self", bound="_Evaluator")


class _Evaluator:
    """What both evaluators share: the fitness sent by value, the call and the context manager.
    A subclass gives start, close and _run (which fills the scores of a non-empty list)."""

    def __init__(self, fitness: Callable[[Any], Any]) -> None:
        if not callable(fitness):
            raise TypeError("fitness must be callable, got %s." % type(fitness).__name__)
        self._fitness_bytes = cloudpickle.dumps(fitness, protocol=_PROTOCOL)

    def start(self) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def _run(self, genomes: List[Any], scores: "np.ndarray[Any, np.dtype[np.float64]]") -> None:
        raise NotImplementedError

    def __enter__(self: "_Self") -> "_Self":
        self.start()
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self.close()

    def __call__(self, genomes: List[Any]) -> "np.ndarray[Any, np.dtype[np.float64]]":
        genomes = _check_genomes(genomes)
        scores = np.empty(len(genomes), dtype=np.float64)
        if not genomes:
            return scores
        self.start()
        try:
            self._run(genomes, scores)
        except BaseException:
            self.close()  # a fault, an interrupt: no worker is left running or half-way
            raise
        return scores


# ---- Local processes ---------------------------------------------------------------------------


def _process_main(conn: Any, fitness_bytes: bytes) -> None:
    """A worker process: unpickles the fitness once, then answers one message per generation
    until the parent closes its end of the pipe."""
    # Ctrl-C reaches the whole process group; the parent stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _answer(conn, cloudpickle.loads(fitness_bytes))


def _answer(link: Any, fitness: Callable[[Any], Any]) -> None:
    """A worker's side of its connection: one reply per message until the evaluator closes its
    end or stops waiting (a fault elsewhere, an interrupt)."""
    try:
        while True:
            link.send_bytes(_evaluate_message(fitness, link.recv_bytes()))
    except (EOFError, OSError):
        return


def _exit_description(exitcode: Optional[int]) -> str:
    if exitcode is None:
        return "stopped"
    if exitcode < 0:
        try:
            return "was killed by %s" % signal.Signals(-exitcode).name
        except ValueError:
            return "was killed by signal %d" % -exitcode
    return "exited with code %d" % exitcode


class ProcessEvaluator(_Evaluator):
    """Evaluates genomes with a fitness function on a pool of local worker processes."""

    def __init__(self, fitness: Callable[[Any], Any], workers: Optional[int] = None, *,
                 start_method: Optional[str] = None) -> None:
        super().__init__(fitness)
        self.workers = _worker_count(workers, _local_cores)
        import multiprocessing
        self._context = multiprocessing.get_context(start_method)
        self._pool: List[Tuple[Any, Any]] = []  # (process, connection)

    def start(self) -> None:
        """Starts the worker processes (done by the first call when not done before)."""
        if self._pool:
            return
        try:
            for _ in range(self.workers):
                parent, child = self._context.Pipe(duplex=True)
                process = self._context.Process(target=_process_main, args=(child, self._fitness_bytes),
                                                daemon=True, name="corvane-evaluator")
                process.start()
                child.close()
                self._pool.append((process, parent))
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Stops the worker processes; a later call starts new ones."""
        pool, self._pool = self._pool, []
        for _, conn in pool:
            conn.close()  # an idle worker sees the end of its pipe and returns
        deadline = time.monotonic() + 0.5
        running = [process.sentinel for process, _ in pool]
        while running and time.monotonic() < deadline:
            done = _connection.wait(running, timeout=max(0.0, deadline - time.monotonic()))
            running = [sentinel for sentinel in running if sentinel not in done]
        for process, _ in pool:
            if process.is_alive():  # still in a fitness call: an interrupted or failed run
                process.terminate()
        for process, _ in pool:
            process.join(timeout=2.0)
            if process.is_alive():
                process.kill()
                process.join()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def _run(self, genomes: List[Any], scores: "np.ndarray[Any, np.dtype[np.float64]]") -> None:
        pool = self._pool[:min(len(self._pool), len(genomes))]
        _exchange([conn for _, conn in pool], _chunks(genomes, len(pool)), scores,
                  lambda k: self._died(pool[k][0]), ends=[process.sentinel for process, _ in pool])

    def _died(self, process: Any) -> None:
        process.join(timeout=1.0)
        raise RuntimeError("A worker process of the ProcessEvaluator %s while evaluating genomes (what it "
                           "wrote to standard error, if anything, is above)." % _exit_description(process.exitcode))


# ---- Ray -------------------------------------------------------------------------------------


class _RayWorker:
    """The actor behind RayEvaluator: holds the fitness function and scores chunks, over its
    direct connection to the evaluator (serve) or one remote call at a time (evaluate)."""

    def __init__(self, fitness_bytes: bytes) -> None:
        self.fitness = cloudpickle.loads(fitness_bytes)

    def evaluate(self, message: bytes) -> bytes:
        return _evaluate_message(self.fitness, message)

    def serve(self, address: Tuple[str, int], token: bytes, index: int) -> str:
        """Connects to the evaluator, names itself with the token and its index, then answers one
        message per generation until the evaluator closes the connection. Returns why it could not
        connect, or "" once the connection is closed."""
        try:
            sock = socket.create_connection(address, timeout=_CONNECT_TIMEOUT)
        except OSError as error:
            return "could not connect to %s port %d: %s" % (address[0], address[1], error)
        sock.settimeout(None)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        link = _connection.Connection(sock.detach())
        try:
            link.send_bytes(token + _INDEX.pack(index))
            _answer(link, self.fitness)
        except OSError:  # the evaluator is gone
            pass
        finally:
            link.close()
        return ""


_INDEX = struct.Struct("<q")
_CONNECT_TIMEOUT = 10.0  # seconds an actor tries to reach the evaluator
_START_WARNING = 60.0  # seconds of waiting for actors to start before saying so
_DIED = "A worker actor of the RayEvaluator died while evaluating genomes."


def _direct_host(ray: Any) -> str:
    """The address the actors connect to: this node's, as Ray knows it."""
    return str(ray.util.get_node_ip_address())


def _import_ray() -> Any:
    try:
        import ray
    except ImportError as error:
        raise ImportError('RayEvaluator needs Ray: pip install "corvane[ray]"') from error
    return ray


class RayEvaluator(_Evaluator):
    """Evaluates genomes with a fitness function on Ray actors, one CPU each."""

    def __init__(self, fitness: Callable[[Any], Any], workers: Optional[int] = None) -> None:
        super().__init__(fitness)
        if workers is not None:
            _worker_count(workers, lambda: 1)  # checked now, counted when Ray runs
        self._requested = workers
        self.workers = workers
        self._actors: List[Any] = []
        self._links: Optional[List[Any]] = None  # direct connections, one per actor, when made
        self._serving: List[Any] = []  # the actors' serve calls: ready when one ends

    def start(self) -> None:
        """Creates the actors (done by the first call when not done before); starts a local Ray
        with ray.init() when Ray is not initialised."""
        if self._actors:
            return
        ray = _import_ray()
        if not ray.is_initialized():
            ray.init()
        count = _worker_count(self._requested, lambda: int(ray.cluster_resources().get("CPU", 1)))
        actor = ray.remote(num_cpus=1, max_restarts=0)(_RayWorker)
        fitness = ray.put(self._fitness_bytes)
        self._actors = [actor.remote(fitness) for _ in range(count)]
        self.workers = count
        try:
            self._connect(ray)
        except BaseException:  # an interrupt while the actors start: none is left behind
            self.close()
            raise

    def _connect(self, ray: Any) -> None:
        """Gives every actor a direct connection to this process, which carries the generations'
        messages: a remote call costs Ray a millisecond or more, a message on a connection tens of
        microseconds. Each actor connects to this node's address (the one Ray knows it by) and
        names itself with a random token sent through Ray; when one cannot connect (a firewall
        between machines) the evaluator uses remote calls instead."""
        token = os.urandom(32)
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        links: List[Any] = [None] * len(self._actors)
        self._serving = []
        try:
            listener.bind((_direct_host(ray), 0))
            listener.listen(len(self._actors))
            listener.settimeout(0.2)
            address = listener.getsockname()[:2]
            self._serving = [a.serve.remote(address, token, k) for k, a in enumerate(self._actors)]
            warn_at = time.monotonic() + _START_WARNING
            while any(link is None for link in links):
                if time.monotonic() > warn_at:
                    warn_at = float("inf")
                    waiting = sum(link is None for link in links)
                    warnings.warn("RayEvaluator: %d of %d actors have not started after %g s. Ray starts an actor "
                                  "only where a CPU is free: this cluster has %g CPUs; ask for fewer workers, or "
                                  "wait for the cluster to grow." % (waiting, len(links), _START_WARNING,
                                                                     ray.cluster_resources().get("CPU", 0)),
                                  RuntimeWarning, stacklevel=4)
                finished, _ = ray.wait(self._serving, num_returns=1, timeout=0)
                if finished:  # an actor could not connect, or ended
                    break
                try:
                    sock, _ = listener.accept()
                except socket.timeout:
                    continue
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # a message's tail goes at once
                link = _connection.Connection(sock.detach())
                try:
                    name = link.recv_bytes(maxlength=64) if link.poll(5.0) else b""
                except (OSError, EOFError):  # silent, gone, or too long a name
                    name = b""
                index = _INDEX.unpack(name[32:])[0] if len(name) == 32 + _INDEX.size else -1
                if hmac.compare_digest(name[:32], token) and 0 <= index < len(links) and links[index] is None:
                    links[index] = link
                else:  # not one of the actors
                    link.close()
        except (OSError, EOFError):
            pass
        finally:
            listener.close()
            if any(link is None for link in links):
                for link in links:
                    if link is not None:
                        link.close()  # its actor's serve returns and it takes remote calls
                links = []
        self._links = links or None

    def close(self) -> None:
        """Stops the actors; a later call creates new ones."""
        actors, self._actors = self._actors, []
        links, self._links = self._links or [], None
        for link in links:
            link.close()
        if actors:
            ray = _import_ray()
            for actor in actors:
                try:
                    ray.kill(actor)
                except Exception:
                    pass

    def _run(self, genomes: List[Any], scores: "np.ndarray[Any, np.dtype[np.float64]]") -> None:
        ray = _import_ray()
        actors = self._actors[:min(len(self._actors), len(genomes))]
        chunks = _chunks(genomes, len(actors))
        if self._links is not None:
            serving = self._serving[:len(actors)]

            def check() -> None:
                finished, _ = ray.wait(serving, num_returns=1, timeout=0)
                if finished:
                    self._lost(ray, serving.index(finished[0]))

            _exchange(self._links[:len(actors)], chunks, scores, lambda k: self._lost(ray, k), check=check)
            return
        refs = [actor.evaluate.remote(_message(first, step, chunk))
                for actor, (first, step, chunk) in zip(actors, chunks)]
        try:
            replies = ray.get(refs)
        except ray.exceptions.RayActorError as error:
            # Ray's own account (process id, exit detail) is the cause.
            raise RuntimeError(_DIED) from error
        for (first, step, _), raw in zip(chunks, replies):
            _store_reply(raw, scores, first, step)

    def _lost(self, ray: Any, k: int) -> None:
        """Raises for actor k, whose connection broke: with Ray's own account of its end as the
        cause when Ray gives it within a few seconds."""
        try:
            ray.get(self._serving[k], timeout=5.0)
        except ray.exceptions.RayActorError as error:
            raise RuntimeError(_DIED) from error
        except Exception:
            pass
        raise RuntimeError(_DIED)
