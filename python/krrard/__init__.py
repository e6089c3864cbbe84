"""krrard: exact kernel ridge regression and Gaussian processes with the ARD Gaussian
kernel, the engine of the Octave package of the same name, with scikit-learn's conventions.

    ARDKernelRidge       fixed hyperparameters: the exact solve and predictions (the Octave
                         functions tarvel and quorril, bit for bit)
    ARDGaussianProcess   hyperparameters learned by maximising the log marginal likelihood,
                         predictions with standard deviations and intervals (krrfit and
                         krrpredict, bit for bit); models saved to and loaded from MAT files
                         that Octave reads and writes (save_model, load_model)

Threads follow KRR_NUM_THREADS (or the estimators' n_threads), memory KRR_MEMORY_LIMIT, as
in Octave. Progress lines go to the logger "krrard"; warnings are the classes below.
"""

from ._estimators import ARDGaussianProcess, ARDKernelRidge
from ._host import (ConvergenceWarning, KrrardWarning, NumericalWarning,
                    ParameterAtBoundWarning, SettingWarning)
from ._model_io import MODEL_FIELDS, load_model, save_model

__all__ = ["ARDKernelRidge", "ARDGaussianProcess", "ConvergenceWarning", "KrrardWarning",
           "NumericalWarning", "ParameterAtBoundWarning", "SettingWarning", "MODEL_FIELDS",
           "load_model", "save_model"]
