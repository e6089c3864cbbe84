#!/usr/bin/env python3
"""The diabetes example of diabetes_example.m in Python, with the krrard package: the same
split, grid search, fits and table (no figure).

    python3 examples/diabetes_example.py

The 442 patients of examples/data/diabetes.csv are split by the fixed permutation of the
Octave example (patient p, 1-based, goes to position mod(101 (p - 1), 442) + 1; the first
88 positions are the test split). ARDKernelRidge (tarvel and quorril) is chosen by 5-fold
cross-validation over the same grid on standardised features and targets and compared with
the direct solve (K + ridge I) \\ y, with ARDGaussianProcess (krrfit and krrpredict)
learning the kernel from the features and progression in their own units, and with the
training mean.
"""

import os
import sys

import numpy as np

from krrard import ARDGaussianProcess, ARDKernelRidge


def ard_kernel(A, B, w):
    """The kernel between the rows of A and of B, built in full for the direct solve."""
    D = np.zeros((A.shape[0], B.shape[0]))
    for l in range(A.shape[1]):
        D += w[l] * (A[:, l, None] - B[None, :, l]) ** 2
    return w[-1] * np.exp(-D)


def report(name, f, truth):
    rmse = np.sqrt(np.mean((f - truth) ** 2))
    r2 = 1 - np.sum((f - truth) ** 2) / np.sum((truth - truth.mean()) ** 2)
    print(f"{name:<28s} {rmse:10.4f} {r2:8.4f}")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    data = np.loadtxt(os.path.join(here, "data", "diabetes.csv"), delimiter=",", skiprows=1)
    features, progression = data[:, :10], data[:, 10]
    total = data.shape[0]
    position = (101 * np.arange(total)) % total
    order = np.empty(total, dtype=int)
    order[position] = np.arange(total)  # order[q] is the patient at position q
    n_test = 88
    test, train = order[:n_test], order[n_test:]

    mu = features[train].mean(axis=0)
    sigma = features[train].std(axis=0, ddof=1)
    X = (features[train] - mu) / sigma
    Xt = (features[test] - mu) / sigma
    y_mu, y_sigma = progression[train].mean(), progression[train].std(ddof=1)
    y = (progression[train] - y_mu) / y_sigma
    y_test = progression[test]
    n, d = X.shape

    # Small grid search scored by 5-fold cross-validation on the training split.
    folds = np.arange(n) % 5
    best = None
    for length in (2, 4, 8, 16):
        for amplitude in (0.5, 1):
            for ridge in (0.1, 0.3, 1):
                err = 0.0
                for f in range(5):
                    fit = folds != f
                    est = ARDKernelRidge(length_scales=length, amplitude=amplitude, ridge=ridge,
                                         tol=1e-6, block_size=32).fit(X[fit], y[fit])
                    err += np.sum((est.predict(X[~fit]) - y[~fit]) ** 2)
                if best is None or err < best[0]:
                    best = (err, length, amplitude, ridge)
    _, length, amplitude, ridge = best
    print(f"Chosen by 5-fold CV: length scale {length:g}, amplitude {amplitude:g}, ridge {ridge:g}\n")

    model = ARDKernelRidge(length_scales=length, amplitude=amplitude, ridge=ridge, tol=1e-8,
                           block_size=32, cache_bytes=8.0 * n * n, verbose=True).fit(X, y)
    f_model = y_mu + y_sigma * model.predict(Xt)
    grad = ard_kernel(X, X, model.weights_) @ model.dual_coef_ + ridge * model.dual_coef_ - y

    w = model.weights_
    alpha_direct = np.linalg.solve(ard_kernel(X, X, w) + ridge * np.eye(n), y)
    f_direct = y_mu + y_sigma * ard_kernel(Xt, X, w) @ alpha_direct
    f_mean = np.full(n_test, y_mu)

    # The kernel learned from the data, features and progression in their own units.
    learned = ARDGaussianProcess().fit(features[train], progression[train])
    f_learned, sd_learned = learned.predict(features[test], return_std=True)
    interval = learned.predict_interval(features[test], level=0.95)

    print(f"\nTest split: {n_test} patients (trained on {n}); max |grad| = {np.abs(grad).max():.2e}")
    print(f"{'model':<28s} {'RMSE':>10s} {'R^2':>8s}")
    report("tarvel + quorril", f_model, y_test)
    report("direct (K + ridge*I) \\ y", f_direct, y_test)
    report("learned kernel (krrfit)", f_learned, y_test)
    report("training mean", f_mean, y_test)
    print(f"max |tarvel - direct| prediction difference: {np.abs(f_model - f_direct).max():.3e}")
    names = "age sex bmi bp s1 s2 s3 s4 s5 s6".split()
    print(f"\nLearned in {learned.model_['Seconds']:.1f} s: ridge {learned.ridge_:.4g}, "
          f"amplitude {learned.amplitude_:.4g}; length scales (standard deviations):")
    print("".join(f"  {name} {scale:.3g}" for name, scale in zip(names, learned.length_scales_ / sigma)))
    print("(a long length scale means the feature hardly matters)")
    inside = (y_test >= interval[:, 0]) & (y_test <= interval[:, 1])
    print(f"95% intervals of the learned model: {inside.sum()} of {n_test} test patients inside "
          f"({100 * inside.mean():.0f}%), mean half-width {np.mean(1.959963984540054 * sd_learned):.1f}")


if __name__ == "__main__":
    sys.exit(main())
