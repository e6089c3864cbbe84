#!/usr/bin/env python3
"""The latent predictive standard deviations of scikit-learn's GaussianProcessRegressor.

Usage: sklearn_gp_std.py FOLDER AMPLITUDE RIDGE LENGTH_SCALE...
FOLDER holds train.csv (n x d standardised features), y.csv (n targets) and test.csv
(m x d). The kernel is AMPLITUDE * RBF(length scales), the noise variance RIDGE added to the
training diagonal (alpha), hyperparameters fixed (no optimiser), no target normalisation:
the same Gaussian process as krrpredict's. Prints one deviation per test row.
"""
import sys

import numpy as np
from sklearn.gaussian_process import GaussianProcessRegressor
from sklearn.gaussian_process.kernels import RBF, ConstantKernel

folder, amplitude, ridge = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
lengths = [float(v) for v in sys.argv[4:]]
X = np.loadtxt(f"{folder}/train.csv", delimiter=",")
y = np.loadtxt(f"{folder}/y.csv", delimiter=",")
T = np.loadtxt(f"{folder}/test.csv", delimiter=",")
kernel = ConstantKernel(amplitude, "fixed") * RBF(lengths, "fixed")
gp = GaussianProcessRegressor(kernel, alpha=ridge, optimizer=None, normalize_y=False)
gp.fit(X, y)
_, std = gp.predict(T, return_std=True)
print("\n".join(f"{v:.17g}" for v in std))
