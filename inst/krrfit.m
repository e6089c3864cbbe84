function model = krrfit(X, Y, varargin)
% KRRFIT  Fit exact kernel ridge regression, learning the ARD Gaussian kernel from the data.
%
%   model = krrfit (X, Y)
%   model = krrfit (X, Y, Name, Value, ...)
%
%   X is n x d, one observation per row; Y is n x c, one column per output (the outputs
%   share one kernel). Both real and finite, of any numeric class (sparse ones are made
%   full). The kernel between observations a and b is
%     Amplitude * exp (-sum_l (a(l) - b(l))^2 / (2 * LengthScales(l)^2))
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
%   Determinism: the subset, the restarts' perturbations and the probes come from Seed
%   alone (a generator of krrfit's own: the host's rand and randn are neither used nor
%   disturbed), and the compiled solves give the same bits on any number of threads. So
%   the same data, options and Seed give the same model bit for bit whatever
%   KRR_NUM_THREADS is, with the same host and BLAS. The dense stages use the host's
%   BLAS and LAPACK (chol, inv and matrix products), whose results can differ in the last
%   bits between BLAS thread counts, BLAS libraries and processors; the optimiser can
%   carry such a difference to visibly different hyperparameters where the likelihood is
%   flat (and the estimated stage, started from them, further still). To reproduce a model
%   bit for bit, keep the BLAS, its number of threads and the machine as well.
%
%   Options (name-value pairs; names in any case; numbers of any numeric class)
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
%     'MaxIterations'      iterations of each exact stage, 0 to 1e6 (default 100)
%     'ScalableIterations' most iterations over all observations for large n, 0 to 1e6;
%                          fewer where the stage settles first (10)
%     'Restarts'           extra starts from random perturbations, 0 to 1000; the best is
%                          kept (default 0)
%     'Seed'               seed of the subset, the restarts and the probes, a whole number
%                          from 0 to 2^32 - 1 (default 0)
%     'Verbose'            one line per iteration: objective, gradient, time (true)
%     'Method'             'auto', 'dense' (exact at any n) or 'scalable' (default 'auto')
%     'DenseLimit'         largest n fitted densely under 'auto' (default 3000)
%     'SubsetSize'         observations of the exact first stage for large n, at least 2
%                          (default 2000)
%     'PolishLimit'        largest n fitted exactly after the subset stage (default 6000)
%     'ExactCheckLimit'    largest n whose scalable stage is checked with the exact
%                          objective of all observations; beyond, the number of
%                          observations held out from the stage's that check it (0:
%                          paired estimates check it) (default 10000)
%     'ScalableSubsetSize' most observations the scalable stage fits, never fewer than
%                          SubsetSize (default 10000: its evaluations are most of the
%                          time, and the hyperparameters change little with more; see
%                          the README)
%     'FinalObjective'     where the stage was checked on held-out observations, estimate
%                          the objective on all n at the end (10 to 20 passes over K):
%                          true, false, or 'auto': where K fits in the memory the solves
%                          may cache (CacheBytes, and what krrfit:outOfMemory counts),
%                          beyond which each pass computes the kernel again (default
%                          'auto'); where not, LogMarginalLikelihood is NaN
%     'Probes'             probe vectors of the scalable stage, 1 to 4096 (default 8)
%     'PreconditionRank'   0: the scalable stage's solves by block coordinate descent;
%                          above: by conjugate gradients preconditioned with a pivoted
%                          partial Cholesky factor of K of at most this rank, rebuilt at
%                          each evaluation (fewer passes over K where the kernel's spectrum
%                          falls fast; see the README for when it pays) (default 0)
%     'LogDetRank'         rank of the pivoted partial Cholesky factor of K that
%                          preconditions the log determinant's Lanczos quadrature in the
%                          estimated objective (0: none): with it Lanczos settles in a
%                          fraction of the passes over K and the estimate's error is far
%                          smaller (default 1000)
%     'Standardize'        standardise the features (default true)
%     'CenterTargets'      centre the targets (default true)
%     'Tolerance'          relative tolerance of the final solve, in (0, 1) (default 1e-8)
%     'BlockSize'          block size of the solves, at least 1, capped to n (default 256
%                          where several columns are solved together, 64 for one)
%     'CacheBytes'         kernel column cache of the solves (default Inf: as much as fits)
%   Flags (Verbose, Standardize, CenterTargets) take true or false, 1 or 0, 'on' or 'off'.
%   Every option is checked before any work; a wrong one is refused with krrfit:invalidInput.
%
%   Warnings (identifiers)
%     krrfit:startMoved     K + Ridge*I did not factorise in double precision at a start
%                           (a ridge too small for the amplitude, duplicated observations):
%                           the ridge was raised to where the condition number of
%                           K + Ridge*I is at most 1e8 (the largest row sum of K over
%                           1e8 - 1), so that the coefficients are accurate and the same on
%                           any processor, not merely to where it factorises; at most to
%                           RidgeBounds(2), and the warning says when that leaves the bound
%                           unmet. A fixed Ridge is raised too, and the model reports the
%                           Ridge it used. Where even RidgeBounds(2) does not factorise,
%                           the error krrfit:notPositiveDefinite.
%     krrfit:notConverged   a solve of the scalable stage, of its final estimate or of the
%                           final coefficients did not reach its tolerance (after one retry
%                           with four times the passes) or overflowed: points whose solves
%                           failed are rejected, and the stage keeps the last point whose
%                           solves converged; the warning says how often and why. Where the
%                           final coefficients are not finite, an error with the same
%                           identifier.
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
%     krrfit:notFiniteStart      an exact stage's objective or gradient is not finite at
%                                its start (where the scalable stage's is not, the stage
%                                keeps the subset's optimum, with krrfit:notConverged)
%
%   The model is a plain struct, which save and load keep, with the fields
%     FormatVersion 2: the layout of these fields, which krrpredict checks (models of the
%                   earlier layout, without this field, are read as version 1)
%     LengthScales  1 x d, in the units of X
%     Relevance     1 x d: 1 / LengthScales^2 in standardised units, the largest 1
%     Amplitude, Ridge   in the units of the centred Y
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
start = tic();
[X, Y, n, d, c] = check_data(X, Y);
opts = parse_options(varargin);

% Standardised features, one sample per column as the modules take them; centred targets.
mu = zeros(1, d);
sigma = ones(1, d);
if opts.Standardize
  mu = mean(X, 1);
  sigma = std(X, 0, 1);
  sigma(sigma == 0 | ~isfinite(sigma)) = 1;
end
y_mean = zeros(1, c);
if opts.CenterTargets
  y_mean = mean(Y, 1);
end
Xs = ((X - mu) ./ sigma)';
Yc = Y - y_mean;
y_var = mean(var(Yc, 1, 1));
if ~isfinite(y_var) || y_var > 1e150 || (y_var > 0 && y_var < 1e-150)
  error('krrfit:invalidInput', ...
        'krrfit: Y must have a variance from 1e-150 to 1e150 (the kernel''s sums would overflow or underflow), got %g: rescale Y', ...
        y_var);
end
if ~(y_var > 0)
  y_var = 1;
end

[theta0, lo, hi, fixed, ridge_limit] = parameters(opts, d, sigma, y_var);
free = ~fixed;
method = opts.Method;
if strcmp(method, 'auto')
  if n <= opts.DenseLimit
    method = 'dense';
  else
    method = 'scalable';
  end
end
m = min(n, opts.SubsetSize);
dense_n = n;
if strcmp(method, 'scalable') && n > opts.PolishLimit
  dense_n = m;
end
check_memory(dense_n);
history = zeros(0, 9);
f_error = 0;
threads = NaN;
final_passes = [NaN, NaN];

if strcmp(method, 'dense')
  [theta, history] = dense_search(Xs, Yc, theta0, free, lo, hi, ridge_limit, opts, ...
                                  stage(opts, start, 'krrfit (exact)'), history);
  [f, ~, alpha] = krr_dense_lml(Xs, Yc, theta);
  how = sprintf('exact, dense, n = %d', n);
else
  % First exactly on a subset; then exactly on all observations where a dense
  % factorisation still pays, otherwise with the scalable estimates.
  subset = seeded_subset(n, m, opts.Seed);
  [theta, history] = dense_search(Xs(:, subset), Yc(subset, :), theta0, free, lo, hi, ...
                                  ridge_limit, opts, ...
                                  stage(opts, start, sprintf('krrfit (exact, %d of %d)', m, n)), ...
                                  history);
  if n <= opts.PolishLimit
    polish = stage(opts, start, sprintf('krrfit (exact, all %d)', n));
    polish.history = history;
    theta = factorising_start(Xs, Yc, theta, lo, hi, free, ridge_limit, polish.label);
    [counts, polish.profile] = dense_profile();
    fun = @(t) dense_objective(Xs, Yc, fill_in(theta, free, t), free, counts);
    [t, ~, ~, history] = krr_lbfgs(fun, theta(free), lo(free), hi(free), polish);
    theta = fill_in(theta, free, t);
    [f, ~, alpha] = krr_dense_lml(Xs, Yc, theta);
    how = sprintf('exact on %d, then exact on all %d', m, n);
  else
    % The estimated stage fits at most ScalableSubsetSize observations: a seeded superset of
    % the subset (the same draws, continued). Its evaluations are most of the fit's time,
    % and more rows move its optimum little once there are this many; the final solve
    % and estimate take all n.
    [stage_set, fitted] = stage_observations(n, m, opts);
    scalable = stage(opts, start, sprintf('krrfit (%s)', fitted));
    scalable.max_iterations = opts.ScalableIterations;
    scalable.slopes = true;
    scalable.errors = true;
    scalable.history = history;
    % The slopes need the solves only roughly: their error is far below that of the probe
    % estimates (README), and a loose tolerance halves the passes over K.
    % At most 50 passes per evaluation (a usual one takes 5 to 10), and once 200 more
    % where those do not reach the tolerance, so that the stage's time stays bounded.
    settings = [opts.Probes, opts.Seed, 1e-2, ...
                block_size(opts, numel(stage_set), opts.Probes + c), ...
                opts.CacheBytes, 0, 60, 1e-6, 50, opts.PreconditionRank, 0];
    % The state of this stage alone: each evaluation warm-starts from the last accepted
    % one's solutions. It lives in this handle object, which dies with the call, so that
    % nothing of size n outlives krrfit and every call takes the same path.
    state = containers.Map();
    state('warm') = [];
    state('failures') = zeros(1, 0);
    state('evaluations') = 0;
    state('threads') = NaN;
    state('passes') = 0;
    state('column_seconds') = 0;
    state('module_seconds') = 0;
    scalable.profile = @() [state('evaluations'), state('passes'), state('column_seconds'), ...
                            state('module_seconds')];
    Xr = Xs(:, stage_set);
    Yr = Yc(stage_set, :);
    fun = @(t) scalable_step(state, Xr, Yr, fill_in(theta, free, t), free, settings);
    theta_start = theta;
    settled = false;
    try
      [t, ~, ~, history, settled] = krr_lbfgs(fun, theta(free), lo(free), hi(free), scalable);
      theta = fill_in(theta, free, t);
    catch err
      if ~strcmp(err.identifier, 'krrfit:notFiniteStart')
        rethrow(err);
      end
      % The solves failed at the subset's optimum itself: the stage keeps that point.
    end
    failures = state('failures');
    if ~isempty(failures)
      warning('krrfit:notConverged', ...
              'krrfit: the scalable stage''s solves failed at %d of its %d evaluations (%s); those points were rejected, and the stage kept the last point whose solves converged', ...
              numel(failures), state('evaluations'), describe_statuses(failures));
    end
    threads = state('threads');
    % The stage's last solutions start the estimate on all n only where they are of all n.
    warm = [];
    if numel(stage_set) == n
      warm = state('warm');
    end
    [theta, f, f_error, V, verdict, check_threads, estimate_passes, later] = ...
        check_stage(Xs, Yc, theta_start, theta, lo, hi, free, subset, stage_set, opts, start, ...
                    warm);
    [alpha, final_threads, solve_passes] = final_solve(Xs, Yc, theta, V, opts, start);
    threads = max([threads, check_threads, final_threads]);
    if later
      % The objective on all n at the final coefficients: their data fit, and the log
      % determinant estimated (the probes need no solves for it).
      [f, ~, q, estimate_passes, estimate_threads] = final_estimate(Xs, Yc, theta, opts, ...
                                                                   [alpha, zeros(n, opts.Probes)]);
      f_error = objective_error(q, c);
      threads = max(threads, estimate_threads);
    end
    final_passes = [estimate_passes, solve_passes];
    how = sprintf('exact on %d, then estimated on %s, %s; %s', m, fitted, ...
                  settling(settled, history, opts.ScalableIterations), verdict);
  end
end
warn_at_bounds(theta, lo, hi, free, d, sigma);

w = exp(theta(1:d))';
model = struct();
model.FormatVersion = 2;
model.LengthScales = sqrt(1 ./ (2 * w)) .* sigma;
model.Relevance = w / max(w);
model.Amplitude = exp(theta(d + 1));
model.Ridge = exp(theta(d + 2));
model.LogMarginalLikelihood = f;
model.LogMarginalLikelihoodError = f_error;
model.History = history;
model.Seconds = toc(start);
model.Method = how;
model.Threads = threads;
model.FinalPasses = final_passes;
model.Alpha = alpha;
model.X = Xs;
model.Weights = [w, model.Amplitude];
model.Mu = mu;
model.Sigma = sigma;
model.YMean = y_mean;
if opts.Verbose
  error_text = '';
  if f_error > 0
    error_text = sprintf(' (standard error %.3g)', f_error);
  end
  fprintf('krrfit: done in %.1f s (%s): log marginal likelihood %.6g%s\n', model.Seconds, how, f, ...
          error_text);
end
end

function [X, Y, n, d, c] = check_data(X, Y)
X = numeric_matrix(X, 'X', 'n x d matrix, one observation per row');
Y = numeric_matrix(Y, 'Y', 'n x c matrix');
if isempty(X)
  error('krrfit:invalidInput', ...
        'krrfit: X must be a real n x d matrix, one observation per row, got an empty one');
end
[n, d] = size(X);
if isvector(Y) && numel(Y) == n
  Y = Y(:);
end
if size(Y, 1) ~= n || isempty(Y)
  if (isvector(Y) && numel(Y) == d) || (~isvector(Y) && size(Y, 1) == d)
    error('krrfit:invalidInput', ...
          'krrfit: X has %d rows but Y has %d; if its columns are the observations, pass X''', ...
          n, d);
  end
  error('krrfit:invalidInput', ...
        'krrfit: Y must be a real n x c matrix with one row per row of X (n = %d), got %s', ...
        n, mat2str(size(Y)));
end
if ~all(isfinite(X(:))) || ~all(isfinite(Y(:)))
  error('krrfit:invalidInput', 'krrfit: X and Y must be finite');
end
c = size(Y, 2);
if n < 2
  error('krrfit:invalidInput', 'krrfit: at least 2 observations are needed, got %d', n);
end
end

function V = numeric_matrix(V, name, shape)
% V as a full real double matrix; what it is where it cannot be one.
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

function opts = parse_options(args)
% The options as a struct, each checked and numbers converted to double, before any work.
defaults = {'LengthScales', []; 'Amplitude', []; 'Ridge', []; 'Fixed', {}; ...
            'LengthScaleBounds', []; 'AmplitudeBounds', []; 'RidgeBounds', []; ...
            'MaxIterations', 100; 'ScalableIterations', 10; 'Restarts', 0; 'Seed', 0; ...
            'Verbose', true; 'Method', 'auto'; 'DenseLimit', 3000; 'SubsetSize', 2000; ...
            'PolishLimit', 6000; 'ExactCheckLimit', 10000; 'ScalableSubsetSize', 10000; ...
            'FinalObjective', 'auto'; 'Probes', 8; ...
            'PreconditionRank', 0; 'LogDetRank', 1000; 'Standardize', true; 'CenterTargets', true; ...
            'Tolerance', 1e-8; 'BlockSize', []; 'CacheBytes', Inf};
opts = option_pairs('krrfit', args, defaults, 'X and Y');
% Whole numbers, with the limits of the modules and of a sensible call: Probes as krr_lml
% takes them, block sizes below 2^31 (and capped to n where used).
limits = {'MaxIterations', 0, 1e6; 'ScalableIterations', 0, 1e6; 'Restarts', 0, 1000; ...
          'Seed', 0, 2^32 - 1; 'DenseLimit', 0, 2^31 - 1; 'SubsetSize', 2, 2^31 - 1; ...
          'PolishLimit', 0, 2^31 - 1; 'ExactCheckLimit', 0, 2^31 - 1; ...
          'ScalableSubsetSize', 2, 2^31 - 1; 'Probes', 1, 4096; ...
          'PreconditionRank', 0, 1e6; 'LogDetRank', 0, 1e6; 'BlockSize', 1, 2^31 - 1};
for i = 1:size(limits, 1)
  name = limits{i, 1};
  if ~(strcmp(name, 'BlockSize') && isempty(opts.BlockSize))
    opts.(name) = option_value('krrfit', 'whole', opts.(name), name, limits{i, 2}, limits{i, 3});
  end
end
opts.Tolerance = option_value('krrfit', 'real', opts.Tolerance, 'Tolerance');
if ~(opts.Tolerance > 0 && opts.Tolerance < 1)
  error('krrfit:invalidInput', 'krrfit: Tolerance must be a real scalar in (0, 1), got %g', ...
        opts.Tolerance);
end
opts.CacheBytes = option_value('krrfit', 'real', opts.CacheBytes, 'CacheBytes');
if ~(opts.CacheBytes >= 0)
  error('krrfit:invalidInput', ...
        'krrfit: CacheBytes must be a number of bytes, 0 or more (Inf for as much as fits), got %g', ...
        opts.CacheBytes);
end
flags = {'Verbose', 'Standardize', 'CenterTargets'};
for i = 1:numel(flags)
  opts.(flags{i}) = option_value('krrfit', 'flag', opts.(flags{i}), flags{i});
end
opts.Method = option_value('krrfit', 'choice', opts.Method, 'Method', {'auto', 'dense', 'scalable'});
v = opts.FinalObjective;
if ~(ischar(v) && isrow(v) && strcmpi(v, 'auto'))
  try
    opts.FinalObjective = option_value('krrfit', 'flag', v, 'FinalObjective');
  catch
    error('krrfit:invalidInput', ...
          'krrfit: FinalObjective must be ''auto'', true or false (1 or 0, ''on'' or ''off''), got %s', ...
          describe_value(v));
  end
else
  opts.FinalObjective = 'auto';
end
end

function [theta, lo, hi, fixed, ridge_limit] = parameters(opts, d, sigma, y_var)
% theta = log ([w(1:d), amplitude, ridge]) in standardised units, w = 1 / (2 l^2), with the
% bounds (a short length scale is a large w) and the fixed entries; ridge_limit is the
% largest ridge that a start which does not factorise may be raised to (the upper end of
% RidgeBounds, even where the ridge is fixed).
to_w = @(l) log(1 ./ (2 * l .^ 2));
l0 = sqrt(d) * ones(1, d);
if ~isempty(opts.LengthScales)
  l0 = check_positive(opts.LengthScales, d, 'LengthScales') ./ sigma;
end
amp0 = y_var;
if ~isempty(opts.Amplitude)
  amp0 = check_positive(opts.Amplitude, 1, 'Amplitude');
end
ridge0 = y_var / 10;
if ~isempty(opts.Ridge)
  ridge0 = check_positive(opts.Ridge, 1, 'Ridge');
end
l_low = sqrt(d) * 1e-3 * ones(1, d);
l_high = sqrt(d) * 1e3 * ones(1, d);
if ~isempty(opts.LengthScaleBounds)
  b = check_bounds(opts.LengthScaleBounds, 'LengthScaleBounds');
  l_low = b(1) ./ sigma;
  l_high = b(2) ./ sigma;
end
a_bounds = [1e-4, 1e4] * y_var;
if ~isempty(opts.AmplitudeBounds)
  a_bounds = check_bounds(opts.AmplitudeBounds, 'AmplitudeBounds');
end
r_bounds = [1e-6, 10] * y_var;
if ~isempty(opts.RidgeBounds)
  r_bounds = check_bounds(opts.RidgeBounds, 'RidgeBounds');
end
theta = [to_w(l0), log(amp0), log(ridge0)]';
lo = [to_w(l_high), log(a_bounds(1)), log(r_bounds(1))]';
hi = [to_w(l_low), log(a_bounds(2)), log(r_bounds(2))]';
fixed = fixed_entries(opts.Fixed, d);
ridge_limit = max(log(r_bounds(2)), theta(d + 2));
% A fixed parameter stays where it starts, even outside the default bounds.
lo(fixed) = theta(fixed);
hi(fixed) = theta(fixed);
theta = min(max(theta, lo), hi);
end

function fixed = fixed_entries(given, d)
% The fixed entries of theta from the option Fixed: parameter names, or d + 2 flags.
fixed = false(d + 2, 1);
if isa(given, 'string')
  given = cellstr(given);
elseif ischar(given) && isrow(given)
  given = {given};
end
if (islogical(given) || isnumeric(given)) && isempty(given)
  return;
elseif islogical(given) || isnumeric(given)
  if numel(given) ~= d + 2
    error('krrfit:invalidInput', 'krrfit: Fixed as a vector must have d + 2 = %d entries', d + 2);
  end
  if ~(isreal(given) && all(given(:) == 0 | given(:) == 1))
    error('krrfit:invalidInput', 'krrfit: Fixed as a vector must hold true or false (1 or 0) entries');
  end
  fixed = logical(full(given(:)));
elseif iscellstr(given)
  for i = 1:numel(given)
    switch lower(given{i})
      case 'lengthscales'
        fixed(1:d) = true;
      case 'amplitude'
        fixed(d + 1) = true;
      case 'ridge'
        fixed(d + 2) = true;
      otherwise
        error('krrfit:invalidInput', 'krrfit: unknown parameter in Fixed: %s', given{i});
    end
  end
else
  error('krrfit:invalidInput', ...
        'krrfit: Fixed must be a cell array of the names ''LengthScales'', ''Amplitude'', ''Ridge'' or a logical vector of d + 2 entries, got %s', ...
        describe_value(given));
end
end

function v = check_positive(v, count, name)
if ~isnumeric(v) || ~isreal(v) || ~(numel(v) == count || numel(v) == 1) || ...
   ~all(v(:) > 0 & isfinite(v(:)))
  error('krrfit:invalidInput', 'krrfit: %s must be positive and finite, 1 x %d or scalar', ...
        name, count);
end
v = full(double(v(:)')) .* ones(1, count);
end

function b = check_bounds(b, name)
if ~isnumeric(b) || ~isreal(b) || numel(b) ~= 2 || ~(b(1) > 0) || ~(b(2) >= b(1)) || ...
   ~isfinite(b(2))
  error('krrfit:invalidInput', ...
        'krrfit: %s must be [low high] with 0 < low <= high, both finite', name);
end
b = full(double(b(:)'));
end

function bytes = dense_bytes(n)
% What a dense stage of n observations may hold: five n x n doubles (check_memory).
bytes = 5 * 8 * n^2;
end

function check_memory(n)
% The exact stages hold up to four n x n doubles at once (krr_dense_lml, temporaries
% included), five counted here for the host's own; refused up front where the process
% may not have that much (krr_memory: the system's memory, KRR_MEMORY_LIMIT where set).
needed = dense_bytes(n);
available = krr_memory();
if needed > available
  error('krrfit:outOfMemory', ...
        'krrfit: the exact (dense) fit of %d observations needs about %.0f bytes (%.3g GB: five %d x %d matrices of doubles), but this process may use %.0f bytes (%.3g GB); use ''Method'', ''scalable'' with a smaller SubsetSize and PolishLimit, or raise KRR_MEMORY_LIMIT', ...
        n, needed, needed / 1e9, n, n, available, available / 1e9);
end
end

function theta = fill_in(theta, free, t)
theta(free) = t;
end

function s = stage(opts, start, label)
% The optimiser's settings for one stage.
s = struct('max_iterations', opts.MaxIterations, 'memory', 10, 'gradient_tolerance', 1e-5, ...
           'value_tolerance', 1e-7, 'max_step', 2, 'verbose', opts.Verbose, 'label', label, ...
           'start', start, 'slopes', false, 'history', zeros(0, 9), 'profile', []);
end

function [u, s] = uniforms(s, count)
% count uniform numbers in (0, 1) from the state s of a MINSTD generator (Park and
% Miller's multiplier 48271 modulo 2^31 - 1), and its next state. Every product is below
% 2^53, so the sequence is exact in doubles and the same on every host; the host's own
% generators are neither used nor disturbed.
u = zeros(count, 1);
for i = 1:count
  s = mod(48271 * s, 2147483647);
  u(i) = s / 2147483647;
end
end

function s = generator(seed, stream)
% The starting state of stream 0 (the subset) or 1 (the restarts) for a seed up to 2^32:
% its low and high parts folded in, each followed by a few draws that spread nearby seeds.
s = 1 + mod(mod(seed, 2^26) + stream * 2^26, 2147483646);
[~, s] = uniforms(s, 4);
s = 1 + mod(s + floor(seed / 2^26), 2147483646);
[~, s] = uniforms(s, 4);
end

function subset = seeded_subset(n, m, seed)
% m of the n observations, the same for the same seed (a partial Fisher-Yates shuffle).
[u, ~] = uniforms(generator(seed, 0), m);
order = 1:n;
for i = 1:m
  j = i + floor(u(i) * (n - i + 1));
  order([i, j]) = order([j, i]);
end
subset = sort(order(1:m));
end

function z = normals(count, seed)
% count standard normal numbers from the restarts' stream, by the Box-Muller transform.
[u, ~] = uniforms(generator(seed, 1), 2 * ceil(count / 2));
u = reshape(u, 2, []);
r = sqrt(-2 * log(u(1, :)));
z = [r .* cos(2 * pi * u(2, :)); r .* sin(2 * pi * u(2, :))];
z = z(1:count)';
end

function [theta, history] = dense_search(Xs, Yc, theta0, free, lo, hi, ridge_limit, opts, s, ...
                                         history)
% Exact maximisation from the start and from Restarts perturbed starts; the best is kept.
starts = theta0;
if opts.Restarts > 0
  spread = [ones(numel(theta0) - 2, 1); 0.5; 1];
  z = reshape(normals(numel(theta0) * opts.Restarts, opts.Seed), numel(theta0), []);
  for r = 1:opts.Restarts
    starts(:, end + 1) = min(max(theta0 + spread .* z(:, r), lo), hi);
  end
  starts(~free, :) = repmat(theta0(~free), 1, size(starts, 2));
end
best = -Inf;
theta = theta0;
for r = 1:size(starts, 2)
  label = s.label;
  if size(starts, 2) > 1
    label = sprintf('%s, start %d of %d', s.label, r, size(starts, 2));
  end
  start = factorising_start(Xs, Yc, starts(:, r), lo, hi, free, ridge_limit, label);
  s.history = history;
  [counts, s.profile] = dense_profile();
  fun = @(t) dense_objective(Xs, Yc, fill_in(start, free, t), free, counts);
  [t, f, ~, history] = krr_lbfgs(fun, start(free), lo(free), hi(free), s);
  if f > best
    best = f;
    theta = fill_in(start, free, t);
  end
end
end

function theta = factorising_start(Xs, Yc, theta, lo, hi, free, ridge_limit, label)
% A start where K + ridge*I factorises: where it does not, the ridge raised to where the
% factor is well conditioned, with a warning; an error with advice where no ridge up to
% its upper bound (for a fixed ridge, the upper end of RidgeBounds) factorises.
%
% Merely factorising is not enough: at the smallest ridge that does, K + ridge*I is at the
% edge of positive definiteness, the coefficients are rounding noise of size 1/ridge, and
% which ridge that is depends on the BLAS of the processor. K is positive semidefinite with
% positive entries, so with s its largest row sum the eigenvalues of K + ridge*I lie in
% [ridge, s + ridge], and ridge = s / (kappa - 1) bounds the condition number by kappa, by
% arithmetic on K alone, the same on every machine.
kappa = 1e8;
[f, ~, ~, s] = krr_dense_lml(Xs, Yc, theta, true);
if isfinite(f)
  return;
end
d = size(Xs, 1);
r = d + 2;
given = exp(theta(r));
limit = hi(r);
if ~free(r)
  limit = ridge_limit;
end
% The first trial factorises wherever K is finite (its condition number is bounded); the
% steps upwards by factors of 16 from there are a safeguard, and end at the upper bound.
bounded = log(s / (kappa - 1));
trial = max(bounded, theta(r) + log(2));
while true
  trial = min(trial, limit);
  theta(r) = trial;
  if isfinite(krr_dense_lml(Xs, Yc, theta, true))
    break;
  elseif trial >= limit
    error('krrfit:notPositiveDefinite', ...
          'krrfit: K + Ridge*I is not positive definite in double precision at the start of stage %s, even with Ridge raised to %g, the upper end of RidgeBounds: raise RidgeBounds(2), lower the Amplitude, or remove duplicated observations', ...
          stage_name(label), exp(limit));
  end
  trial = trial + log(16);
end
if free(r)
  note = 'the search starts from there';
else
  note = 'Ridge is fixed, so the model keeps this larger Ridge, not the one given';
end
if theta(r) >= bounded
  why = sprintf('where its condition number is at most %g (the largest row sum of K over Ridge, plus 1), so that the coefficients are not rounding noise', kappa);
else
  why = sprintf('the upper end of RidgeBounds, where it factorises but its condition number may reach %.3g: the coefficients may carry rounding error; a Ridge of %.3g (raise RidgeBounds(2)) would bound it by %g', ...
                1 + s / exp(theta(r)), exp(bounded), kappa);
end
warning('krrfit:startMoved', ...
        'krrfit: K + Ridge*I is not positive definite in double precision at the start of stage %s (Ridge = %g); Ridge raised to %g, %s; %s', ...
        stage_name(label), given, exp(theta(r)), why, note);
end

function name = stage_name(label)
% A stage as messages name it: its progress label without the leading 'krrfit '.
name = regexprep(label, '^krrfit ', '');
end

function [f, g] = dense_objective(Xs, Yc, theta, free, counts)
[f, g] = krr_dense_lml(Xs, Yc, theta);
g = g(free);
counts('evaluations') = counts('evaluations') + 1;
end

function [counts, profile] = dense_profile()
% An exact stage's count of evaluations, and its running totals for the history.
counts = containers.Map();
counts('evaluations') = 0;
profile = @() [counts('evaluations'), NaN, NaN, NaN];
end

function [f, g, e] = scalable_step(state, Xs, Yc, theta, free, settings)
% The scalable slopes (no value) and their standard errors (from the spread of the probes'
% own trace terms), each evaluation warm-started from the last accepted one's solutions
% (held in state, a containers.Map of this stage). A solve that meets the pass bound is
% continued once with four times the passes; one that still fails, overflows or finds
% K + ridge*I zero gives a gradient of NaN, which the optimiser rejects.
d = size(Xs, 1);
w = [exp(theta(1:d))', exp(theta(d + 1))];
ridge = exp(theta(d + 2));
[f, g, V, info, ~, t] = krr_lml(Xs, Yc, w, ridge, settings, state('warm'));
count_work(state, info);
if info(4) == 1 && all(isfinite(V(:)))
  more = settings;
  more(9) = 4 * settings(9);
  [f, g, V, info, ~, t] = krr_lml(Xs, Yc, w, ridge, more, V);
  count_work(state, info);
end
e = std(t, 0, 2) / sqrt(size(t, 2));
e = e(free);
state('evaluations') = state('evaluations') + 1;
state('threads') = max(state('threads'), threads_used(info, 11));
if info(4) == 0 && all(isfinite(g(:)))
  state('warm') = V;
  g = g(free);
else
  status = info(4);
  if status == 0
    status = -1;  % converged, but the estimate is not finite
  end
  state('failures') = [state('failures'), status];
  g = NaN(nnz(free), 1);
  e = NaN(nnz(free), 1);
end
end

function text = settling(settled, history, iterations)
% How the scalable stage ended: settled (every slope within twice its error), or at its
% iteration limit with the largest slope's ratio to its error.
if isnan(history(end, 9))
  text = 'not started (its solves failed at the subset''s optimum)';
elseif settled
  text = sprintf('settled after %d iterations (every slope within twice its error)', ...
                 size(history, 1) - find(isnan(history(:, 9)), 1, 'last') - 1);
elseif isinf(history(end, 9))
  text = sprintf('not settled in its %d iterations (one probe gives the slopes no errors)', ...
                 iterations);
else
  text = sprintf('not settled in its %d iterations (largest slope %.3g times its error)', ...
                 iterations, history(end, 9));
end
end

function count_work(state, info)
% Adds a krr_lml call's passes over K, its seconds computing kernel columns and its own
% seconds to the stage's totals.
state('passes') = state('passes') + info(12);
state('column_seconds') = state('column_seconds') + info(14);
state('module_seconds') = state('module_seconds') + info(9);
end

function k = threads_used(info, entry)
% The threads a module's call used, from its info (NaN where the module does not say).
k = NaN;
if numel(info) >= entry
  k = info(entry);
end
end

function text = describe_statuses(statuses)
% What the solves' statuses mean, with how often each occurred.
parts = {};
for status = unique(statuses)
  parts{end + 1} = sprintf('%s: %d', status_name(status), sum(statuses == status));
end
text = strjoin(parts, ', ');
end

function text = status_name(status)
% What a solve's status means (krr_solve's and krr_lml's; -1: krrfit's own, for an
% estimate that is not finite though its solves converged).
names = {-1, 'estimate not finite'; 1, 'pass limit reached'; ...
         2, 'tolerance below the rounding floor'; 3, 'overflow'; 4, 'K + Ridge*I zero'};
k = find([names{:, 1}] == status, 1);
if isempty(k)
  text = sprintf('status %d', status);
else
  text = names{k, 2};
end
end

function [stage_set, text] = stage_observations(n, m, opts)
% The observations of the estimated stage: all n, or ScalableSubsetSize of them (at least
% the subset's m) that contain the subset, since seeded_subset continues the same draws.
s = min(n, max(m, opts.ScalableSubsetSize));
if s < n
  stage_set = seeded_subset(n, s, opts.Seed);
  text = sprintf('%d of %d', s, n);
else
  stage_set = 1:n;
  text = sprintf('all %d', n);
end
end

function [theta, f, f_error, V, verdict, threads, passes, later] = ...
    check_stage(Xs, Yc, theta0, theta1, lo, hi, free, subset, stage_set, opts, start, warm)
% The scalable stage's end theta1 against its start theta0: the end is kept only where its
% objective is at least as high. Up to ExactCheckLimit observations (where the dense
% factorisation fits in memory) both are computed exactly on all of them. Beyond, both are
% computed exactly on ExactCheckLimit observations held out (drawn with the seed; as many
% as the dense factorisation's memory allows), so that no estimate's noise enters the
% decision; the objective reported is then estimated on all n at the point kept, after the
% final solve (later: whether the caller is to make it, as FinalObjective says). Where
% ExactCheckLimit is 0, or memory allows too few, both are estimated with the same probes,
% so that the difference's error is known from the probes' paired log determinants (the
% data fits are exact), and the end must win by twice that error.
% stage_set: the stage's observations; the held-out ones are outside them where enough are
% left (else outside the subset alone). warm: the start of the final solve after a held-out
% check (the stage's last solutions where it fitted all n, else []). Returns the point kept,
% its objective (exact or estimated; NaN where not computed or made later) and that
% objective's standard error (0 where exact), a start for the final solve (V's first
% columns), what was decided, the estimates' threads and passes over K (NaN where none was
% made), and later.
[d, n] = size(Xs);
c = size(Yc, 2);
threads = NaN;
passes = NaN;
moved = ran_to_bound(theta0, theta1, lo, hi, free, d);
same = isequal(theta0, theta1);
exact_all = n <= opts.ExactCheckLimit && dense_bytes(n) <= krr_memory();
held = 0;
if ~exact_all
  held = held_out_size(n, numel(subset), opts.ExactCheckLimit);
end
if exact_all
  how = 'exact';
  [f1, ~, V1] = krr_dense_lml(Xs, Yc, theta1, true);
  f0 = f1;
  V0 = V1;
  q1 = [];
  q0 = [];
  if ~same
    [f0, ~, V0] = krr_dense_lml(Xs, Yc, theta0, true);
  end
  margin = 0;
elseif held > 0
  excluded = subset;
  if n - numel(stage_set) >= held
    excluded = stage_set;
  end
  picked = held_out_rows(n, excluded, held, opts.Seed);
  how = sprintf('exact on %d observations held out from the subset', held);
  if numel(excluded) > numel(subset)
    how = sprintf('exact on %d observations held out from the stage''s', held);
  end
  f1 = krr_dense_lml(Xs(:, picked), Yc(picked, :), theta1, true);
  f0 = f1;
  if ~same
    f0 = krr_dense_lml(Xs(:, picked), Yc(picked, :), theta0, true);
  end
  margin = 0;
else
  how = 'estimated with the same probes';
  [f1, V1, q1, passes, threads, settled] = final_estimate(Xs, Yc, theta1, opts);
  f0 = f1;
  V0 = V1;
  q0 = q1;
  if ~same
    [f0, V0, q0, more, t0, settled0] = final_estimate(Xs, Yc, theta0, opts);
    passes = passes + more;
    threads = max(threads, t0);
    settled = settled && settled0;
  end
  if ~settled
    % Lanczos quadrature of log that has not settled overstates the log determinant, the
    % more so the worse A is conditioned: the comparison then leans to the larger ridge.
    how = [how, ', whose log determinants had not settled in the Lanczos steps'];
  end
  margin = 2 * 0.5 * c * std(q1 - q0) / sqrt(numel(q1));
end
keep_end = isfinite(f1) && (~isfinite(f0) || f1 - f0 >= margin);
if keep_end
  theta = theta1;
  verdict = 'the stage''s end kept';
else
  theta = theta0;
  verdict = 'the stage''s end rejected, its start kept';
end
if same
  verdict = 'the stage did not move';
end
verdict = sprintf('%s (objective %s)', verdict, how);
if ~isempty(moved)
  verdict = sprintf('%s; in the stage %s ran to its bound', verdict, moved);
end
if opts.Verbose && ~same
  fprintf('krrfit (check): objective at the stage''s end %.6g, at its start %.6g (%s; margin %.3g): %s  %8.1f s\n', ...
          f1, f0, how, margin, verdict, toc(start));
end
later = false;
if held > 0
  % The held-out objectives decided; the objective reported is estimated on all n at the
  % final coefficients (later: by the caller, after the final solve), where asked for.
  f = NaN;
  f_error = NaN;
  V = warm;
  later = estimate_objective(n, opts);
  if ~later
    verdict = [verdict, '; the objective on all observations not estimated (FinalObjective)'];
  end
elseif keep_end
  f = f1;
  f_error = objective_error(q1, c);
  V = V1;
else
  f = f0;
  f_error = objective_error(q0, c);
  V = V0;
end
end

function e = objective_error(q, c)
% The standard error of an estimated objective from its probes' log determinants q (the
% data fit is exact): half of c times theirs; 0 for an exact objective (q empty), NaN for
% one probe, which gives no spread.
if isempty(q)
  e = 0;
elseif numel(q) < 2
  e = NaN;
else
  e = 0.5 * c * std(q) / sqrt(numel(q));
end
end

function yes = estimate_objective(n, opts)
% Whether to estimate the objective on all n once the held-out rows have checked the stage:
% FinalObjective true, or 'auto' where K fits in the memory the solves may cache. Beyond,
% each of the estimate's passes over K (its solves from zero, then Lanczos) computes most
% kernel columns again, which at n = 100,000 takes longer than the rest of the fit.
yes = opts.FinalObjective;
if ischar(yes)
  yes = 8 * n ^ 2 <= min(opts.CacheBytes, krr_memory());
end
end

function h = held_out_size(n, m, limit)
% Observations outside the subset's m whose exact objective checks the stage: up to limit,
% as many as the dense factorisation's memory allows (0: check by paired estimates).
h = min(limit, n - m);
available = krr_memory();
if dense_bytes(h) > available
  h = floor(sqrt(available / dense_bytes(1)));
end
h = max(h, 0);
end

function picked = held_out_rows(n, excluded, h, seed)
% h observations outside those excluded, the same for the same seed.
rest = 1:n;
rest(excluded) = [];
picked = rest(seeded_subset(numel(rest), h, seed));
end

function text = ran_to_bound(theta0, theta1, lo, hi, free, d)
% The free parameters at a bound at theta1 but not at theta0 (within 0.1%), named; a
% length scale at its long end is not (that is how an irrelevant feature looks).
margin = 1e-3;
at = @(t) [free & hi - t <= margin, free & t - lo <= margin];
reached = at(theta1) & ~at(theta0);
reached(1:d, 2) = false;
names = [arrayfun(@(l) sprintf('LengthScales(%d)', l), 1:d, 'UniformOutput', false), ...
         {'Amplitude', 'Ridge'}];
items = {};
for p = 1:d + 2
  if reached(p, 1)
    items{end + 1} = [names{p}, ' (upper)'];
    if p <= d
      items{end} = [names{p}, ' (shortest)'];
    end
  elseif reached(p, 2)
    items{end + 1} = [names{p}, ' (lower)'];
  end
end
text = strjoin(items, ', ');
end

function [f, V, q, passes, threads, settled] = final_estimate(Xs, Yc, theta, opts, warm)
% The objective estimated with the log determinant, the solutions (the coefficients; the
% probes need no solves for the value alone, so their columns are warm's), each probe's log
% determinant estimate, the passes over K, and whether Lanczos settled before its step
% limit. warm: a start, or [] (from coefficients solved already the solve is one check). A
% solve that does not converge is continued once with four times the passes; one that
% still does not gives a warning.
[d, n] = size(Xs);
c = size(Yc, 2);
w = [exp(theta(1:d))', exp(theta(d + 1))];
ridge = exp(theta(d + 2));
settings = [opts.Probes, opts.Seed, 1e-4, block_size(opts, n, opts.Probes + c), ...
            opts.CacheBytes, 2, 100, 1e-6, 1000, opts.PreconditionRank, opts.LogDetRank];
if nargin < 5
  warm = [];
end
[f, ~, V, info, q] = krr_lml(Xs, Yc, w, ridge, settings, warm);
passes = info(12);
if info(4) ~= 0 && info(4) ~= 2
  settings(9) = 4 * settings(9);
  [f, ~, V, info, q] = krr_lml(Xs, Yc, w, ridge, settings, start_from(V));
  passes = passes + info(12);
end
settled = info(15) < settings(7);
threads = threads_used(info, 11);
if info(4) ~= 0 || ~isfinite(f)
  status = info(4);
  if status == 0
    status = -1;
  end
  warning('krrfit:notConverged', ...
          'krrfit: the solves of the final estimate ended with %s; LogMarginalLikelihood (%g) is less exact than its stated error', ...
          status_name(status), f);
end
end

function [alpha, threads, passes] = final_solve(Xs, Yc, theta, V, opts, start)
% The coefficients solved to the fit's tolerance, starting from V's first columns (from
% zero where V is empty). A solve
% that does not converge is continued once with four times the passes (from scratch where
% it overflowed); one that still does not gives a warning, or an error where Alpha is not
% finite. passes: over K.
[d, n] = size(Xs);
c = size(Yc, 2);
w = [exp(theta(1:d))', exp(theta(d + 1))];
ridge = exp(theta(d + 2));
settings = [opts.Tolerance, block_size(opts, n, c), opts.CacheBytes, opts.Seed, 1000];
if ~isempty(V)
  V = start_from(V(:, 1:c));
end
[alpha, ~, info] = krr_solve(Xs, Yc, w, ridge, settings, V);
solved = [info(3) + info(4), info([11, 8])];
if info(1) ~= 0 && info(1) ~= 2
  settings(5) = 4 * settings(5);
  [alpha, ~, info] = krr_solve(Xs, Yc, w, ridge, settings, start_from(alpha));
  solved = solved + [info(3) + info(4), info([11, 8])];
end
passes = solved(1);
if opts.Verbose
  fprintf('krrfit (final): coefficients in %.1f passes over K; kernel columns %.1f s of %.1f s  %8.1f s\n', ...
          passes, solved(2), solved(3), toc(start));
end
threads = threads_used(info, 9);
if ~all(isfinite(alpha(:)))
  error('krrfit:notConverged', ...
        'krrfit: the final solve failed (%s), so no finite Alpha exists at the hyperparameters found: raise RidgeBounds(1)', ...
        status_name(info(1)));
elseif info(1) ~= 0
  warning('krrfit:notConverged', ...
          'krrfit: the final solve ended before its tolerance (%s); Alpha is the iterate reached', ...
          status_name(info(1)));
end
end

function V = start_from(V)
% A warm start, or none where it is not finite.
if ~all(isfinite(V(:)))
  V = [];
end
end

function warn_at_bounds(theta, lo, hi, free, d, sigma)
% One warning naming every free parameter that ended at (within 0.1% of) a bound, with
% what to change. Length scales at their long end are not named: there the kernel ignores
% the feature, the usual sign of an irrelevant one, which Relevance reports.
margin = 1e-3;
at_low = free & theta - lo <= margin;
at_high = free & hi - theta <= margin;
items = {};
for l = find(at_high(1:d))'
  items{end + 1} = sprintf(['LengthScales(%d) at its lower bound %g: lower ' ...
                            'LengthScaleBounds(1) if the feature varies that fast'], ...
                           l, sqrt(1 / (2 * exp(hi(l)))) * sigma(l));
end
names = {'Amplitude', 'AmplitudeBounds', ''; ...
         'Ridge', 'RidgeBounds', ' (a ridge pushed up can also mean outliers in Y)'};
for i = 1:2
  p = d + i;
  if at_low(p)
    items{end + 1} = sprintf('%s at its lower bound %g: lower %s(1)', names{i, 1}, ...
                             exp(lo(p)), names{i, 2});
  elseif at_high(p)
    items{end + 1} = sprintf('%s at its upper bound %g: raise %s(2)%s', names{i, 1}, ...
                             exp(hi(p)), names{i, 2}, names{i, 3});
  end
end
if ~isempty(items)
  warning('krrfit:atBound', ...
          'krrfit: ended at a bound, where the likelihood may still rise beyond it: %s', ...
          strjoin(items, '; '));
end
end

function k = block_size(opts, n, n_columns)
% The block size of a solve: BlockSize where given; otherwise 256 where several columns
% share each kernel column (the block's own work is then a smaller share), 64 for one.
if ~isempty(opts.BlockSize)
  k = opts.BlockSize;
elseif n_columns > 1
  k = 256;
else
  k = 64;
end
k = min(k, n);
end

%!shared X, y, model
%! rand ("seed", 2); randn ("seed", 2);
%! X = [rand(120, 2) .* [1 100], 1e4 + rand(120, 1)];   # the third feature is noise
%! y = 5 + sin (6 * X(:,1)) + (X(:,2) / 100) .^ 2 + 0.05 * randn (120, 1);
%! model = krrfit (X, y, "Verbose", false);

%!test
%! ## Learns which features matter, in the units of X; fits what it reports.
%! assert (model.Relevance(3) < 0.01 * min (model.Relevance(1:2)));
%! assert (model.LengthScales(3) > 10 * std (X(:,3)));
%! assert (model.Ridge < 0.01 && model.Ridge > 1e-4);
%! ## The coefficients solve the system whose kernel krrpredict forms (in the compiled
%! ## module, apart from the fit's own dense code).
%! r = krrpredict (model, X) - model.YMean + model.Ridge * model.Alpha - (y - mean (y));
%! assert (norm (r) <= 1e-6 * norm (y - mean (y)));
%! assert (model.LogMarginalLikelihood, max (model.History(:,2)), 1e-9 * abs (model.LogMarginalLikelihood));
%! assert (sqrt (mean ((krrpredict (model, X) - y) .^ 2)) < 0.1);

%!test
%! ## save/load keep the model; the same data and options give the same model bit for bit.
%! file = [tempname(), ".mat"];
%! unwind_protect
%!   save ("-binary", file, "model");
%!   loaded = load (file);
%!   assert (krrpredict (loaded.model, X(1:9,:)), krrpredict (model, X(1:9,:)));
%! unwind_protect_cleanup
%!   unlink (file);
%! end_unwind_protect
%! again = krrfit (X, y, "Verbose", false);
%! assert (again.Alpha, model.Alpha);
%! assert (again.LengthScales, model.LengthScales);

%!test
%! ## Fixed values stay exactly; bounds hold; of several starts the best is kept.
%! m = krrfit (X, y, "Verbose", false, "Fixed", {"Ridge"}, "Ridge", 0.3, "MaxIterations", 5);
%! assert (m.Ridge, 0.3, 2 * eps);
%! m = krrfit (X, y, "Verbose", false, "LengthScaleBounds", [0.5 2], "MaxIterations", 5);
%! assert (all (m.LengthScales >= 0.5 * (1 - 1e-12) & m.LengthScales <= 2 * (1 + 1e-12)));
%! one = krrfit (X, y, "Verbose", false, "MaxIterations", 3);
%! three = krrfit (X, y, "Verbose", false, "MaxIterations", 3, "Restarts", 2);
%! assert (three.LogMarginalLikelihood >= one.LogMarginalLikelihood);
%! assert (rows (three.History) > rows (one.History));

%!test
%! ## Options as a user may give them: numbers of any class, flags as 'on'/'off', names in
%! ## any case, sparse data; the same model as with plain doubles. 'off' is false.
%! a = krrfit (X(1:40,:), y(1:40), "Verbose", false, "MaxIterations", 3, "Restarts", 1);
%! out = evalc ("b = krrfit (sparse (X(1:40,:)), sparse (y(1:40)), 'verbose', 'off', 'MaxIterations', int32 (3), 'Restarts', single (1), 'Standardize', 'on', 'CenterTargets', 1);");
%! assert (out, "");
%! assert (b.Alpha, a.Alpha);
%! assert (class (b.History), "double");
%! opts = {"Verbose", false, "Method", "scalable", "SubsetSize", 20, "PolishLimit", 0, ...
%!         "ScalableIterations", 1, "MaxIterations", 2};
%! a = krrfit (X(1:40,:), y(1:40), opts{:}, "Probes", 2, "BlockSize", 8);
%! b = krrfit (X(1:40,:), y(1:40), opts{:}, "Probes", int32 (2), "BlockSize", single (8));
%! assert (b.Alpha, a.Alpha);

%!test
%! ## The host's generators and their modes are left as they were: the draws after krrfit
%! ## equal the draws without it, in the old "seed" mode and in the "state" mode, for
%! ## rand and randn. The subset and the restarts use krrfit's own generator.
%! opts = {"Verbose", false, "DenseLimit", 30, "SubsetSize", 20, "PolishLimit", 1000, ...
%!         "MaxIterations", 2, "Restarts", 2};
%! for mode = {"seed", "state"}
%!   rand (mode{1}, 7);  randn (mode{1}, 8);
%!   expected = [rand(3, 1); randn(3, 1)];
%!   rand (mode{1}, 7);  randn (mode{1}, 8);
%!   krrfit (X(1:40,:), y(1:40), opts{:});
%!   assert ([rand(3, 1); randn(3, 1)], expected);
%! endfor

%!test
%! ## A start where K + Ridge*I does not factorise is moved, with a warning, to a ridge where
%! ## it is well conditioned, not merely factorisable (there the coefficients reach 1e9 and
%! ## are rounding noise, and the ridge depends on the BLAS); the model is a true fit at the
%! ## ridge it reports.
%! rand ("seed", 3);
%! Xr = rand (300, 2);  yr = sin (3 * Xr(:,1)) + Xr(:,2);
%! warning ("off", "krrfit:atBound", "local");
%! lastwarn ("");
%! m = krrfit (Xr, yr, "Verbose", false, "Ridge", 1e-16, "Fixed", {"Ridge"}, "MaxIterations", 3);
%! [msg, id] = lastwarn ();
%! assert (id, "krrfit:startMoved");
%! assert (! isempty (strfind (msg, "Ridge is fixed")));
%! assert (! isempty (strfind (msg, "condition number is at most 1e+08")));
%! assert (m.Ridge > 1e-8 && m.Ridge < 1e-4);
%! assert (isfinite (m.LogMarginalLikelihood));
%! assert (max (abs (krrpredict (m, Xr) + m.Ridge * m.Alpha - yr)) < 1e-8);
%! ## Where RidgeBounds(2) is below that ridge, the bound is taken, and the warning says so.
%! m = krrfit (Xr, yr, "Verbose", false, "Ridge", 1e-16, "Fixed", {"Ridge"}, "MaxIterations", 0, ...
%!             "RidgeBounds", [1e-16 1e-9]);
%! msg = lastwarn ();
%! assert (m.Ridge, 1e-9, -1e-12);
%! assert (! isempty (strfind (msg, "the upper end of RidgeBounds, where it factorises")));

%!test
%! ## The fit does not depend on where the features lie: without standardising, offsets of
%! ## 1e7, 1e8 and 1.7e9 (timestamps) give the model of the data near the origin.
%! Xo = X(1:60, 1:2) .* [1 0.01];  yo = y(1:60);
%! opts = {"Verbose", false, "Standardize", false, "MaxIterations", 5};
%! m0 = krrfit (Xo, yo, opts{:});
%! for offset = [1e7, 1e8, 1.7e9]
%!   m = krrfit (Xo + offset, yo, opts{:});
%!   assert (m.LogMarginalLikelihood, m0.LogMarginalLikelihood, 1e-6 * abs (m0.LogMarginalLikelihood));
%!   assert (krrpredict (m, Xo(1:10,:) + offset), krrpredict (m0, Xo(1:10,:)), 1e-5);
%! endfor

%!test
%! ## A parameter that ends at a bound is named, with the bound to widen: one outlier
%! ## pushes the amplitude to its lower bound, or the ridge to its upper one.
%! yb = y;  yb(7) = 1e6;
%! lastwarn ("");
%! krrfit (X, yb, "Verbose", false, "MaxIterations", 20);
%! [msg, id] = lastwarn ();
%! assert (id, "krrfit:atBound");
%! assert (! isempty (strfind (msg, "Amplitude at its lower bound")));
%! assert (! isempty (strfind (msg, "AmplitudeBounds(1)")));
%! lastwarn ("");
%! krrfit (X, yb, "Verbose", false, "MaxIterations", 20, "RidgeBounds", [1e-6 1e3]);
%! [msg, id] = lastwarn ();
%! assert (id, "krrfit:atBound");
%! assert (! isempty (strfind (msg, "Ridge at its upper bound 1000: raise RidgeBounds(2)")));

%!test
%! ## A dense fit that would not fit in memory is refused before any work.
%! old = getenv ("KRR_MEMORY_LIMIT");
%! setenv ("KRR_MEMORY_LIMIT", "1e6");
%! unwind_protect
%!   err = [];
%!   try
%!     krrfit (rand (1000, 2), rand (1000, 1), "Verbose", false);
%!   catch err
%!   end_try_catch
%! unwind_protect_cleanup
%!   setenv ("KRR_MEMORY_LIMIT", old);
%! end_unwind_protect
%! assert (err.identifier, "krrfit:outOfMemory");
%! assert (! isempty (strfind (err.message, "needs about 40000000 bytes")));

%!error <expected X, Y> krrfit (1)
%!error <X must be a real n x d matrix, one observation per row, got a cell array> krrfit ({1}, 1)
%!error <X must be a real n x d matrix, one observation per row, got a 3-dimensional double> krrfit (ones (5, 1, 2), ones (5, 1))
%!error <X must be a real n x d matrix, one observation per row, got an empty one> krrfit (zeros (0, 2), zeros (0, 1))
%!error <Y must be a real n x c matrix with one row per row of X \(n = 3\)> krrfit (ones (3, 2), ones (4, 1))
%!error <Y must be a real n x c matrix, got a logical array> krrfit (rand (5, 1), rand (5, 1) > 0.5)
%!error <Y must be a real n x c matrix, got a char array> krrfit (rand (5, 1), "abcde")
%!error <Y must be a real n x c matrix, got a complex double array> krrfit (rand (5, 1), rand (5, 1) + 1i)
%!error <X has 2 rows but Y has 5; if its columns are the observations, pass X'> krrfit (rand (2, 5), rand (5, 1))
%!error <X and Y must be finite> krrfit ([1; NaN; 2], [1; 2; 3])
%!error <at least 2 observations> krrfit (1, 1)
%!error <Y must have a variance from 1e-150 to 1e150> krrfit (rand (5, 1), 1e200 * rand (5, 1))
%!error <options must be name-value pairs, got an odd number \(1\)> krrfit (rand (5, 1), rand (5, 1), "Verbose")
%!error <unknown option 'Verbos'; the options are LengthScales, > krrfit (rand (5, 1), rand (5, 1), "Verbos", false)
%!error <option names must be strings, got a double as argument 3> krrfit (rand (5, 1), rand (5, 1), "Verbose", false, 3, 4)
%!error <MaxIterations must be a whole number from 0 to 1000000, got 1.5> krrfit (rand (5, 1), rand (5, 1), "MaxIterations", 1.5)
%!error <MaxIterations must be a whole number from 0 to 1000000, got a 1 x 2 double> krrfit (rand (5, 1), rand (5, 1), "MaxIterations", [1 2])
%!error <ScalableIterations must be a whole number from 0 to 1000000, got '3'> krrfit (rand (5, 1), rand (5, 1), "ScalableIterations", "3")
%!error <Restarts must be a whole number from 0 to 1000, got Inf> krrfit (rand (5, 1), rand (5, 1), "Restarts", Inf)
%!error <Seed must be a whole number from 0 to 4294967295, got -1> krrfit (rand (5, 1), rand (5, 1), "Seed", -1)
%!error <DenseLimit must be a whole number from 0 to 2147483647, got NaN> krrfit (rand (5, 1), rand (5, 1), "DenseLimit", NaN)
%!error <SubsetSize must be a whole number from 2 to 2147483647, got 1> krrfit (rand (5, 1), rand (5, 1), "SubsetSize", 1)
%!error <PolishLimit must be a whole number from 0 to 2147483647, got a 1 x 1 complex double> krrfit (rand (5, 1), rand (5, 1), "PolishLimit", 1i)
%!error <PreconditionRank must be a whole number from 0 to 1000000, got 0.5> krrfit (rand (5, 1), rand (5, 1), "PreconditionRank", 0.5)
%!error <ExactCheckLimit must be a whole number from 0 to 2147483647, got -5> krrfit (rand (5, 1), rand (5, 1), "ExactCheckLimit", -5)
%!error <ScalableSubsetSize must be a whole number from 2 to 2147483647, got 1> krrfit (rand (5, 1), rand (5, 1), "ScalableSubsetSize", 1)
%!error <FinalObjective must be 'auto', true or false \(1 or 0, 'on' or 'off'\), got 'yes'> krrfit (rand (5, 1), rand (5, 1), "FinalObjective", "yes")
%!error <LogDetRank must be a whole number from 0 to 1000000, got -1> krrfit (rand (5, 1), rand (5, 1), "LogDetRank", -1)
%!error <Probes must be a whole number from 1 to 4096, got 0> krrfit (rand (5, 1), rand (5, 1), "Probes", 0)
%!error <Probes must be a whole number from 1 to 4096, got 5000> krrfit (rand (5, 1), rand (5, 1), "Probes", 5000)
%!error <BlockSize must be a whole number from 1 to 2147483647, got 0> krrfit (rand (5, 1), rand (5, 1), "BlockSize", 0)
%!error <Method must be> krrfit (rand (5, 1), rand (5, 1), "Method", "fast")
%!error <Method must be> krrfit (rand (5, 1), rand (5, 1), "Method", 1)
%!error <Tolerance must be a real scalar in \(0, 1\), got 0> krrfit (rand (5, 1), rand (5, 1), "Tolerance", 0)
%!error <Tolerance must be a real numeric scalar, got a 1 x 1 cell> krrfit (rand (5, 1), rand (5, 1), "Tolerance", {1e-3})
%!error <CacheBytes must be a number of bytes, 0 or more> krrfit (rand (5, 1), rand (5, 1), "CacheBytes", -1)
%!error <CacheBytes must be a number of bytes, 0 or more> krrfit (rand (5, 1), rand (5, 1), "CacheBytes", NaN)
%!error <Verbose must be true or false \(1 or 0, 'on' or 'off'\), got 'no'> krrfit (rand (5, 1), rand (5, 1), "Verbose", "no")
%!error <Standardize must be true or false \(1 or 0, 'on' or 'off'\), got 2> krrfit (rand (5, 1), rand (5, 1), "Standardize", 2)
%!error <CenterTargets must be true or false \(1 or 0, 'on' or 'off'\), got a 1 x 2 logical> krrfit (rand (5, 1), rand (5, 1), "CenterTargets", [true true])
%!error <LengthScales must be positive and finite, 1 x 2> krrfit (rand (5, 2), rand (5, 1), "LengthScales", [1 -1])
%!error <Amplitude must be positive and finite, 1 x 1> krrfit (rand (5, 2), rand (5, 1), "Amplitude", "a")
%!error <Ridge must be positive and finite, 1 x 1> krrfit (rand (5, 2), rand (5, 1), "Ridge", Inf)
%!error <RidgeBounds must be \[low high\] with 0 < low <= high, both finite> krrfit (rand (5, 1), rand (5, 1), "RidgeBounds", [1 0.5])
%!error <LengthScaleBounds must be \[low high\] with 0 < low <= high, both finite> krrfit (rand (5, 1), rand (5, 1), "LengthScaleBounds", [1 Inf])
%!error <AmplitudeBounds must be \[low high\] with 0 < low <= high, both finite> krrfit (rand (5, 1), rand (5, 1), "AmplitudeBounds", [1i 2])
%!error <Fixed as a vector must have d \+ 2 = 3> krrfit (rand (5, 1), rand (5, 1), "Fixed", [true false])
%!error <Fixed as a vector must hold true or false> krrfit (rand (5, 1), rand (5, 1), "Fixed", [0 2 1])
%!error <unknown parameter in Fixed: Noise> krrfit (rand (5, 1), rand (5, 1), "Fixed", {"Noise"})
%!error <Fixed must be a cell array of the names> krrfit (rand (5, 1), rand (5, 1), "Fixed", {1})
%!error <K \+ Ridge\*I is not positive definite in double precision at the start of stage \(exact\), even with Ridge raised to 1e-15, the upper end of RidgeBounds: raise RidgeBounds\(2\)> krrfit (repmat ([1; 2], 20, 1), repmat ([1; 2], 20, 1), "Verbose", false, "Amplitude", 1e4, "Ridge", 1e-16, "RidgeBounds", [1e-16 1e-15])
