"""What the package's estimators share over the compiled core: its warnings and errors
raised under the computation's name with the package's own classes, the threads and memory
the environment allows (the variables the Octave modules read), and progress lines to
logging and, where asked, to standard output."""

import logging
import sys
import warnings

from sklearn.exceptions import ConvergenceWarning as _SklearnConvergenceWarning

from . import _core

logger = logging.getLogger("krrard")


class KrrardWarning(UserWarning):
    """Base class of the package's warnings. ``identifier`` is the Octave side's
    (``krrfit:atBound``, ``tarvel:notConverged``, ...)."""

    identifier = None


class ConvergenceWarning(KrrardWarning, _SklearnConvergenceWarning):
    """A solve or an optimiser stage stopped before its tolerance (notConverged,
    iterationLimit, toleranceUnreachable)."""


class ParameterAtBoundWarning(KrrardWarning):
    """A learned hyperparameter ended at a bound of its search (atBound)."""


class NumericalWarning(KrrardWarning):
    """The data or hyperparameters strained double precision (startMoved, illConditioned,
    breakdown, approximate deviations)."""


class SettingWarning(KrrardWarning):
    """A resource setting was capped or ignored (cacheCapped, threadSetting, memorySetting)."""

_WARNING_CLASSES = {
    "notConverged": ConvergenceWarning,
    "iterationLimit": ConvergenceWarning,
    "toleranceUnreachable": ConvergenceWarning,
    "atBound": ParameterAtBoundWarning,
    "startMoved": NumericalWarning,
    "illConditioned": NumericalWarning,
    "breakdown": NumericalWarning,
    "approximate": NumericalWarning,
    "cacheCapped": SettingWarning,
    "threadSetting": SettingWarning,
    "memorySetting": SettingWarning,
}

# The errors by code: refusals of arguments and failures of the data are ValueError, an
# allocation that failed MemoryError, an interrupt KeyboardInterrupt.
_ERROR_CLASSES = {
    "outOfMemory": MemoryError,
    "interrupted": KeyboardInterrupt,
}


def warn(function, code, message, stacklevel=3):
    """Issues the warning ``function:code`` with the message ``function: message``."""
    cls = _WARNING_CLASSES.get(code, KrrardWarning)
    w = cls(f"{function}: {message}")
    w.identifier = f"{function}:{code}"
    warnings.warn(w, stacklevel=stacklevel)


def raise_outcome(function, result, stacklevel=4):
    """Issues the warnings a compiled call returned, in order, then raises its error (as
    the Octave functions do: warnings first, then the error)."""
    for code, message in result["warnings"]:
        warn(function, code, message, stacklevel=stacklevel)
    if result["error"] is not None:
        code, message = result["error"]
        error = _ERROR_CLASSES.get(code, ValueError)(f"{function}: {message}")
        error.identifier = f"{function}:{code}"
        raise error
    return result


_warned_settings = set()


def requested_threads(function, n_threads=None):
    """The threads of a compiled call: n_threads where given (a whole number from 1 to
    1024), else KRR_NUM_THREADS read at every call as the modules read it (unset: 0, one
    thread per processor this process may use; any other value: the same, with a warning
    once in the session)."""
    if n_threads is not None:
        if isinstance(n_threads, bool) or not hasattr(n_threads, "__index__"):
            raise TypeError(f"{function}: n_threads must be None or a whole number from 1 to 1024, "
                            f"got {type(n_threads).__name__}")
        if not 1 <= int(n_threads) <= 1024:
            raise ValueError(f"{function}: n_threads must be None or a whole number from 1 to "
                             f"1024, got {n_threads}")
        return int(n_threads)
    is_set, valid, value, text = _core.thread_setting()
    if not is_set:
        return 0
    if valid:
        return int(value)
    if "threads" not in _warned_settings:
        _warned_settings.add("threads")
        warn(function, "threadSetting",
             f"KRR_NUM_THREADS = '{text[:40]}' is not a whole number from 1 to 1024; using the "
             f"default, one thread per processor this process may use ({_core.available_cpus()})")
    return 0


def usable_memory(function):
    """The bytes a call may plan for: what the system allows this process, and no more than
    KRR_MEMORY_LIMIT where set (a positive number; any other value ignored, with a warning
    once in the session)."""
    available = _core.available_memory_bytes()
    is_set, valid, limit, text = _core.memory_limit_setting()
    if not is_set:
        return available
    if valid:
        return min(available, limit)
    if "memory" not in _warned_settings:
        _warned_settings.add("memory")
        warn(function, "memorySetting",
             f"KRR_MEMORY_LIMIT = '{text[:40]}' is not a positive number of bytes; it is ignored")
    return available


def progress(verbose):
    """The sink of progress lines: each to the logger ``krrard`` (INFO) and, where verbose,
    printed."""
    def sink(line):
        logger.info(line)
        if verbose:
            print(line, file=sys.stdout, flush=True)
    return sink
