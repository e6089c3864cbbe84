"""Models in MAT files (Level 5, which Octave's load and save('-v7') read and write): one
struct variable named ``model`` with krrfit's fields, each in its dims there."""

import numpy as np
import scipy.io

# krrfit's model fields (FormatVersion 3 and 4), in its order.
MODEL_FIELDS = ("FormatVersion", "LengthScales", "Relevance", "Amplitude", "Ridge",
                "LogMarginalLikelihood", "LogMarginalLikelihoodError", "History", "Seconds",
                "Method", "Threads", "FinalPasses", "Alpha", "X", "Weights", "Mu", "Sigma",
                "YMean", "YScale", "Kernel", "KernelObjectives")
# The deviations' factor that krrpredict keeps after them (optional), and its fields.
CACHE_FIELDS = ("Pivots", "Factor", "Chol", "LeftOut", "Weights", "Ridge")


def _struct(fields):
    """A 1 x 1 struct of the fields (a dict), in their order, as savemat writes it."""
    record = np.empty((1, 1), dtype=[(name, object) for name in fields])
    for name, value in fields.items():
        record[0, 0][name] = value
    return record


def save_model(path, model):
    """Writes model's fields (those of MODEL_FIELDS it has, in that order, then its
    DeviationCache where it has one) as the struct ``model``; each array as a double matrix
    of its dims, each number 1 x 1, Method and Kernel strings, DeviationCache a struct."""
    fields = {}
    for name in MODEL_FIELDS + ("DeviationCache",):
        if name not in model:
            continue
        value = model[name]
        if name == "DeviationCache":
            if value is not None:
                fields[name] = _struct({f: np.atleast_2d(np.asarray(value[f], dtype=np.float64))
                                        for f in CACHE_FIELDS})
            continue
        fields[name] = value if isinstance(value, str) else np.atleast_2d(
            np.asarray(value, dtype=np.float64))
    # A structured array fixes the fields' order, as a dict might not in every reader.
    scipy.io.savemat(path, {"model": _struct(fields)}, format="5", do_compression=False)


def load_model(path):
    """The fields of the struct variable ``model`` in a MAT file: numbers as floats,
    matrices as 2-D float64 arrays in their dims (single ones widened exactly), Method and
    Kernel strs, DeviationCache a dict of its fields."""
    contents = scipy.io.loadmat(path, squeeze_me=False, struct_as_record=True,
                                chars_as_strings=True)
    if "model" not in contents:
        raise ValueError(f"load_model: {path} holds no variable named 'model'")
    record = contents["model"]
    if record.dtype.names is None or record.size != 1:
        raise ValueError(f"load_model: the variable 'model' in {path} must be one struct "
                         f"returned by krrfit")
    record = record.reshape(-1)[0]
    model = {}
    for name in record.dtype.names:
        value = record[name]
        if name == "DeviationCache" and value.dtype.names is not None and value.size == 1:
            cache = value.reshape(-1)[0]
            model[name] = {f: np.asarray(cache[f], dtype=np.float64) for f in cache.dtype.names}
        elif value.dtype.kind in "US":
            model[name] = str(value.reshape(-1)[0]) if value.size else ""
        elif value.dtype.kind in "fiub" and value.shape == (1, 1) and name not in (
                "X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "YScale", "LengthScales",
                "Relevance", "FinalPasses", "History", "KernelObjectives"):
            model[name] = float(value[0, 0])
        elif value.dtype.kind in "fiub":
            model[name] = np.asarray(value, dtype=np.float64)
        else:
            model[name] = value
    return model
