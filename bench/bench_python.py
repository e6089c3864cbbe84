#!/usr/bin/env python3
"""The Python package against scikit-learn and against the Octave modules, on the diamonds
split of diamonds_data.m (the test rows order < 10000, the training rows the next n;
features the nine columns before price, target log(price) standardised by the training rows).

    bench_python.py [--data CSV] [--build BUILD] [--octave OCTAVE_CLI] [--large]

  gp        ARDGaussianProcess (krrfit's defaults) against GaussianProcessRegressor with the
            same kernel, ConstantKernel * RBF(one length scale per feature) + WhiteKernel, and
            its default optimiser, at n = 2,000: the objective each reached (and sklearn's
            objective at our hyperparameters, which checks that both compute the same
            function), the fit times and their ratio, the test RMSE; with --large also ours
            at n = 20,000 (sklearn's n x n x (d + 2) gradient does not fit there).
  krr       ARDKernelRidge against KernelRidge with the same fixed kernel (the hyperparameters
            learned at 2,000) at n = 16,000: fit plus predictions of the test rows, times and
            ratio, and the largest difference of the predictions.
  overhead  ARDKernelRidge.fit and .predict against tarvel and quorril called in octave-cli
            on the same inputs and draws (c_srand, random_state) at n = 16,000: each call
            timed inside its own process, rounds alternating between the hosts, the median of
            three after one untimed round.

Prints Markdown tables. Every route runs in this process's affinity: run it under
`taskset -c 1` for one pinned processor.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.io

ROOT = pathlib.Path(__file__).resolve().parents[1]


def diamonds(path, n):
    D = np.loadtxt(path, delimiter=",", skiprows=1)
    order = D[:, 10]
    X, y = D[:, :9], np.log(D[:, 9])
    test = order < 10000
    train = (order >= 10000) & (order < 10000 + n)
    m, s = y[train].mean(), y[train].std(ddof=1)
    return X[train], (y[train] - m) / s, X[test], (y[test] - m) / s


def rmse(f, y):
    return float(np.sqrt(np.mean((f - y) ** 2)))


def bench_gp(args):
    from sklearn.gaussian_process import GaussianProcessRegressor
    from sklearn.gaussian_process.kernels import RBF, ConstantKernel, WhiteKernel
    from krrard import ARDGaussianProcess

    rows = []
    Xtr, ytr, Xte, yte = diamonds(args.data, 2000)
    t = time.perf_counter()
    ours = ARDGaussianProcess().fit(Xtr, ytr)
    ours_s = time.perf_counter() - t
    mu, sigma = ours.model_["Mu"].ravel(), ours.model_["Sigma"].ravel()
    Z, Zte = (Xtr - mu) / sigma, (Xte - mu) / sigma  # the features as krrfit standardises them
    kernel = ConstantKernel(1.0) * RBF(np.ones(Z.shape[1])) + WhiteKernel(0.1)
    t = time.perf_counter()
    gpr = GaussianProcessRegressor(kernel=kernel, random_state=0).fit(Z, ytr)
    theirs_s = time.perf_counter() - t
    theta = np.log(np.r_[ours.amplitude_, ours.length_scales_ / sigma, ours.ridge_])
    at_ours = gpr.log_marginal_likelihood(theta)
    rows.append(("2,000", f"{ours.log_marginal_likelihood_:.3f}", f"{at_ours:.3f}",
                 f"{gpr.log_marginal_likelihood_value_:.3f}", f"{ours_s:.1f}", f"{theirs_s:.1f}",
                 f"{theirs_s / ours_s:.1f}", f"{rmse(ours.predict(Xte), yte):.4f}",
                 f"{rmse(gpr.predict(Zte), yte):.4f}"))
    if args.large:
        Xtr, ytr, Xte, yte = diamonds(args.data, 20000)
        t = time.perf_counter()
        big = ARDGaussianProcess().fit(Xtr, ytr)
        big_s = time.perf_counter() - t
        rows.append(("20,000", f"{big.log_marginal_likelihood_:.2f} ± "
                     f"{big.log_marginal_likelihood_error_:.2f}", "", "(does not fit)",
                     f"{big_s:.1f}", "", "", f"{rmse(big.predict(Xte), yte):.4f}", ""))
    print("| n | our objective | sklearn's at ours | sklearn's | our fit (s) | sklearn fit (s) "
          "| ratio | our test RMSE | sklearn test RMSE |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    return ours


def bench_krr(args, learned):
    from sklearn.kernel_ridge import KernelRidge
    from krrard import ARDKernelRidge

    Xtr, ytr, Xte, yte = diamonds(args.data, 16000)
    scales, amp, ridge = learned.length_scales_, learned.amplitude_, learned.ridge_
    t = time.perf_counter()
    ours = ARDKernelRidge(length_scales=scales, amplitude=amp, ridge=ridge, tol=1e-6,
                          random_state=1).fit(Xtr, ytr)
    f_ours = ours.predict(Xte)
    ours_s = time.perf_counter() - t
    # The same kernel: amp * exp(-|a - b|^2 / 2) on the features over their length scales,
    # with (amp K0 + ridge I) alpha = y solved as (K0 + ridge / amp I) (amp alpha) = y.
    t = time.perf_counter()
    theirs = KernelRidge(alpha=ridge / amp, kernel="rbf", gamma=0.5).fit(Xtr / scales, ytr)
    f_theirs = theirs.predict(Xte / scales)
    theirs_s = time.perf_counter() - t
    print("| n | ARDKernelRidge fit + predict (s) | KernelRidge fit + predict (s) | ratio | "
          "largest difference of predictions | test RMSE |")
    print("|---|---|---|---|---|---|")
    print(f"| 16,000 | {ours_s:.1f} | {theirs_s:.1f} | {theirs_s / ours_s:.1f} | "
          f"{np.abs(f_ours - f_theirs).max():.2e} | {rmse(f_ours, yte):.4f} |")


OCTAVE_TIMING = """
load in.mat
for round = 1:2
  c_srand (1);
  t = tic;  evalc ('[alpha, ~, core] = tarvel (X, y, w, ridge, 1e-6, 64, Inf);');  train = toc (t);
  t = tic;  f = quorril (Xt, X, w, alpha);  predict = toc (t);
end
save ('-v7', 'out.mat', 'train', 'core', 'predict', 'alpha', 'f');
"""


def bench_overhead(args, learned):
    """Rounds alternate between the two hosts, and which goes first, so that both meet the
    same load on a shared machine; the first round of each is not counted. In each round
    both hosts make an untimed call before the timed one (Octave's in the same process)."""
    from krrard import ARDKernelRidge

    Xtr, ytr, Xte, _ = diamonds(args.data, 16000)
    est = ARDKernelRidge(length_scales=learned.length_scales_, amplitude=learned.amplitude_,
                         ridge=learned.ridge_, tol=1e-6, block_size=64, random_state=1)
    times = {"py_train": [], "py_predict": [], "oc_train": [], "oc_predict": [],
             "py_core": [], "oc_core": []}
    build = pathlib.Path(args.build).resolve()  # Octave changes folder before it loads
    with tempfile.TemporaryDirectory() as folder:
        def python_round():
            est.fit(Xtr, ytr)  # untimed, as Octave's first call: both timed calls then reuse
            est.predict(Xte)   # memory freed moments before, which costs far less than fresh
            t = time.perf_counter()
            est.fit(Xtr, ytr)
            times["py_train"].append(time.perf_counter() - t)
            times["py_core"].append(est.fit_seconds_)
            t = time.perf_counter()
            results["f"] = est.predict(Xte)
            times["py_predict"].append(time.perf_counter() - t)
            if not os.path.exists(os.path.join(folder, "in.mat")):  # tarvel's w: the fit's
                scipy.io.savemat(os.path.join(folder, "in.mat"), {
                    "X": Xtr.T, "y": ytr, "Xt": Xte.T, "w": est.weights_, "ridge": learned.ridge_})
                with open(os.path.join(folder, "timing.m"), "w") as f_m:
                    f_m.write(OCTAVE_TIMING)

        def octave_round():
            subprocess.run([args.octave, "-q", "-H", "--norc", "--eval",
                            f"addpath('{build}', '{build / 'test_helpers'}'); cd('{folder}'); timing"],
                           check=True)
            out = scipy.io.loadmat(os.path.join(folder, "out.mat"), squeeze_me=True)
            times["oc_train"].append(float(out["train"]))
            times["oc_core"].append(float(out["core"]))
            times["oc_predict"].append(float(out["predict"]))
            results["same"] = results["same"] and np.array_equal(out["alpha"], est.dual_coef_) \
                and np.array_equal(out["f"], results["f"])

        # Python first in even rounds, Octave first in odd ones (Python's input file first).
        results = {"same": True}
        for round in range(args.rounds + 1):
            for run in ((python_round, octave_round) if round % 2 == 0 else (octave_round, python_round)):
                run()
    same = results["same"]
    print(f"| n = 16,000 | Python (s), median of {args.rounds} | Octave (s), median of "
          f"{args.rounds} | Python / Octave | each round's ratio |")
    print("|---|---|---|---|---|")
    for name, key in (("fit / tarvel", "train"), ("predict / quorril", "predict")):
        py, oc = times["py_" + key][1:], times["oc_" + key][1:]
        p, o = statistics.median(py), statistics.median(oc)
        each = ", ".join(f"{a / b:.3f}" for a, b in zip(py, oc))
        print(f"| {name} | {p:.3f} | {o:.3f} | {p / o:.3f} | {each} |")
    # The time each host spends outside the solve (converting, checking, creating outputs):
    # the call's time less the solve's own, which the machine's load moves far less.
    outside = lambda key: statistics.median(
        [a - b for a, b in zip(times[key + "_train"][1:], times[key + "_core"][1:])])
    print(f"\nOutside the solve (the call's time less the solve's own seconds), median: "
          f"Python {outside('py'):.4f} s, Octave {outside('oc'):.4f} s")
    print(f"Same bits (alpha and predictions, every round): {same}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", default=str(ROOT.parent / "shared" / "data" / "diamonds.csv"))
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--octave", default="octave-cli")
    parser.add_argument("--large", action="store_true", help="also ours at n = 20,000")
    parser.add_argument("--rounds", type=int, default=3, help="timed rounds of the overhead")
    parser.add_argument("--only", choices=("gp", "krr", "overhead"), action="append")
    args = parser.parse_args()
    sys.path.insert(0, str(pathlib.Path(args.build) / "python"))
    only = args.only or ("gp", "krr", "overhead")
    print(f"affinity: {sorted(os.sched_getaffinity(0))}\n")
    learned = bench_gp(args) if "gp" in only else None
    if learned is None:
        from krrard import ARDGaussianProcess
        learned = ARDGaussianProcess().fit(*diamonds(args.data, 2000)[:2])
    if "krr" in only:
        print()
        bench_krr(args, learned)
    if "overhead" in only:
        print()
        bench_overhead(args, learned)


if __name__ == "__main__":
    main()
