"""Python and Octave on the same inputs: the same bits from the same core, the same
messages, and models that travel both ways through MAT files."""

import subprocess
import warnings

import numpy as np
import pytest
import scipy.io

import krrard
from krrard import ARDGaussianProcess, ARDKernelRidge, _core


def krrard_program():
    """The build's command-line program, or None where it was not built."""
    from conftest import BUILD
    path = BUILD / "krrard"
    return str(path) if path.exists() else None


def test_fixed_kernel_matches_tarvel_and_quorril(octave, tmp_path):
    # Cases that take different paths through the solve: a cache of every column, none, a
    # block of one; two outputs solved one by one, each with the same draws.
    rng = np.random.default_rng(5)
    X = rng.random((700, 3)) * [1, 10, 0.1]
    y = np.cos(4 * X[:, 0]) - X[:, 1] / 10 + 0.01 * rng.standard_normal(700)
    Xt = rng.random((230, 3)) * [1, 10, 0.1]
    cases = [dict(cache_bytes=np.inf, block_size=16), dict(cache_bytes=0.0, block_size=40),
             dict(cache_bytes=8 * 700 * 7.0, block_size=1)]
    fitted = []
    for i, case in enumerate(cases):
        est = ARDKernelRidge(length_scales=[0.3, 4.0, 0.2], amplitude=1.5, ridge=0.02,
                             tol=1e-9, random_state=11 + i, n_threads=1 + i % 2, **case)
        fitted.append(est.fit(X, np.c_[y, 2 - y] if i == 0 else y))
    scipy.io.savemat(tmp_path / "in.mat", {
        "X": X, "y": y, "Xt": Xt, "w": fitted[0].weights_,
        "k": [[c["block_size"] for c in cases]], "cache": [[c["cache_bytes"] for c in cases]]})
    octave("""load in.mat
for i = 1:3
  c_srand (10 + i);
  [a{i}, g, s, evals(i), objective(i)] = tarvel (X', y, w, 0.02, 1e-9, k(i), cache(i));
  f{i} = quorril (Xt', X', w, a{i});
end
c_srand (11);  a2 = tarvel (X', 2 - y, w, 0.02, 1e-9, k(1), cache(1));  f2 = quorril (Xt', X', w, a2);
save ('-v7', 'out.mat', 'a', 'f', 'evals', 'objective', 'a2', 'f2');
""", tmp_path)
    out = scipy.io.loadmat(tmp_path / "out.mat", squeeze_me=True)
    for i, est in enumerate(fitted):
        alpha = est.dual_coef_[:, 0] if i == 0 else est.dual_coef_
        assert np.array_equal(alpha, out["a"][i]), i
        f = est.predict(Xt)
        assert np.array_equal(f[:, 0] if i == 0 else f, out["f"][i]), i
        assert np.array_equal(np.atleast_1d(est.objective_)[0], out["objective"][i])
        assert np.atleast_1d(est.n_kernel_evaluations_)[0] == out["evals"][i]
    assert np.array_equal(fitted[0].dual_coef_[:, 1], out["a2"])
    assert np.array_equal(fitted[0].predict(Xt)[:, 1], out["f2"])


WARNING_CODES = ["notConverged", "breakdown", "illConditioned", "toleranceUnreachable"]


def test_bitwise_corpus_replays_with_the_same_bits():
    # The corpus the module tests run through the test host (tests/modules/test_host/
    # bitwise_cases.cpp, also replayed in Octave): every tarvel and quorril case, its
    # inputs and the test host's outputs as little-endian doubles.
    from conftest import BUILD
    folder = BUILD / "bitwise"
    if not (folder / "test_host_results.bin").exists():
        pytest.skip("the bitwise corpus was not written (its ctest fixture, test_host_bitwise_cases, did not run)")
    v = np.fromfile(folder / "cases.bin", dtype="<f8")
    host = np.fromfile(folder / "test_host_results.bin", dtype="<f8")
    p, q = 1, 0

    def take(count):
        nonlocal p
        p += count
        return v[p - count:p]
    for case in range(int(v[0])):
        kind, seed, d, n, nt, ridge, tol, k, cache = take(9)
        d, n, nt = int(d), int(n), int(nt)
        if kind == 1:
            X, y, w = take(d * n).reshape(n, d), take(n), take(d + 1)
            r = _core.train(X, y, w, ridge, tol, k, cache, seed=int(seed))
            assert r["error"] is None, (case, r["error"])
            codes = [WARNING_CODES.index(c) + 1 for c, _ in r["warnings"] if c in WARNING_CODES]
            mine = np.r_[r["alpha"], r["grad"], r["evals"], r["objective"], codes[-1] if codes else 0]
        else:
            Xt, X, w, alpha = take(d * nt).reshape(nt, d), take(d * n).reshape(n, d), take(d + 1), take(n)
            r = _core.predict(Xt, X, w, alpha.reshape(n, 1))
            assert r["error"] is None, (case, r["error"])
            mine = np.ravel(r["f"])
        theirs = host[q:q + mine.size]
        q += mine.size
        assert np.array_equal(mine.view("<u8"), theirs.view("<u8")), f"case {case + 1} (kind {int(kind)})"
    assert q == host.size


def test_learned_models_travel_both_ways(octave, tmp_path):
    # Two outputs (their scales differ, so YScale is not all ones), a restart, a bound that
    # binds (the ridge's), single-precision fields in the model Octave saves: the same fit
    # in both hosts, and each host's model predicts the other's bits.
    rng = np.random.default_rng(2)
    X = rng.random((150, 3))
    y = np.sin(6 * X[:, 0]) + 0.1 * X[:, 1] + 0.05 * rng.standard_normal(150)
    Y = np.c_[y, 30 * y - 5 * X[:, 2]]
    Xt = rng.random((40, 3))
    est = ARDGaussianProcess(restarts=1, random_state=9, ridge_bounds=[0.2, 1])
    with pytest.warns(krrard.ParameterAtBoundWarning) as seen:
        est.fit(X, Y)
    est.save_model(tmp_path / "python_model.mat")
    p, sd = est.predict(Xt, return_std=True)
    bounds = est.predict_interval(Xt, level=0.9, prediction="curve")
    scipy.io.savemat(tmp_path / "in.mat", {"X": X, "Y": Y, "Xt": Xt})
    octave("""load in.mat
load python_model.mat
[p, sd] = krrpredict (model, Xt, 'Verbose', false);
[~, ~, bounds] = krrpredict (model, Xt, 'Alpha', 0.1, 'Prediction', 'curve', 'Verbose', false);
lastwarn ('');
fitted = krrfit (X, Y, 'Restarts', 1, 'Seed', 9, 'RidgeBounds', [0.2 1], 'Verbose', false);
bound_warning = lastwarn ();
[op, osd] = krrpredict (fitted, Xt, 'Verbose', false);
model = fitted;
save ('-v7', 'octave_model.mat', 'model');
model.X = single (model.X);  model.Alpha = single (model.Alpha);
save ('-v7', 'octave_single.mat', 'model');
sp = krrpredict (model, Xt);
try
  krrfit (X, Y, 'MaxIterations', 1.5);
catch err
  refusal = err.message;
end
save ('-v7', 'out.mat', 'p', 'sd', 'bounds', 'op', 'osd', 'sp', 'bound_warning', 'refusal');
""", tmp_path)
    out = scipy.io.loadmat(tmp_path / "out.mat", squeeze_me=True)
    # Octave's krrpredict on the Python model.
    assert np.array_equal(p, out["p"]) and np.array_equal(sd, out["sd"])
    assert np.array_equal(bounds, out["bounds"])
    # The Octave model in Python: the same fit, the same predictions.
    loaded = ARDGaussianProcess.load_model(tmp_path / "octave_model.mat")
    for name in ("Alpha", "X", "Weights", "Mu", "Sigma", "YMean", "YScale", "LengthScales",
                 "Amplitude", "Ridge", "LogMarginalLikelihood"):
        assert np.array_equal(loaded.model_[name], est.model_[name]), name
    assert loaded.method_ == est.method_
    assert set(loaded.model_) == set(krrard.MODEL_FIELDS)
    op, osd = loaded.predict(Xt, return_std=True)
    assert np.array_equal(op, out["op"]) and np.array_equal(osd, out["osd"])
    single = ARDGaussianProcess.load_model(tmp_path / "octave_single.mat")
    assert np.array_equal(single.predict(Xt), out["sp"])
    # The command line's predict on the Python model (scipy's MAT-file layout): the same bits.
    program = krrard_program()
    if program:
        np.savetxt(tmp_path / "xt.csv", Xt, delimiter=",", fmt="%.17g")
        done = subprocess.run([program, "predict", str(tmp_path / "python_model.mat"), str(tmp_path / "xt.csv"),
                               "-o", str(tmp_path / "p.csv"), "--deviations", str(tmp_path / "sd.csv"), "-q"],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert np.array_equal(np.loadtxt(tmp_path / "p.csv", delimiter=",", ndmin=2), p)
        assert np.array_equal(np.loadtxt(tmp_path / "sd.csv", delimiter=",", ndmin=2), sd)
    # The same words.
    assert str(seen[0].message) == out["bound_warning"]
    with pytest.raises(ValueError) as refused:
        ARDGaussianProcess(max_iterations=1.5).fit(X, Y)
    assert str(refused.value) == out["refusal"]
