"""The estimators' own behaviour: pickling, the package's errors and warnings, threads and
progress lines; the Matern kernels' log marginal likelihood and optimum against
scikit-learn's GaussianProcessRegressor."""

import logging
import pickle
import warnings

import numpy as np
import pytest
from sklearn.exceptions import ConvergenceWarning as SklearnConvergenceWarning
from sklearn.gaussian_process import GaussianProcessRegressor
from sklearn.gaussian_process.kernels import ConstantKernel, Matern, RBF, WhiteKernel

import krrard
from krrard import ARDGaussianProcess, ARDKernelRidge


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(1)
    X = rng.random((120, 3))
    y = np.sin(6 * X[:, 0]) + 0.1 * X[:, 1] + 0.05 * rng.standard_normal(120)
    return X, y, rng.random((30, 3))


def test_pickle_and_mat_round_trips_keep_every_bit(data, tmp_path):
    X, y, Xt = data
    gp = ARDGaussianProcess().fit(X, y)
    kr = ARDKernelRidge(length_scales=[0.2, 1, 1], ridge=0.01, random_state=1).fit(X, y)
    for est in (gp, kr):
        again = pickle.loads(pickle.dumps(est))
        assert np.array_equal(again.predict(Xt), est.predict(Xt))
    again = pickle.loads(pickle.dumps(gp))
    assert all(np.array_equal(a, b) for a, b in zip(again.predict(Xt, return_std=True),
                                                    gp.predict(Xt, return_std=True)))
    # The deviations' factor kept with the model goes through the MAT file, and serves there.
    cache = gp.model_["DeviationCache"]
    gp.save_model(tmp_path / "m.mat")
    loaded = ARDGaussianProcess.load_model(tmp_path / "m.mat")
    assert all(np.array_equal(np.atleast_2d(loaded.model_["DeviationCache"][f]), np.atleast_2d(cache[f]))
               for f in cache)
    assert np.array_equal(loaded.predict_interval(Xt, 0.8), gp.predict_interval(Xt, 0.8))
    broken = ARDGaussianProcess.load_model(tmp_path / "m.mat")
    broken.model_["DeviationCache"]["Pivots"][0] = 1e6
    with pytest.raises(ValueError, match="MODEL.DeviationCache.Pivots must be training samples"):
        broken.predict(Xt, return_std=True)
    assert loaded.predict(Xt).shape == (30,)
    assert loaded.history_.shape == gp.history_.shape and loaded.method_ == gp.method_
    # A Matern model through the MAT file: its kernel named, its predictions the same bits.
    m32 = ARDGaussianProcess(kernel="Matern32").fit(X, y)
    m32.save_model(tmp_path / "m32.mat")
    loaded = ARDGaussianProcess.load_model(tmp_path / "m32.mat")
    assert loaded.kernel_ == m32.kernel_ == "matern32" and loaded.model_["FormatVersion"] == 4
    assert all(np.array_equal(a, b) for a, b in zip(loaded.predict(Xt, return_std=True),
                                                    m32.predict(Xt, return_std=True)))
    assert not np.array_equal(m32.predict(Xt), gp.predict(Xt))
    # A model saved before kernels were named (no Kernel field) is the Gaussian.
    old = {k: v for k, v in gp.model_.items() if k not in ("Kernel", "KernelObjectives")}
    krrard.save_model(tmp_path / "old.mat", old)
    loaded = ARDGaussianProcess.load_model(tmp_path / "old.mat")
    assert loaded.kernel_ == "squaredexponential"
    assert np.array_equal(loaded.predict(Xt, return_std=True)[1], gp.predict(Xt, return_std=True)[1])


def test_learned_attributes_and_intervals(data):
    X, y, Xt = data
    gp = ARDGaussianProcess().fit(X, y)
    # The irrelevant third feature gets the longest length scale.
    assert gp.length_scales_.shape == (3,) and gp.length_scales_[2] > gp.length_scales_[:2].max()
    assert gp.log_marginal_likelihood_error_ == 0 and gp.history_.shape[1] == 9
    assert gp.log_marginal_likelihood_ == gp.history_[-1, 1]
    p, sd = gp.predict(Xt, return_std=True)
    _, sd_curve = gp.predict(Xt, return_std=True, prediction="curve")
    np.testing.assert_allclose(sd**2, sd_curve**2 + gp.ridge_, rtol=1e-12)
    wide, narrow = gp.predict_interval(Xt, 0.99), gp.predict_interval(Xt, 0.5)
    assert wide.shape == (30, 2) and np.all((wide[:, 0] < narrow[:, 0]) & (narrow[:, 1] < wide[:, 1]))
    np.testing.assert_allclose(wide.mean(axis=1), p, rtol=1e-12, atol=1e-12)
    # Several outputs share the kernel: each column's deviations scaled by its YScale.
    two = ARDGaussianProcess().fit(X, np.c_[y, 10 * y])
    p2, sd2 = two.predict(Xt, return_std=True)
    assert p2.shape == sd2.shape == (30, 2) and two.predict_interval(Xt).shape == (30, 2, 2)
    np.testing.assert_allclose(sd2[:, 1] / sd2[:, 0], 10, rtol=1e-12)


def test_errors_name_the_function_and_have_their_classes(data, monkeypatch):
    X, y, Xt = data
    cases = [
        (ARDGaussianProcess(method="fast"), ValueError, "krrfit: Method must be"),
        (ARDGaussianProcess(length_scales=[1, 2]), ValueError, "krrfit: LengthScales"),
        (ARDGaussianProcess(fixed=["Width"]), ValueError, "krrfit: unknown parameter in Fixed: Width"),
        (ARDGaussianProcess(kernel="matern"), ValueError, "krrfit: Kernel must be 'squaredexponential'"),
        (ARDKernelRidge(ridge=-1), ValueError, "tarvel: ridge must be finite and nonnegative, got -1"),
        (ARDKernelRidge(tol=0), ValueError, "tarvel: tol must be positive"),
        (ARDKernelRidge(ridge="big"), TypeError, "tarvel: ridge must be a real number"),
        (ARDKernelRidge(n_threads=0), ValueError, "n_threads must be None or a whole number"),
    ]
    for est, cls, text in cases:
        with pytest.raises(cls, match=text):
            est.fit(X, y)
    gp = ARDGaussianProcess().fit(X, y)
    with pytest.raises(ValueError, match=r"krrpredict: Alpha must be in \(0, 1\), got 0"):
        gp.predict_interval(Xt, level=1.0)
    with pytest.raises(ValueError, match="krrpredict: Method must be"):
        gp.predict(Xt, return_std=True, method="fast")
    broken = pickle.loads(pickle.dumps(gp))
    broken.model_["Sigma"] = np.zeros((1, 3))
    with pytest.raises(ValueError, match="krrpredict: MODEL.Sigma must be positive") as raised:
        broken.predict(Xt)
    assert raised.value.identifier == "krrpredict:invalidModel"
    # A dense stage that cannot fit in the memory allowed: MemoryError before any work.
    monkeypatch.setenv("KRR_MEMORY_LIMIT", "1000")
    with pytest.raises(MemoryError, match="krrfit: ") as raised:
        ARDGaussianProcess().fit(X, y)
    assert raised.value.identifier == "krrfit:outOfMemory"


def test_warnings_are_the_package_classes(data):
    X, y, _ = data
    with pytest.warns(krrard.ConvergenceWarning, match="krrfit: .*MaxIterations") as seen:
        ARDGaussianProcess(max_iterations=2).fit(X, y)
    assert isinstance(seen[0].message, SklearnConvergenceWarning)
    assert seen[0].message.identifier == "krrfit:iterationLimit"
    with pytest.warns(krrard.ParameterAtBoundWarning, match="krrfit: .*Amplitude") as seen:
        ARDGaussianProcess(amplitude_bounds=[1e-3, 1e-2]).fit(X, y)
    assert seen[0].message.identifier == "krrfit:atBound"
    # A work bound the solve cannot meet: tarvel's notConverged.
    with pytest.warns(krrard.ConvergenceWarning, match="tarvel: tol = 1e-30 is below") as seen:
        ARDKernelRidge(ridge=1e-3, tol=1e-30).fit(X, y)
    assert seen[0].message.identifier == "tarvel:toleranceUnreachable"


def test_threads_never_change_a_bit(data, monkeypatch):
    X, y, Xt = data
    runs = []
    for threads, setting in ((1, ""), (3, ""), (None, "2"), (None, "many")):
        monkeypatch.setenv("KRR_NUM_THREADS", setting)
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            gp = ARDGaussianProcess(restarts=1, n_threads=threads).fit(X, y)
            kr = ARDKernelRidge(random_state=4, n_threads=threads).fit(X, y)
        bad = [w for w in seen if isinstance(w.message, krrard.SettingWarning)]
        assert len(bad) == (setting == "many")  # once in the session, however many calls
        runs.append((gp.model_["Alpha"], gp.predict(Xt, return_std=True)[1], kr.dual_coef_, kr.predict(Xt)))
    for run in runs[1:]:
        assert all(np.array_equal(a, b) for a, b in zip(run, runs[0]))


def test_progress_goes_to_logging_and_verbose_prints(data, caplog, capsys):
    X, y, Xt = data
    with caplog.at_level(logging.INFO, logger="krrard"):
        ARDGaussianProcess().fit(X, y)
        ARDKernelRidge().fit(X, y)
    lines = [r.getMessage() for r in caplog.records if r.name == "krrard"]
    assert any(line.startswith("krrfit") and "done in" in line for line in lines)
    assert any(line.startswith("Number of kernel evaluation is") for line in lines)
    assert capsys.readouterr().out == ""
    ARDGaussianProcess(verbose=True).fit(X, y)
    printed = capsys.readouterr().out.splitlines()
    assert printed and printed[-1].startswith("krrfit: done in")


@pytest.fixture(scope="module")
def rough():
    """1,200 rows with a kink, anisotropic features and noise."""
    rng = np.random.default_rng(3)
    X = rng.random((1200, 3)) * [1, 2, 3]
    y = np.abs(X[:, 0] - 0.5) + np.sin(3 * X[:, 1]) + 0.1 * rng.standard_normal(1200)
    return X, y


@pytest.mark.parametrize("kernel, nu", [("matern12", 0.5), ("matern32", 1.5), ("matern52", 2.5),
                                        ("squaredexponential", None)])
def test_log_marginal_likelihood_is_scikit_learns(rough, kernel, nu):
    # At the same hyperparameters (amplitude the ConstantKernel, ridge the WhiteKernel's
    # noise level, a length scale per feature), unstandardised and uncentred: the same
    # log marginal likelihood to 1e-8 relative.
    X, y = rough
    scales, amplitude, ridge = np.array([0.4, 0.9, 2.5]), 1.3, 0.02
    gp = ARDGaussianProcess(kernel=kernel, length_scales=scales, amplitude=amplitude, ridge=ridge,
                            fixed=["LengthScales", "Amplitude", "Ridge"], standardize=False,
                            center_targets=False).fit(X, y)
    shape = Matern(length_scale=scales, nu=nu) if nu else RBF(length_scale=scales)
    sk = GaussianProcessRegressor(ConstantKernel(amplitude) * shape + WhiteKernel(ridge),
                                  optimizer=None, alpha=0.0).fit(X, y)
    assert gp.kernel_ == kernel
    assert abs(gp.log_marginal_likelihood_ - sk.log_marginal_likelihood_value_) <= \
        1e-8 * abs(sk.log_marginal_likelihood_value_)


def test_matern_optimum_reaches_scikit_learns(rough):
    # Both maximise from their defaults over 1,000 rows: the learner's optimum is no more
    # than 0.05 nats below scikit-learn's (its bounds may let it rise further).
    X, y = rough[0][:1000], rough[1][:1000]
    gp = ARDGaussianProcess(kernel="matern52", standardize=False, center_targets=False).fit(X, y)
    kernel = (ConstantKernel(1.0, (1e-4, 1e4)) *
              Matern(length_scale=[1.0] * 3, length_scale_bounds=(1e-3, 1e3), nu=2.5) +
              WhiteKernel(0.1, (1e-6, 10)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SklearnConvergenceWarning)  # a length scale at its bound
        sk = GaussianProcessRegressor(kernel, alpha=0.0, random_state=0).fit(X, y)
    assert gp.log_marginal_likelihood_ >= sk.log_marginal_likelihood_value_ - 0.05


def test_auto_kernel_keeps_the_best_candidate(rough):
    X, y = rough[0][:300], rough[1][:300]
    gp = ARDGaussianProcess(kernel="auto").fit(X, y)
    names = ["squaredexponential", "matern12", "matern32", "matern52"]
    assert gp.kernel_objectives_.shape == (4,)
    assert gp.kernel_ == names[int(np.argmax(gp.kernel_objectives_))]
    own = ARDGaussianProcess(kernel=gp.kernel_).fit(X, y)
    assert np.array_equal(own.predict(X[:20]), gp.predict(X[:20]))
