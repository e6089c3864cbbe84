function model = krrfit(X, Y, varargin)
% KRRFIT  Fit exact kernel ridge regression, learning the ARD Gaussian kernel (or a Matern
%   kernel) from the data.
%
%   model = krrfit (X, Y)
%   model = krrfit (X, Y, Name, Value, ...)
%
%   X is n x d, one observation per row; Y is n x c, one column per output (the outputs
%   share one kernel, each scaled by YScale below). Both real and finite, of any numeric
%   class (sparse ones are made full). The kernel between observations a and b is
%     Amplitude * exp (-sum_l (a(l) - b(l))^2 / (2 * LengthScales(l)^2))
%   (the squared exponential, by default), or with 'Kernel' a Matern kernel of the same
%   length scales, r = sqrt (sum_l (a(l) - b(l))^2 / LengthScales(l)^2):
%     'matern12'  Amplitude * exp (-r)
%     'matern32'  Amplitude * (1 + sqrt(3) r) * exp (-sqrt(3) r)
%     'matern52'  Amplitude * (1 + sqrt(5) r + 5 r^2 / 3) * exp (-sqrt(5) r)
%   and the model is that of a Gaussian process with this kernel and noise variance Ridge:
%   the hyperparameters (a length scale per feature, the amplitude and the ridge) maximise
%   the log marginal likelihood of the data, and the fit is the exact solution alpha of
%   (K + Ridge * I) * alpha = Y. By default the features are standardised and the targets
%   centred; krrpredict undoes both. The kernel depends only on differences of
%   observations, and every stage computes it so (translating the features where that
%   keeps the sums exact): data far from the origin fit as well as centred data.
%
%   How the log marginal likelihood is maximised (limited-memory BFGS over the logarithms
%   of the hyperparameters, with analytic gradients, within bounds):
%     n <= DenseLimit   exactly, by a dense Cholesky factorisation at every step;
%     larger n          first exactly on a random subset of SubsetSize observations, then
%                       on ScalableSubsetSize of them (all, where n is no larger; else a
%                       random superset of the subset) without forming K: exact solves of
%                       (K + Ridge*I) [alpha, U] = [Y, Z] by block coordinate descent for
%                       the targets and Probes fixed Rademacher probes Z, and Hutchinson
%                       estimates of the gradient's trace terms from the solved probes; the
%                       line searches of this stage follow the slope alone. Each slope
%                       comes with its standard error (from the spread of the probes'
%                       own estimates); the stage follows each slope less 1.5 times its
%                       error, so that a parameter whose slope is within its noise does
%                       not move, and stops, settled, once every slope is within twice
%                       its error, or after ScalableIterations; Method says which.
%                       The reported objective is estimated, its log determinant by
%                       stochastic Lanczos quadrature with the same probes,
%                       preconditioned with a low-rank factor of K (LogDetRank). The
%                       stage's end is kept only where its objective is at least as
%                       high as at its start (the subset's optimum), both computed
%                       exactly: on all observations up to ExactCheckLimit of them (and
%                       the exact one is reported); beyond, on ExactCheckLimit
%                       observations held out from the stage's (from the subset's where
%                       fewer are left; as many as memory allows), and the objective
%                       reported is estimated on all n at the point kept (see
%                       FinalObjective). With ExactCheckLimit 0, both are estimated with
%                       the same probes and the end must win by twice the error of their
%                       difference. Otherwise the start is kept; Method says which, and
%                       names any parameter that ran to a bound in the stage. The final
%                       solve takes all n observations. Where n <= PolishLimit, exact
%                       dense iterations on all observations replace this stage.
%   A dense stage holds up to five n x n doubles (40 n^2 bytes, n the observations it
%   fits); where the process may not have that much memory (what the system reports, and
%   no more than the environment variable KRR_MEMORY_LIMIT, in bytes, where that is set),
%   krrfit refuses before any work with krrfit:outOfMemory and the bytes it needs.
%
%   Determinism: the subset, restarts and probes come from Seed alone (the host's rand and
%   randn are neither used nor disturbed), and every sum (factorisations too) runs in one
%   fixed order: the same model bit for bit whatever KRR_NUM_THREADS and BLAS.

%   Options (name-value pairs; names in any case; numbers of any numeric class; with several
%   outputs, Amplitude, Ridge, their bounds and "the variance of Y" refer to Y ./ YScale)
%     'LengthScales'       starting length scales, 1 x d or scalar, in the units of X
%                          (default sqrt(d) standardised units)
%     'Amplitude'          starting amplitude (default: the variance of the centred Y)
%     'Ridge'              starting noise variance (default: a tenth of that variance)
%     'Fixed'              parameters kept at their starting values: a cell array of
%                          'LengthScales', 'Amplitude', 'Ridge', or a logical vector of
%                          d + 2 entries (length scales, amplitude, ridge) (default none)
%     'LengthScaleBounds'  [low high] in the units of X (default sqrt(d) times 1e-3
%                          and 1e3 standardised units)
%     'AmplitudeBounds'    [low high] (default 1e-4 and 1e4 times the variance of Y)
%     'RidgeBounds'        [low high] (default 1e-6 and 10 times the variance of Y)
%     'MaxIterations'      iterations of each exact stage, 0 (start kept) to 1e6 (default 100)
%     'ScalableIterations' most iterations over all observations for large n, 0 to 1e6;
%                          fewer where the stage settles first (10)
%     'Restarts'           extra starts from random perturbations, 0 to 1000, the best kept (0)
%     'Seed'               seed of the subset, the restarts and the probes, a whole number
%                          from 0 to 2^32 - 1 (default 0)
%     'Verbose'            one line per iteration: objective, gradient, time (true)
%     'Method'             'auto', 'dense' (exact at any n) or 'scalable' (default 'auto')
%     'DenseLimit'         largest n fitted densely under 'auto' (default 3000)
%     'SubsetSize'         observations of the exact first stage for large n, at least 2
%                          (default 2000)
%     'PolishLimit'        largest n fitted exactly after the subset stage (default 6000)
%     'ExactCheckLimit'    largest n whose scalable stage is checked by the exact objective
%                          on all observations; beyond, the held-out observations that check
%                          it (0: paired estimates check it) (default 10000)
%     'ScalableSubsetSize' most observations the scalable stage fits, never fewer than
%                          SubsetSize (default 10000; the README says why)
%     'FinalObjective'     where the stage was checked on held-out observations, estimate
%                          the objective on all n at the end (10 to 20 passes over K): true,
%                          false, or 'auto': where K fits in the memory the solves may cache
%                          (CacheBytes and what krrfit:outOfMemory counts) (default 'auto');
%                          where not, LogMarginalLikelihood is NaN
%     'Probes'             probe vectors of the scalable stage, 1 to 4096 (default 8)
%     'PreconditionRank'   0: the scalable stage's solves by block coordinate descent; above:
%                          by conjugate gradients preconditioned with a pivoted partial
%                          Cholesky factor of K of at most this rank, rebuilt at each
%                          evaluation (pays where K's spectrum falls fast: README) (default 0)
%     'LogDetRank'         rank of a pivoted partial Cholesky factor of K preconditioning
%                          the Lanczos quadrature of the estimated log determinant (0: none):
%                          far fewer passes over K, far smaller errors (default 1000)
%     'Standardize'        standardise the features (default true)
%     'CenterTargets'      centre the targets (default true)
%     'Tolerance'          relative tolerance of the final solve, in (0, 1) (default 1e-8, or
%                          the residual's rounding floor where that is higher: Method says so)
%     'BlockSize'          block size of the solves, at least 1, capped to n (default 256
%                          where several columns are solved together, 64 for one)
%     'CacheBytes'         kernel column cache of the solves (default Inf: as much as fits
%                          in 60% of the memory available at the start, or in
%                          all of KRR_MEMORY_LIMIT where that is set)
%     'Kernel'             'squaredexponential' (also 'gaussian', 'se', 'rbf'), 'matern12'
%                          (also 'exponential'), 'matern32', 'matern52', or 'auto': every
%                          kernel fitted on the first exact stage (all observations where
%                          n <= DenseLimit, else the subset), the one of the highest exact
%                          log marginal likelihood there kept for the rest of the fit; the
%                          candidates' objectives go to KernelObjectives. Names in any case
%                          (default 'squaredexponential')
%   Flags (Verbose, Standardize, CenterTargets) take true or false, 1 or 0, 'on' or 'off'.
%   Every option is checked before any work; a wrong one is refused with krrfit:invalidInput.
%
%   Warnings (identifiers)
%     krrfit:startMoved     K + Ridge*I did not factorise in double precision at a start
%                           (a ridge too small for the amplitude, duplicated observations):
%                           the ridge was raised to where its condition number is at most
%                           1e8 (the largest row sum of K over 1e8 - 1), so that the
%                           coefficients are accurate, not merely factorisable; at most to
%                           RidgeBounds(2) (the warning says when that leaves it above 1e8).
%                           A fixed Ridge is raised too, and the model reports the Ridge it
%                           used; where even RidgeBounds(2) does not factorise, the error
%                           krrfit:notPositiveDefinite. Or the LengthScales given made K
%                           diagonal (all observations over 8.57 length scales apart; no
%                           slope to leave by): free length scales start from their default.
%     krrfit:notConverged   a solve of the scalable stage, of its final estimate or of the
%                           final coefficients did not reach its tolerance (after one retry
%                           with four times the passes) or overflowed: points whose solves
%                           failed are rejected, and the stage keeps the last point whose
%                           solves converged; the warning says how often and why. Also a
%                           Tolerance given below the final residual's rounding floor (the
%                           warning names one to give). Where the final coefficients are not
%                           finite, an error with the same identifier.
%     krrfit:iterationLimit an exact stage (dense, the subset's, the polish; each start its
%                           own) used up MaxIterations (not 0) with a gradient component above
%                           1e-5: the warning and Method name each such stage and its largest
%                           component left; raise MaxIterations.
%     krrfit:atBound        a free parameter ended at (within 0.1% of) a bound: the Ridge
%                           or the Amplitude at either bound, a length scale at its lower
%                           bound; the warning names each and the bound to widen. A length
%                           scale at its upper bound is not reported: that is how the
%                           kernel ignores an irrelevant feature (see Relevance).
%
%   Errors (identifiers)
%     krrfit:nargin              fewer than 2 inputs
%     krrfit:invalidInput        X, Y or an option of the wrong class, size or value
%     krrfit:outOfMemory         a dense stage would need more memory than the process may use
%     krrfit:notPositiveDefinite no ridge within RidgeBounds makes K + Ridge*I factorise
%     krrfit:notConverged        the final solve left no finite Alpha
%     krrfit:notFiniteStart      an exact stage's objective or gradient is not finite at its
%                                start (the scalable stage's: krrfit:notConverged instead)
%
%   The model is a plain struct, which save and load keep, with the fields
%     FormatVersion 3 (4 for a Matern kernel): the layout of these fields, which krrpredict
%                   checks (versions 2 and 1, the latter without this field, have no
%                   YScale; versions before 4 may lack Kernel, and are then the Gaussian)
%     LengthScales  1 x d, in the units of X
%     Relevance     1 x d: 1 / LengthScales^2 in standardised units, the largest 1
%     Amplitude, Ridge   in the units of the centred Y (of its columns over YScale)
%     LogMarginalLikelihood   the final objective (estimated where Method says so; NaN
%                   where FinalObjective left it out)
%     LogMarginalLikelihoodError   its standard error: 0 where computed exactly, from the
%                   spread of the probes' log determinants where estimated, NaN where not
%                   computed (or estimated with one probe)
%     History       a row per iteration: [iteration, objective (NaN where not computed),
%                   largest gradient component, seconds, then the stage's running totals:
%                   evaluations of the objective, passes over K, seconds computing kernel
%                   columns, seconds in the compiled calls (the last three NaN in the exact
%                   stages), then the largest ratio of a slope to its standard error (NaN
%                   in the exact stages)]
%     Seconds       the time taken; Method: how it was fitted
%     Threads       the most threads the compiled solves of the scalable stage and the
%                   final solve used (NaN where the fit was exact throughout)
%     FinalPasses   passes over K of the final estimate and of the final solve (NaN
%                   where the fit was exact throughout)
%     Alpha         n x c coefficients; X (d x n, the standardised observations),
%                   Weights (1 x (d + 1)), Mu, Sigma (1 x d), YMean (1 x c): for krrpredict
%     YScale        1 x c: each output's deviation over their geometric mean (1 for one or
%                   a constant output), so no output's units decide the kernel: output q's
%                   variances are YScale(q)^2 times Amplitude and Ridge, its deviations too
%     Kernel        the kernel's name: 'squaredexponential', 'matern12', 'matern32' or
%                   'matern52'
%     KernelObjectives   with 'Kernel', 'auto': 1 x 4, the first exact stage's log marginal
%                   likelihood of each kernel in the order above (empty otherwise)
%
%   Example
%     X = rand (400, 3);  y = sin (6 * X(:,1)) + 0.1 * X(:,2) + 0.05 * randn (400, 1);
%     model = krrfit (X, y, 'Verbose', false);
%     model.LengthScales      % the third feature is irrelevant: its length scale is long
%     ypred = krrpredict (model, rand (5, 3));
%
%   See also krrpredict, tarvel, quorril.

if nargin < 2
  error('krrfit:nargin', 'krrfit: expected X, Y and name-value options');
end
[X, Y] = check_data(X, Y);
% Sparse values made full, and strings (the other host's) char rows or cells of them.
args = plain_options(varargin);
% The fit; its warnings and refusals come back as data, raised here under krrfit's name.
[model, warnings, failure] = krr_fit(X, Y, args{:});
for i = 1:size(warnings, 1)
  warning(['krrfit:', warnings{i, 1}], 'krrfit: %s', warnings{i, 2});
end
if ~isempty(failure)
  error(['krrfit:', failure{1}], 'krrfit: %s', failure{2});
end
end

function [X, Y] = check_data(X, Y)
% X and Y as full real double matrices, Y with a row per row of X; what they are where not.
X = numeric_matrix(X, 'X', 'n x d matrix, one observation per row');
Y = numeric_matrix(Y, 'Y', 'n x c matrix');
if isempty(X)
  error('krrfit:invalidInput', 'krrfit: X must be a real n x d matrix, one observation per row, got an empty one');
end
[n, d] = size(X);
if isvector(Y) && numel(Y) == n
  Y = Y(:);
end
if (size(Y, 1) ~= n || isempty(Y)) && ((isvector(Y) && numel(Y) == d) || (~isvector(Y) && size(Y, 1) == d))
  error('krrfit:invalidInput', 'krrfit: X has %d rows but Y has %d; if its columns are the observations, pass X''', n, d);
elseif size(Y, 1) ~= n || isempty(Y)
  error('krrfit:invalidInput', 'krrfit: Y must be a real n x c matrix with one row per row of X (n = %d), got %s', n, mat2str(size(Y)));
end
end

function V = numeric_matrix(V, name, shape)
if ~(isnumeric(V) && isreal(V) && ismatrix(V))
  what = class(V);
  if isnumeric(V) && ~isreal(V)
    what = ['complex ', what];
  elseif ~ismatrix(V)
    what = sprintf('%d-dimensional %s', ndims(V), what);
  end
  error('krrfit:invalidInput', 'krrfit: %s must be a real %s, got a %s array', name, shape, what);
end
V = full(double(V));
end

%!test
%! ## The example above: the irrelevant third feature gets the longest length scale.
%! rand ("seed", 1);  randn ("seed", 1);
%! X = rand (400, 3);  y = sin (6 * X(:,1)) + 0.1 * X(:,2) + 0.05 * randn (400, 1);
%! model = krrfit (X, y, 'Verbose', false);
%! assert (model.LengthScales(3) > max (model.LengthScales(1:2)));
%! assert (size (krrpredict (model, rand (5, 3))), [5 1]);
%!error <krrfit: MaxIterations must be a whole number> krrfit (rand (5, 1), rand (5, 1), "MaxIterations", 1.5)
%!error <krrfit: Kernel must be 'squaredexponential' \('gaussian', 'se', 'rbf'\), 'matern12' \('exponential'\), 'matern32', 'matern52' or 'auto', got 'matern'> krrfit (rand (5, 1), rand (5, 1), "Kernel", "matern")
%!test
%! ## A Matern model names its kernel and predicts with it; 'auto' keeps the kernel of the
%! ## highest objective, the model of that kernel's own fit.
%! rand ("seed", 2);
%! X = rand (60, 2);  y = abs (X(:,1) - 0.4) + (X(:,2) > 0.5);
%! m52 = krrfit (X, y, "Kernel", "Matern52", "Verbose", false);
%! assert (m52.Kernel, "matern52");
%! assert (m52.FormatVersion, 4);
%! assert (isempty (m52.KernelObjectives));
%! se = krrfit (X, y, "Verbose", false);
%! assert (se.Kernel, "squaredexponential");
%! assert (se.FormatVersion, 3);
%! chosen = krrfit (X, y, "Kernel", "auto", "Verbose", false);
%! names = {"squaredexponential", "matern12", "matern32", "matern52"};
%! [~, best] = max (chosen.KernelObjectives);
%! assert (chosen.Kernel, names{best});
%! own = krrfit (X, y, "Kernel", names{best}, "Verbose", false);
%! assert (chosen.Alpha, own.Alpha);
%! assert (chosen.KernelObjectives(best), own.LogMarginalLikelihood);
