"""scikit-learn's own estimator checks on both estimators."""

from sklearn.utils.estimator_checks import parametrize_with_checks

from krrard import ARDGaussianProcess, ARDKernelRidge


@parametrize_with_checks([ARDKernelRidge(), ARDGaussianProcess()])
def test_sklearn_compatible(estimator, check):
    check(estimator)
