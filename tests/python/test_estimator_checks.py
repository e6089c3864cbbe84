"""scikit-learn's own estimator checks on both estimators. None is skipped here; scikit-learn
itself skips its check of data frames (check_dataframe_column_names_consistency, once per
estimator) with the reason "pandas is not installed" where python3-pandas is missing, and
pytest's -rs (as ctest runs it) prints that."""

from sklearn.utils.estimator_checks import parametrize_with_checks

from krrard import ARDGaussianProcess, ARDKernelRidge


@parametrize_with_checks([ARDKernelRidge(), ARDGaussianProcess()])
def test_sklearn_compatible(estimator, check):
    check(estimator)
