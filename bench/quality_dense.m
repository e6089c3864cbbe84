function quality_dense(file, n)
% quality_dense (file, n)
%
% How close the scalable stage comes to the dense exact optimum, at a size where both
% run: the diamonds split (diamonds_data, n training rows) and Friedman-1 data with five
% irrelevant features (10 inputs, unit noise, rand and randn state 0). For each, krrfit
% with Method 'dense' (the exact optimum) and with PolishLimit 0 (the subset, then the
% scalable stage), both otherwise at their defaults; the exact objective at each model's
% hyperparameters, and the stated error of the scalable estimate of that objective (half
% the probes' standard error of the log determinant, from krr_lml with the default
% probes), with each model's test RMSE. Prints a markdown table.
[Xd, yd, Xdt, ydt] = diamonds_data(file, n);
rand('state', 0);
randn('state', 0);
Xf = rand(n + 10000, 10);
truth = 10 * sin(pi * Xf(:, 1) .* Xf(:, 2)) + 20 * (Xf(:, 3) - 0.5) .^ 2 + 10 * Xf(:, 4) ...
        + 5 * Xf(:, 5);
yf = truth + randn(rows(Xf), 1);
sets = {'diamonds', Xd, yd, Xdt, ydt; ...
        'Friedman', Xf(1:n, :), yf(1:n), Xf(n + 1:end, :), truth(n + 1:end)};
printf('| data | n | fit | exact objective | stated error | gap to the dense optimum | test RMSE | seconds |\n');
printf('|---|---|---|---|---|---|---|---|\n');
warning('off', 'krrfit:atBound', 'local');
for i = 1:rows(sets)
  [name, X, y, Xt, yt] = sets{i, :};
  t = tic();
  dense = krrfit(X, y, 'Method', 'dense', 'Verbose', false);
  dense_seconds = toc(t);
  t = tic();
  scalable = krrfit(X, y, 'PolishLimit', 0, 'Verbose', false);
  scalable_seconds = toc(t);
  here = cd(fullfile(fileparts(which('krrfit')), 'private'));
  objective = @(m) krr_dense_lml(m.X, y - m.YMean, log([m.Weights, m.Ridge])', true);
  f_dense = objective(dense);
  f_scalable = objective(scalable);
  % The stated error of the estimate krrfit makes where it cannot compute the exact one.
  [~, ~, ~, info] = krr_lml(scalable.X, y - scalable.YMean, scalable.Weights, scalable.Ridge, ...
                            [], 'Probes', 8, 'Tolerance', 1e-4, 'BlockSize', 256, ...
                            'LanczosSteps', 100, 'LogDetRank', 1000);
  cd(here);
  rmse = @(m) sqrt(mean((krrpredict(m, Xt) - yt) .^ 2));
  printf('| %s | %d | dense | %.2f | | | %.4f | %.0f |\n', name, n, f_dense, rmse(dense), ...
         dense_seconds);
  printf('| %s | %d | scalable | %.2f | %.2f | %.2f | %.4f | %.0f |\n', name, n, f_scalable, ...
         0.5 * info.LogDetError, f_dense - f_scalable, rmse(scalable), scalable_seconds);
  printf('|  |  | %s |  |  |  |  |  |\n', scalable.Method);
end
end
