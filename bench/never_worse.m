function never_worse(sizes, exact_up_to, starts, options)
% never_worse (sizes, exact_up_to, starts, options)
%
% Whether the learner's scalable stage leaves the model at least as good as its
% start, and whether more rows give a better model, on Friedman-1 data with five irrelevant
% features: 10 inputs uniform on [0, 1], y = 10 sin(pi x1 x2) + 20 (x3 - 0.5)^2 + 10 x4
% + 5 x5 + unit Gaussian noise (rand and randn state 0), 10,000 test rows scored against
% the noiseless function. At each n in sizes, krrfit with default options (the end) and
% with ScalableIterations 0 (the stage's start, the subset's optimum); up to exact_up_to
% rows (default 10000) also both exact objectives. With starts false, the default fit
% alone (the series of more rows). Prints a markdown table, with the reported objective and
% its stated error and the final estimate's and solve's passes over K; fits above 50,000
% rows print their progress lines too. options: a cell array of further krrfit options,
% given to every fit (default none).
if nargin < 2
  exact_up_to = 10000;
end
if nargin < 3
  starts = true;
end
if nargin < 4
  options = {};
end
runs = [0, 10];
if ~starts
  runs = 10;
end
rand('state', 0);
randn('state', 0);
total = max(sizes) + 10000;
X = rand(total, 10);
truth = 10 * sin(pi * X(:, 1) .* X(:, 2)) + 20 * (X(:, 3) - 0.5) .^ 2 + 10 * X(:, 4) + 5 * X(:, 5);
y = truth + randn(total, 1);
test = max(sizes) + 1:total;
printf('| n | model | test RMSE | exact objective | reported objective (error) | seconds | final passes (estimate, solve) | Method |\n|---|---|---|---|---|---|---|---|\n');
for n = sizes
  for iterations = runs
    warning('off', 'krrfit:atBound', 'local');
    t = tic();
    m = krrfit(X(1:n, :), y(1:n), 'ScalableIterations', iterations, 'Verbose', n > 50000, ...
               options{:});
    seconds = toc(t);
    rmse = sqrt(mean((krrpredict(m, X(test, :)) - truth(test)) .^ 2));
    f = NaN;
    if n <= exact_up_to
      here = cd(fullfile(fileparts(which('krrfit')), 'private'));
      f = krr_dense_lml(m.X, y(1:n) - m.YMean, log([m.Weights, m.Ridge])', true);
      cd(here);
    end
    names = {'start', 'end'};
    printf('| %d | %s | %.4f | %.2f | %.2f (%.2f) | %.0f | %.0f, %.0f | %s |\n', n, ...
           names{1 + (iterations > 0)}, rmse, f, m.LogMarginalLikelihood, ...
           m.LogMarginalLikelihoodError, seconds, m.FinalPasses, m.Method);
  end
end
end
