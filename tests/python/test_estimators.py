"""The estimators' own behaviour: pickling, the package's errors and warnings, threads and
progress lines."""

import logging
import pickle
import warnings

import numpy as np
import pytest
from sklearn.exceptions import ConvergenceWarning as SklearnConvergenceWarning

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
