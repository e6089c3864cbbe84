function model = krrfit(X, Y, varargin)
% KRRFIT  Fit exact kernel ridge regression, learning the ARD Gaussian kernel from the data.
%
%   model = krrfit (X, Y)
%   model = krrfit (X, Y, Name, Value, ...)
%
%   X is n x d, one observation per row; Y is n x c, one column per output (the outputs
%   share one kernel). The kernel between observations a and b is
%     Amplitude * exp (-sum_l (a(l) - b(l))^2 / (2 * LengthScales(l)^2))
%   and the model is that of a Gaussian process with this kernel and noise variance Ridge:
%   the hyperparameters (a length scale per feature, the amplitude and the ridge) maximise
%   the log marginal likelihood of the data, and the fit is the exact solution alpha of
%   (K + Ridge * I) * alpha = Y. By default the features are standardised and the targets
%   centred; krrpredict undoes both.
%
%   How the log marginal likelihood is maximised (limited-memory BFGS over the logarithms
%   of the hyperparameters, with analytic gradients, within bounds):
%     n <= DenseLimit   exactly, by a dense Cholesky factorisation at every step;
%     larger n          first exactly on a random subset of SubsetSize observations, then
%                       on all of them without forming K: exact solves of
%                       (K + Ridge*I) [alpha, U] = [Y, Z] by block coordinate descent for
%                       the targets and Probes fixed Rademacher probes Z, and Hutchinson
%                       estimates of the gradient's trace terms from the solved probes; the
%                       line searches of this stage follow the slope alone, and the
%                       reported objective is estimated, its log determinant by
%                       stochastic Lanczos quadrature with the same probes. Where
%                       n <= PolishLimit, exact dense iterations on all observations
%                       replace this stage.
%   The same data, options and Seed give the same model bit for bit, whatever the number of
%   threads (KRR_NUM_THREADS).
%
%   Options (name-value pairs)
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
%     'MaxIterations'      iterations of each exact stage (default 100)
%     'ScalableIterations' iterations over all observations for large n (default 10)
%     'Restarts'           extra starts from random perturbations; the best is kept (0)
%     'Seed'               seed of the subset, the restarts and the probes (default 0)
%     'Verbose'            one line per iteration: objective, gradient, time (true)
%     'Method'             'auto', 'dense' (exact at any n) or 'scalable' (default 'auto')
%     'DenseLimit'         largest n fitted densely under 'auto' (default 3000)
%     'SubsetSize'         observations of the exact first stage for large n (2000)
%     'PolishLimit'        largest n fitted exactly after the subset stage (default 6000)
%     'Probes'             probe vectors of the scalable stage (default 8)
%     'Standardize'        standardise the features (default true)
%     'CenterTargets'      centre the targets (default true)
%     'Tolerance'          relative tolerance of the final solve (default 1e-8)
%     'BlockSize'          block size of the solves (default 256 where several columns
%                          are solved together, 64 for one)
%     'CacheBytes'         kernel column cache of the solves (default Inf: as much as fits)
%
%   The model is a plain struct, which save and load keep, with the fields
%     LengthScales  1 x d, in the units of X
%     Relevance     1 x d: 1 / LengthScales^2 in standardised units, the largest 1
%     Amplitude, Ridge   in the units of the centred Y
%     LogMarginalLikelihood   the final objective (estimated where Method says so)
%     History       a row per iteration: [iteration, objective (NaN where not computed),
%                   largest gradient component, seconds]
%     Seconds       the time taken; Method: how it was fitted
%     Alpha         n x c coefficients; X, Weights, Mu, Sigma, YMean: for krrpredict
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
opts = parse_options(d, varargin{:});

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
if ~(y_var > 0)
  y_var = 1;
end

[theta0, lo, hi, fixed] = parameters(opts, d, sigma, y_var);
free = ~fixed;
method = opts.Method;
if strcmp(method, 'auto')
  if n <= opts.DenseLimit
    method = 'dense';
  else
    method = 'scalable';
  end
end
history = zeros(0, 4);

if strcmp(method, 'dense')
  [theta, history] = dense_search(Xs, Yc, theta0, free, lo, hi, opts, ...
                                  stage(opts, start, 'krrfit (exact)'), history);
  [f, ~, alpha] = krr_dense_lml(Xs, Yc, theta);
  how = sprintf('exact, dense, n = %d', n);
else
  % First exactly on a subset; then exactly on all observations where a dense
  % factorisation still pays, otherwise with the scalable estimates.
  m = min(n, opts.SubsetSize);
  subset = seeded_subset(n, m, opts.Seed);
  [theta, history] = dense_search(Xs(:, subset), Yc(subset, :), theta0, free, lo, hi, opts, ...
                                  stage(opts, start, sprintf('krrfit (exact, %d of %d)', m, n)), ...
                                  history);
  if n <= opts.PolishLimit
    polish = stage(opts, start, sprintf('krrfit (exact, all %d)', n));
    polish.history = history;
    fun = @(t) dense_objective(Xs, Yc, fill_in(theta, free, t), free);
    [t, ~, ~, history] = krr_lbfgs(fun, theta(free), lo(free), hi(free), polish);
    theta = fill_in(theta, free, t);
    [f, ~, alpha] = krr_dense_lml(Xs, Yc, theta);
    how = sprintf('exact on %d, then exact on all %d', m, n);
  else
    scalable = stage(opts, start, sprintf('krrfit (all %d)', n));
    scalable.max_iterations = opts.ScalableIterations;
    scalable.slopes = true;
    scalable.history = history;
    scalable_step();  % a fresh stage: no warm start from another call
    % The slopes need the solves only roughly: their error is far below that of the probe
    % estimates (README), and a loose tolerance halves the passes over K.
    % At most 50 passes per evaluation (a usual one takes 5 to 10): at hyperparameters
    % where the system is badly conditioned the slope is then less exact, but the stage's
    % time stays bounded, and the next evaluation goes on from these solutions.
    settings = [opts.Probes, opts.Seed, 1e-2, block_size(opts, n, opts.Probes + c), ...
                opts.CacheBytes, 0, 60, 1e-6, 50];
    fun = @(t) scalable_step(Xs, Yc, fill_in(theta, free, t), free, settings);
    [t, ~, ~, history] = krr_lbfgs(fun, theta(free), lo(free), hi(free), scalable);
    theta = fill_in(theta, free, t);
    [f, alpha] = scalable_final(Xs, Yc, theta, opts);
    how = sprintf('exact on %d, then estimated on all %d (the objective estimated)', m, n);
  end
end

w = exp(theta(1:d))';
model = struct();
model.LengthScales = sqrt(1 ./ (2 * w)) .* sigma;
model.Relevance = w / max(w);
model.Amplitude = exp(theta(d + 1));
model.Ridge = exp(theta(d + 2));
model.LogMarginalLikelihood = f;
model.History = history;
model.Seconds = toc(start);
model.Method = how;
model.Alpha = alpha;
model.X = Xs;
model.Weights = [w, model.Amplitude];
model.Mu = mu;
model.Sigma = sigma;
model.YMean = y_mean;
if opts.Verbose
  fprintf('krrfit: done in %.1f s (%s): log marginal likelihood %.6g\n', model.Seconds, how, f);
end
end

function [X, Y, n, d, c] = check_data(X, Y)
if ~isnumeric(X) || ~isreal(X) || ndims(X) ~= 2 || isempty(X)
  error('krrfit:invalidInput', 'krrfit: X must be a real n x d matrix, one observation per row');
end
[n, d] = size(X);
if isvector(Y) && numel(Y) == n
  Y = Y(:);
end
if ~isnumeric(Y) || ~isreal(Y) || ndims(Y) ~= 2 || size(Y, 1) ~= n || size(Y, 2) < 1
  error('krrfit:invalidInput', ...
        'krrfit: Y must be a real n x c matrix with one row per row of X (n = %d), got %s', ...
        n, mat2str(size(Y)));
end
X = double(X);
Y = double(Y);
if ~all(isfinite(X(:))) || ~all(isfinite(Y(:)))
  error('krrfit:invalidInput', 'krrfit: X and Y must be finite');
end
c = size(Y, 2);
if n < 2
  error('krrfit:invalidInput', 'krrfit: at least 2 observations are needed, got %d', n);
end
end

function opts = parse_options(d, varargin)
p = inputParser();
p.FunctionName = 'krrfit';
defaults = {'LengthScales', []; 'Amplitude', []; 'Ridge', []; 'Fixed', {}; ...
            'LengthScaleBounds', []; 'AmplitudeBounds', []; 'RidgeBounds', []; ...
            'MaxIterations', 100; 'ScalableIterations', 10; 'Restarts', 0; 'Seed', 0; ...
            'Verbose', true; 'Method', 'auto'; 'DenseLimit', 3000; 'SubsetSize', 2000; ...
            'PolishLimit', 6000; 'Probes', 8; 'Standardize', true; 'CenterTargets', true; ...
            'Tolerance', 1e-8; 'BlockSize', []; 'CacheBytes', Inf};
for i = 1:size(defaults, 1)
  p.addParameter(defaults{i, 1}, defaults{i, 2});
end
p.parse(varargin{:});
opts = p.Results;
whole = {'MaxIterations', 'ScalableIterations', 'Restarts', 'Seed', 'DenseLimit', ...
         'SubsetSize', 'PolishLimit', 'Probes'};
if ~isempty(opts.BlockSize)
  whole{end + 1} = 'BlockSize';
end
for i = 1:numel(whole)
  v = opts.(whole{i});
  if ~(isnumeric(v) && isscalar(v) && isreal(v) && v >= 0 && v == fix(v))
    error('krrfit:invalidInput', 'krrfit: %s must be a whole number >= 0', whole{i});
  end
end
if opts.Probes < 1 || any(opts.BlockSize < 1) || opts.SubsetSize < 2
  error('krrfit:invalidInput', 'krrfit: Probes and BlockSize must be at least 1, SubsetSize at least 2');
end
if ~any(strcmp(opts.Method, {'auto', 'dense', 'scalable'}))
  error('krrfit:invalidInput', 'krrfit: Method must be ''auto'', ''dense'' or ''scalable''');
end
if ~(isnumeric(opts.Tolerance) && isscalar(opts.Tolerance) && opts.Tolerance > 0)
  error('krrfit:invalidInput', 'krrfit: Tolerance must be a positive scalar');
end
if ~(isnumeric(opts.CacheBytes) && isscalar(opts.CacheBytes) && opts.CacheBytes >= 0)
  error('krrfit:invalidInput', 'krrfit: CacheBytes must be a number of bytes >= 0');
end
end

function [theta, lo, hi, fixed] = parameters(opts, d, sigma, y_var)
% theta = log ([w(1:d), amplitude, ridge]) in standardised units, w = 1 / (2 l^2), with the
% bounds (a short length scale is a large w) and the fixed entries.
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
fixed = false(d + 2, 1);
if islogical(opts.Fixed) || isnumeric(opts.Fixed)
  if numel(opts.Fixed) ~= d + 2
    error('krrfit:invalidInput', 'krrfit: Fixed as a vector must have d + 2 = %d entries', d + 2);
  end
  fixed = logical(opts.Fixed(:));
else
  names = cellstr(opts.Fixed);
  for i = 1:numel(names)
    switch names{i}
      case 'LengthScales'
        fixed(1:d) = true;
      case 'Amplitude'
        fixed(d + 1) = true;
      case 'Ridge'
        fixed(d + 2) = true;
      otherwise
        error('krrfit:invalidInput', 'krrfit: unknown parameter in Fixed: %s', names{i});
    end
  end
end
% A fixed parameter stays where it starts, even outside the default bounds.
lo(fixed) = theta(fixed);
hi(fixed) = theta(fixed);
theta = min(max(theta, lo), hi);
end

function v = check_positive(v, count, name)
if ~isnumeric(v) || ~isreal(v) || ~(numel(v) == count || numel(v) == 1) || ...
   ~all(v(:) > 0 & isfinite(v(:)))
  error('krrfit:invalidInput', 'krrfit: %s must be positive and finite, 1 x %d or scalar', ...
        name, count);
end
v = double(v(:)') .* ones(1, count);
end

function b = check_bounds(b, name)
if ~isnumeric(b) || numel(b) ~= 2 || ~(b(1) > 0) || ~(b(2) >= b(1)) || ~isfinite(b(2))
  error('krrfit:invalidInput', 'krrfit: %s must be [low high] with 0 < low <= high', name);
end
b = double(b(:)');
end

function theta = fill_in(theta, free, t)
theta(free) = t;
end

function s = stage(opts, start, label)
% The optimiser's settings for one stage.
s = struct('max_iterations', opts.MaxIterations, 'memory', 10, 'gradient_tolerance', 1e-5, ...
           'value_tolerance', 1e-7, 'max_step', 2, 'verbose', opts.Verbose, 'label', label, ...
           'start', start, 'slopes', false, 'history', zeros(0, 4));
end

function subset = seeded_subset(n, m, seed)
% m of the n observations, the same for the same seed, the host's generator left as it was.
saved = rand('state');
rand('state', seed);
subset = sort(randperm(n, m));
rand('state', saved);
end

function [theta, history] = dense_search(Xs, Yc, theta0, free, lo, hi, opts, s, history)
% Exact maximisation from the start and from Restarts perturbed starts; the best is kept.
starts = theta0;
if opts.Restarts > 0
  saved = randn('state');
  randn('state', opts.Seed + 1);
  spread = [ones(numel(theta0) - 2, 1); 0.5; 1];
  for r = 1:opts.Restarts
    starts(:, end + 1) = min(max(theta0 + spread .* randn(size(theta0)), lo), hi);
  end
  randn('state', saved);
  starts(~free, :) = repmat(theta0(~free), 1, size(starts, 2));
end
best = -Inf;
theta = theta0;
for r = 1:size(starts, 2)
  s.history = history;
  fun = @(t) dense_objective(Xs, Yc, fill_in(theta0, free, t), free);
  [t, f, ~, history] = krr_lbfgs(fun, starts(free, r), lo(free), hi(free), s);
  if f > best
    best = f;
    theta = fill_in(theta0, free, t);
  end
end
end

function [f, g] = dense_objective(Xs, Yc, theta, free)
[f, g] = krr_dense_lml(Xs, Yc, theta);
g = g(free);
end

function [f, g] = scalable_step(Xs, Yc, theta, free, settings)
% The scalable slopes (no value), each evaluation warm-started from the last one's
% solutions; called without arguments, it forgets them, so that every stage (and every
% call) takes the same path.
persistent warm;
if nargin == 0
  warm = [];
  return;
end
d = size(Xs, 1);
w = [exp(theta(1:d))', exp(theta(d + 1))];
start = warm;
if size(start, 1) ~= size(Xs, 2) || size(start, 2) ~= settings(1) + size(Yc, 2)
  start = [];
end
[f, g, warm] = krr_lml(Xs, Yc, w, exp(theta(d + 2)), settings, start);
g = g(free);
end

function [f, alpha] = scalable_final(Xs, Yc, theta, opts)
% The final objective, estimated (with the log determinant), and the coefficients solved
% to the fit's tolerance, starting from those the estimate solved for.
[d, n] = size(Xs);
c = size(Yc, 2);
w = [exp(theta(1:d))', exp(theta(d + 1))];
ridge = exp(theta(d + 2));
[f, ~, V] = krr_lml(Xs, Yc, w, ridge, [opts.Probes, opts.Seed, 1e-4, ...
                        block_size(opts, n, opts.Probes + c), opts.CacheBytes, 1, 100, ...
                        1e-6, 1000], []);
[alpha, ~, info] = krr_solve(Xs, Yc, w, ridge, [opts.Tolerance, block_size(opts, n, c), ...
                                                    opts.CacheBytes, opts.Seed, 1000], ...
                                 V(:, 1:c));
if info(1) ~= 0
  warning('krrfit:notConverged', ...
          'krrfit: the final solve ended before its tolerance (status %d); Alpha is the iterate reached', ...
          info(1));
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

%!error <expected X, Y> krrfit (1)
%!error <X must be a real n x d matrix> krrfit ({1}, 1)
%!error <Y must be a real n x c matrix with one row per row of X \(n = 3\)> krrfit (ones (3, 2), ones (4, 1))
%!error <X and Y must be finite> krrfit ([1; NaN; 2], [1; 2; 3])
%!error <at least 2 observations> krrfit (1, 1)
%!error <MaxIterations must be a whole number> krrfit (rand (5, 1), rand (5, 1), "MaxIterations", 1.5)
%!error <Probes and BlockSize must be at least 1> krrfit (rand (5, 1), rand (5, 1), "Probes", 0)
%!error <Method must be> krrfit (rand (5, 1), rand (5, 1), "Method", "fast")
%!error <Tolerance must be a positive scalar> krrfit (rand (5, 1), rand (5, 1), "Tolerance", 0)
%!error <CacheBytes must be a number of bytes> krrfit (rand (5, 1), rand (5, 1), "CacheBytes", -1)
%!error <LengthScales must be positive and finite, 1 x 2> krrfit (rand (5, 2), rand (5, 1), "LengthScales", [1 -1])
%!error <RidgeBounds must be \[low high\]> krrfit (rand (5, 1), rand (5, 1), "RidgeBounds", [1 0.5])
%!error <Fixed as a vector must have d \+ 2 = 3> krrfit (rand (5, 1), rand (5, 1), "Fixed", [true false])
%!error <unknown parameter in Fixed: Noise> krrfit (rand (5, 1), rand (5, 1), "Fixed", {"Noise"})
