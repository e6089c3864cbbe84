function learner_answers(what, diabetes, diamonds)
% learner_answers (what, diabetes, diamonds)
%
% The learner's answers and times on the benchmark data, one markdown row per case, for
% comparing two builds of krrfit case by case (bench/compare_learners.sh runs this once
% per build and per case, alternating). what names the case:
%   'diabetes'       20 seeded 80/20 splits of the diabetes data (exact, dense): the means
%                    of the log marginal likelihood and test RMSE, and the total seconds
%   'diamonds N'     the diamonds split at N training rows, defaults: test RMSE in
%                    standardised log-price units
%   'friedman N'     Friedman-1 data with five irrelevant features (rand/randn state 0),
%                    defaults, scored against the noiseless function on 10,000 test rows
% Columns: case, log marginal likelihood (its stated error), test RMSE, fit seconds, Method.
warning('off', 'krrfit:atBound');
parts = strsplit(what, ' ');
switch parts{1}
  case 'diabetes'
    D = dlmread(diabetes, ',', 1, 0);
    X = D(:, 1:10);
    y = D(:, 11);
    n = rows(X);
    rand('state', 42);
    f = zeros(20, 1);
    r = zeros(20, 1);
    seconds = 0;
    for s = 1:20
      order = randperm(n);
      test = order(1:round(0.2 * n));
      train = order(round(0.2 * n) + 1:end);
      m = krrfit(X(train, :), y(train), 'Verbose', false);
      f(s) = m.LogMarginalLikelihood;
      r(s) = sqrt(mean((krrpredict(m, X(test, :)) - y(test)) .^ 2));
      seconds = seconds + m.Seconds;
    end
    printf('| diabetes, 20 splits (means) | %.6f | %.4f | %.2f | | %s |\n', mean(f), mean(r), ...
           seconds, m.Method);
    return;
  case 'diamonds'
    n = str2double(parts{2});
    [Xtr, ytr, Xte, yte] = diamonds_data(diamonds, n);
    truth = yte;
  case 'friedman'
    n = str2double(parts{2});
    rand('state', 0);
    randn('state', 0);
    total = n + 10000;
    X = rand(total, 10);
    truth = 10 * sin(pi * X(:, 1) .* X(:, 2)) + 20 * (X(:, 3) - 0.5) .^ 2 + 10 * X(:, 4) + 5 * X(:, 5);
    y = truth + randn(total, 1);
    Xtr = X(1:n, :);
    ytr = y(1:n);
    Xte = X(n + 1:end, :);
    truth = truth(n + 1:end);
end
m = krrfit(Xtr, ytr, 'Verbose', false);
rmse = sqrt(mean((krrpredict(m, Xte) - truth) .^ 2));
printf('| %s | %.6f (%.3g) | %.4f | %.1f | %.1f | %s |\n', what, m.LogMarginalLikelihood, ...
       m.LogMarginalLikelihoodError, rmse, m.Seconds, m.FinalPasses(2), m.Method);
end
