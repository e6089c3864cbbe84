"""The estimators, with scikit-learn's conventions (rows are samples, fit returns self,
score is R^2), over the compiled core: no computation of their own beyond converting
arguments and naming results."""

import decimal
import math
import numbers

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils.validation import check_array, check_is_fitted, check_X_y

from . import _core, _host
from . import _model_io


def _scalar(name, value, function):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{function}: {name} must be a real number, got {type(value).__name__}")
    return float(value)


class ARDKernelRidge(RegressorMixin, BaseEstimator):
    """Kernel ridge regression with a fixed ARD Gaussian kernel, solved exactly.

    The kernel between samples a and b is
    ``amplitude * exp(-sum_l (a_l - b_l)**2 / (2 * length_scales[l]**2))`` and the
    coefficients solve ``(K + ridge * I) alpha = y`` by exact block coordinate descent (the
    solve of the Octave function ``tarvel``), predictions are ``K(X, X_train) alpha``
    (``quorril``): for the same data, weights and draws, the same bits as those.

    Parameters
    ----------
    length_scales : float or array of shape (n_features,), default 1.0
    amplitude : float, default 1.0
    ridge : float, default 1.0
        The ridge (noise variance) added to K's diagonal, at least 0.
    tol : float, default 1e-6
        The solve stops once every entry of the gradient (K + ridge I) alpha - y is at most
        tol in absolute value.
    block_size : int, default 64
        Block size of the descent (tarvel's k), capped to the number of samples.
    cache_bytes : float, default inf
        Bytes of the kernel column cache (as much as fits by default).
    random_state : int or None, default None
        Seeds the C library's generator, which draws the blocks' candidates, before the
        solve (as ``c_srand(random_state)`` before ``tarvel`` in Octave); None leaves it
        as it stands, as ``tarvel`` does.
    n_threads : int or None, default None
        Threads of the solve and the predictions; None reads KRR_NUM_THREADS as the Octave
        modules do (unset: one per processor this process may use). Results do not
        depend on it.
    verbose : bool, default False
        Prints tarvel's report lines; they go to the logger ``krrard`` either way.

    Layouts: X in C order (rows as samples, float64) is read in place; any other layout
    or dtype costs one copy.

    Attributes
    ----------
    dual_coef_ : ndarray of shape (n_samples,) or (n_samples, n_outputs)
    X_fit_ : ndarray of shape (n_samples, n_features), C order
    weights_ : ndarray of shape (n_features + 1,)
        1 / (2 l**2) for each feature, then the amplitude: tarvel's and quorril's w.
    objective_, n_kernel_evaluations_, fit_seconds_, n_steps_ : per output where several
    n_features_in_ : int

    Examples
    --------
    >>> import numpy as np
    >>> from krrard import ARDKernelRidge
    >>> rng = np.random.default_rng(0)
    >>> X = rng.random((200, 2))
    >>> y = np.sin(4 * X[:, 0]) + 0.1 * X[:, 1]
    >>> model = ARDKernelRidge(length_scales=[0.3, 3.0], ridge=1e-3, random_state=1).fit(X, y)
    >>> bool(np.abs(model.predict(X) - y).max() < 0.01)
    True
    """

    _FUNCTION = "tarvel"

    def __init__(self, length_scales=1.0, amplitude=1.0, ridge=1.0, tol=1e-6, block_size=64,
                 cache_bytes=float("inf"), random_state=None, n_threads=None, verbose=False):
        self.length_scales = length_scales
        self.amplitude = amplitude
        self.ridge = ridge
        self.tol = tol
        self.block_size = block_size
        self.cache_bytes = cache_bytes
        self.random_state = random_state
        self.n_threads = n_threads
        self.verbose = verbose

    def _more_tags(self):
        return {"multioutput": True}

    def _weights(self, d):
        fn = self._FUNCTION
        scales = np.asarray(self.length_scales, dtype=np.float64)
        if scales.ndim > 1 or (scales.ndim == 1 and scales.size not in (1, d)):
            raise ValueError(f"{fn}: length_scales must be a scalar or have one entry per feature "
                             f"({d}), got shape {scales.shape}")
        scales = np.broadcast_to(scales.reshape(-1), (d,)) if d else np.empty(0)
        if not np.all(np.isfinite(scales) & (scales > 0)):
            raise ValueError(f"{fn}: length_scales must be positive and finite")
        amplitude = _scalar("amplitude", self.amplitude, fn)
        return np.append(1.0 / (2.0 * scales * scales), amplitude)

    def fit(self, X, y):
        fn = self._FUNCTION
        X, y = check_X_y(X, y, dtype=np.float64, order="C", multi_output=True, y_numeric=True)
        seed = self.random_state
        if seed is not None and not (isinstance(seed, numbers.Integral) and 0 <= seed < 2**32):
            raise ValueError(f"{fn}: random_state must be None or a whole number from 0 to "
                             f"2^32 - 1, got {seed!r}")
        n, d = X.shape
        w = self._weights(d)
        ridge = _scalar("ridge", self.ridge, fn)
        tol = _scalar("tol", self.tol, fn)
        block = _scalar("block_size", self.block_size, fn)
        cache = _scalar("cache_bytes", self.cache_bytes, fn)
        threads = _host.requested_threads(fn, self.n_threads)
        memory = _host.usable_memory(fn)
        Y = y.reshape(n, -1)
        alphas, stats = [], []
        sink = _host.progress(self.verbose)
        for q in range(Y.shape[1]):
            result = _core.train(X, np.ascontiguousarray(Y[:, q]), w, ridge, tol, min(block, n),
                                 cache, seed, threads, memory)
            _host.raise_outcome(fn, result)
            for line in result["report"]:
                sink(line)
            alphas.append(result["alpha"])
            stats.append(result)
        self.X_fit_ = X
        self.weights_ = w
        self.dual_coef_ = alphas[0] if y.ndim == 1 else np.stack(alphas, axis=1)
        pick = (lambda k: stats[0][k]) if y.ndim == 1 else (
            lambda k: np.array([s[k] for s in stats]))
        self.objective_ = pick("objective")
        self.n_kernel_evaluations_ = pick("evals")
        self.fit_seconds_ = pick("seconds")
        self.n_steps_ = pick("steps")
        self.n_features_in_ = d
        return self

    def predict(self, X):
        """K(X, X_fit_) dual_coef_: quorril's bits for one output. X in C order is read in
        place."""
        check_is_fitted(self)
        X = check_array(X, dtype=np.float64, order="C")
        if X.shape[1] != self.n_features_in_:
            raise ValueError(f"quorril: X has {X.shape[1]} features, but {type(self).__name__} "
                             f"is expecting {self.n_features_in_} features as input")
        alpha = self.dual_coef_.reshape(self.dual_coef_.shape[0], -1)
        result = _core.predict(X, self.X_fit_, self.weights_, np.ascontiguousarray(alpha),
                               _host.requested_threads("quorril", self.n_threads))
        f = _host.raise_outcome("quorril", result)["f"]
        return f[:, 0] if self.dual_coef_.ndim == 1 else f


# krrfit's options: the constructor's parameter, the option's name. None leaves the
# option's default.
_FIT_OPTIONS = (
    ("length_scales", "LengthScales"), ("amplitude", "Amplitude"), ("ridge", "Ridge"),
    ("fixed", "Fixed"), ("length_scale_bounds", "LengthScaleBounds"),
    ("amplitude_bounds", "AmplitudeBounds"), ("ridge_bounds", "RidgeBounds"),
    ("max_iterations", "MaxIterations"), ("scalable_iterations", "ScalableIterations"),
    ("restarts", "Restarts"), ("random_state", "Seed"), ("method", "Method"),
    ("dense_limit", "DenseLimit"), ("subset_size", "SubsetSize"),
    ("polish_limit", "PolishLimit"), ("exact_check_limit", "ExactCheckLimit"),
    ("scalable_subset_size", "ScalableSubsetSize"), ("final_objective", "FinalObjective"),
    ("probes", "Probes"), ("precondition_rank", "PreconditionRank"),
    ("log_det_rank", "LogDetRank"), ("standardize", "Standardize"),
    ("center_targets", "CenterTargets"), ("tolerance", "Tolerance"),
    ("block_size", "BlockSize"), ("cache_bytes", "CacheBytes"), ("kernel", "Kernel"),
)


class ARDGaussianProcess(RegressorMixin, BaseEstimator):
    """Exact kernel ridge regression with the ARD Gaussian kernel (or a Matern kernel)
    learned from the data: the Gaussian process whose length scales, amplitude and noise
    variance (ridge)
    maximise the log marginal likelihood (the Octave function ``krrfit``), with predictions,
    standard deviations and intervals as ``krrpredict`` gives them, bit for bit.

    Every parameter but ``n_threads`` and ``verbose`` is one of krrfit's options in snake
    case (``random_state`` is its Seed); None keeps krrfit's default. The outputs of a
    multi-output y share one kernel. Their meanings, ranges and defaults are krrfit's
    (``help krrfit`` in Octave); refused values raise ValueError with krrfit's message.

    kernel : 'squaredexponential' (also 'gaussian', 'se', 'rbf'), 'matern12' (also
        'exponential'), 'matern32', 'matern52', or 'auto' (every kernel fitted on the first
        exact stage, the one of the highest log marginal likelihood kept), by krrfit's
        option Kernel. The Matern kernels share the length scales: with
        ``r = sqrt(sum_l (a_l - b_l)**2 / length_scales[l]**2)``, matern52 is
        ``amplitude * (1 + sqrt(5) r + 5 r**2 / 3) * exp(-sqrt(5) r)``.
    n_threads : None reads KRR_NUM_THREADS, as the Octave modules do; the model does not
        depend on it.
    verbose : print krrfit's progress lines (False by default here; they go to the logger
        ``krrard`` at INFO either way).

    Layouts: X and y in Fortran order (float64) are read in place; any other layout or
    dtype costs one copy (to_fortran = np.asfortranarray). The fitted model is ``model_``,
    krrfit's fields by name, which ``save_model`` writes to a MAT file.

    Attributes
    ----------
    length_scales_ : ndarray (n_features,); relevance_ : ndarray (n_features,)
    amplitude_, ridge_ : float
    log_marginal_likelihood_, log_marginal_likelihood_error_ : float
    history_ : ndarray (iterations, 9), krrfit's History; method_ : str
    kernel_ : str, the kernel fitted (chosen, for 'auto'); kernel_objectives_ : ndarray,
        with 'auto' each kernel's objective on the first exact stage (else empty)
    model_ : dict of krrfit's model fields; n_features_in_ : int

    Examples
    --------
    >>> import numpy as np
    >>> from krrard import ARDGaussianProcess
    >>> rng = np.random.default_rng(0)
    >>> X = rng.random((200, 3))                     # the third feature is noise
    >>> y = np.sin(4 * X[:, 0]) + X[:, 1] + 0.05 * rng.standard_normal(200)
    >>> gp = ARDGaussianProcess().fit(X, y)
    >>> bool(gp.length_scales_[2] > 5 * gp.length_scales_[0])   # learned: irrelevant
    True
    >>> mean, std = gp.predict(X[:5], return_std=True)
    >>> bounds = gp.predict_interval(X[:5], level=0.95)          # shape (5, 2)
    >>> bool(np.all((bounds[:, 0] < mean) & (mean < bounds[:, 1])))
    True
    """

    def __init__(self, length_scales=None, amplitude=None, ridge=None, fixed=None,
                 length_scale_bounds=None, amplitude_bounds=None, ridge_bounds=None,
                 max_iterations=None, scalable_iterations=None, restarts=None,
                 random_state=None, method=None, dense_limit=None, subset_size=None,
                 polish_limit=None, exact_check_limit=None, scalable_subset_size=None,
                 final_objective=None, probes=None, precondition_rank=None, log_det_rank=None,
                 standardize=None, center_targets=None, tolerance=None, block_size=None,
                 cache_bytes=None, kernel="squaredexponential", n_threads=None, verbose=False):
        self.length_scales = length_scales
        self.amplitude = amplitude
        self.ridge = ridge
        self.fixed = fixed
        self.length_scale_bounds = length_scale_bounds
        self.amplitude_bounds = amplitude_bounds
        self.ridge_bounds = ridge_bounds
        self.max_iterations = max_iterations
        self.scalable_iterations = scalable_iterations
        self.restarts = restarts
        self.random_state = random_state
        self.method = method
        self.dense_limit = dense_limit
        self.subset_size = subset_size
        self.polish_limit = polish_limit
        self.exact_check_limit = exact_check_limit
        self.scalable_subset_size = scalable_subset_size
        self.final_objective = final_objective
        self.probes = probes
        self.precondition_rank = precondition_rank
        self.log_det_rank = log_det_rank
        self.standardize = standardize
        self.center_targets = center_targets
        self.tolerance = tolerance
        self.block_size = block_size
        self.cache_bytes = cache_bytes
        self.kernel = kernel
        self.n_threads = n_threads
        self.verbose = verbose

    def _more_tags(self):
        return {"multioutput": True}

    def fit(self, X, y):
        fn = "krrfit"
        X, y = check_X_y(X, y, dtype=np.float64, order="F", multi_output=True, y_numeric=True,
                         ensure_min_samples=2)
        options = {name: getattr(self, param) for param, name in _FIT_OPTIONS
                   if getattr(self, param) is not None}
        options["Verbose"] = True  # every line to the logger; printed where verbose
        Y = np.asfortranarray(y.reshape(y.shape[0], -1))
        threads = _host.requested_threads(fn, self.n_threads)
        result = _core.fit(X, Y, options, threads, _host.usable_memory(fn),
                           _host.progress(self.verbose))
        _host.raise_outcome(fn, result)
        self._set_model(result["model"], y.ndim == 1)
        return self

    def _set_model(self, model, one_output):
        """The fitted attributes of krrfit's model fields."""
        self.model_ = model
        self._one_output = one_output
        # A model of an earlier format, or written by hand, may lack the reports: NaN there.
        field = lambda name: model.get(name, np.nan)
        self.length_scales_ = np.asarray(field("LengthScales"), dtype=np.float64).reshape(-1)
        self.relevance_ = np.asarray(field("Relevance"), dtype=np.float64).reshape(-1)
        self.amplitude_ = float(field("Amplitude"))
        self.ridge_ = float(field("Ridge"))
        self.log_marginal_likelihood_ = float(field("LogMarginalLikelihood"))
        self.log_marginal_likelihood_error_ = float(field("LogMarginalLikelihoodError"))
        self.history_ = np.asarray(model.get("History", np.empty((0, 9))), dtype=np.float64).reshape(-1, 9)
        self.method_ = str(model.get("Method", ""))
        # A model saved before kernels were named is the Gaussian.
        self.kernel_ = str(model.get("Kernel", "")) or "squaredexponential"
        self.kernel_objectives_ = np.asarray(model.get("KernelObjectives", np.empty(0)),
                                             dtype=np.float64).reshape(-1)
        self.n_features_in_ = int(np.shape(model["X"])[0])

    def _predict(self, X, deviations, options):
        check_is_fitted(self)
        X = check_array(X, dtype=np.float64, order="F")
        if X.shape[1] != self.n_features_in_:
            raise ValueError(f"krrpredict: X has {X.shape[1]} features, but "
                             f"{type(self).__name__} is expecting {self.n_features_in_} "
                             f"features as input")
        options = dict(options, Verbose=True)
        fn = "krrpredict"
        threads = _host.requested_threads(fn, self.n_threads)
        memory = _host.usable_memory(fn) if deviations else float("nan")
        result = _core.model_predict(self.model_, X, options, deviations, threads, memory,
                                     _host.progress(self.verbose))
        _host.raise_outcome(fn, result, stacklevel=5)
        # The deviations' factor, kept with the model for later calls (and save_model).
        if deviations and result.get("cache") is not None:
            self.model_["DeviationCache"] = result["cache"]
        shape = (lambda a: a[:, 0]) if self._one_output else (lambda a: a)
        return result, shape

    def predict(self, X, return_std=False, *, prediction="observation", method="auto",
                rank=4000, deviation_tolerance=0.02):
        """Predictions at the rows of X (krrpredict's Ypred), and with return_std their
        standard deviations (krrpredict's Ysd: of a new observation, or with
        prediction='curve' of the latent function; method 'auto', 'exact' or
        'approximate', rank the factor's largest rank, deviation_tolerance the approximate
        deviations' checked error above which a warning says so (inf: no check), as
        krrpredict's options). The factor is kept in model_['DeviationCache'] and serves
        later calls, as krrpredict's fourth output does."""
        options = {}
        if return_std:
            options = {"Prediction": prediction, "Method": method, "Rank": rank,
                       "DeviationTolerance": deviation_tolerance}
        result, shape = self._predict(X, return_std, options)
        if not return_std:
            return shape(result["predictions"])
        return shape(result["predictions"]), shape(result["deviations"])

    def predict_interval(self, X, level=0.95, *, prediction="observation", method="auto",
                         rank=4000, deviation_tolerance=0.02):
        """The bounds of the level-probability intervals at the rows of X: an array of shape
        (n_samples, 2) with the lower and upper bounds, (n_samples, 2, n_outputs) for several
        outputs (krrpredict's Yint with Alpha = 1 - level, level in (0, 1))."""
        level = _scalar("level", level, "krrpredict")
        # krrpredict's Alpha as one writes it: 1 - level in decimal from the level's shortest
        # repr (0.95 gives 0.05 itself, where 1.0 - 0.95 is 0.050000000000000044), so that
        # the bounds are those of krrpredict (..., 'Alpha', 0.05) bit for bit.
        alpha = float(1 - decimal.Decimal(repr(level))) if math.isfinite(level) else math.nan
        result, _ = self._predict(X, True, {"Alpha": alpha, "Prediction": prediction,
                                            "Method": method, "Rank": rank,
                                            "DeviationTolerance": deviation_tolerance})
        bounds = np.stack([result["lower"], result["upper"]], axis=1)
        return bounds[:, :, 0] if self._one_output else bounds

    def save_model(self, path):
        """Writes the fitted model to a MAT file (Level 5) holding one struct variable
        ``model`` with krrfit's fields, which Octave's ``load`` reads for krrpredict."""
        check_is_fitted(self)
        _model_io.save_model(path, self.model_)

    @classmethod
    def load_model(cls, path, **params):
        """An estimator holding the model of a MAT file whose struct variable ``model`` has
        krrfit's fields (saved by save_model, or in Octave by save('-v7', FILE, 'model'))."""
        estimator = cls(**params)
        model = _model_io.load_model(path)
        alpha = np.asarray(model["Alpha"])
        estimator._set_model(model, alpha.ndim < 2 or alpha.shape[1] == 1)
        return estimator
