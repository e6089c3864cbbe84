"""The approximate peer on the diamonds split: a Nystroem feature map of the isotropic
Gaussian kernel and linear ridge, with the hyperparameters of the grid-searched exact fit.
Usage: nystroem_diamonds.py FILE N W AMPLITUDE RIDGE CENTRES; prints test RMSE and seconds."""
import sys
import time

import numpy as np
from sklearn.kernel_approximation import Nystroem
from sklearn.linear_model import Ridge

path, n, w, amplitude, ridge, centres = sys.argv[1], int(sys.argv[2]), *map(float, sys.argv[3:6]), int(sys.argv[6])
D = np.loadtxt(path, delimiter=",", skiprows=1)
order = D[:, 10]
X, y = D[:, :9], np.log(D[:, 9])
train = (order >= 10000) & (order < 10000 + n)
test = order < 10000
mu, sd = X[train].mean(0), X[train].std(0, ddof=1)
ym, ys = y[train].mean(), y[train].std(ddof=1)
Xtr, Xte = (X[train] - mu) / sd, (X[test] - mu) / sd
ytr, yte = (y[train] - ym) / ys, (y[test] - ym) / ys
start = time.perf_counter()
# K ~ amplitude * Phi Phi'; (K + ridge I)^-1 y through the features is ridge regression on
# sqrt(amplitude) * Phi with penalty ridge, without intercept like the exact model.
phi = Nystroem(kernel="rbf", gamma=w, n_components=min(centres, n), random_state=0)
F = np.sqrt(amplitude) * phi.fit_transform(Xtr)
model = Ridge(alpha=ridge, fit_intercept=False).fit(F, ytr)
pred = model.predict(np.sqrt(amplitude) * phi.transform(Xte))
seconds = time.perf_counter() - start
print(f"{np.sqrt(np.mean((pred - yte) ** 2)):.6f} {seconds:.3f}")
