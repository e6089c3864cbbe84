function bench_learn_diamonds(file, sizes, csv, python, dense_at)
% bench_learn_diamonds (file, sizes, csv, python, dense_at)
%
% Learned exact kernel ridge (krrfit, default options) against the isotropic grid-searched
% exact fit (tarvel) and a 2,000-centre Nystroem fit with the grid's hyperparameters
% (scikit-learn, run by the command in python, skipped when it is empty), on the diamonds
% split (diamonds_data), at each training size in sizes. The grid is scored by 5-fold
% cross-validation on the first 3,000 training rows. At the size dense_at (default the
% smallest; 0 for none) krrfit is also run with Method 'dense' (exact at every step) to
% compare time and objective.
% Prints a markdown table and appends each row to csv:
%   n, method (1 learned, 2 grid exact, 3 Nystroem, 4 learned dense), test RMSE, seconds,
%   log marginal likelihood (NaN where none).
if nargin < 5
  dense_at = min(sizes);
end
[X3, y3] = diamonds_data(file, 3000);
[w, amplitude, ridge] = grid_search(X3, y3);
printf('Grid (5-fold CV on 3000 rows): w = %g per standardised feature, amplitude %g, ridge %g\n\n', ...
       w, amplitude, ridge);
printf('| n | method | test RMSE | seconds | log marginal likelihood |\n|---|---|---|---|---|\n');
names = {'learned (krrfit)', 'isotropic grid, exact (tarvel)', 'isotropic grid, Nystroem 2000', ...
         'learned, dense exact at every step'};
for n = sizes
  [Xtr, ytr, Xte, yte] = diamonds_data(file, n);
  runs = 1:3;
  if n == dense_at
    runs(end + 1) = 4;
  end
  for method = runs
    f = NaN;
    switch method
      case {1, 4}
        how = 'auto';
        if method == 4
          how = 'dense';
        end
        model = krrfit(Xtr, ytr, 'Method', how);
        rmse = sqrt(mean((krrpredict(model, Xte) - yte) .^ 2));
        seconds = model.Seconds;
        f = model.LogMarginalLikelihood;
        printf('krrfit at n = %d: length scales %s, amplitude %.4g, ridge %.4g\n', n, ...
               mat2str(model.LengthScales, 4), model.Amplitude, model.Ridge);
      case 2
        start = tic();
        [rmse] = grid_fit(Xtr, ytr, Xte, yte, w, amplitude, ridge);
        seconds = toc(start);
      case 3
        if isempty(python)
          continue;
        end
        [status, out] = system(sprintf('%s %s %d %.17g %.17g %.17g 2000', python, file, n, w, ...
                                       amplitude, ridge));
        if status ~= 0
          printf('Nystroem run failed: %s\n', out);
          continue;
        end
        v = sscanf(out, '%f');
        rmse = v(1);
        seconds = v(2);
    end
    printf('| %d | %s | %.4f | %.1f | %.6g |\n', n, names{method}, rmse, seconds, f);
    dlmwrite(csv, [n, method, rmse, seconds, f], '-append', 'precision', '%.6g');
  end
end
end

function [Xs, Xts] = standardise(X, Xt)
mu = mean(X, 1);
sigma = std(X, 0, 1);
Xs = ((X - mu) ./ sigma)';
Xts = ((Xt - mu) ./ sigma)';
end

function rmse = grid_fit(X, y, Xt, yt, w, amplitude, ridge)
[Xs, Xts] = standardise(X, Xt);
weights = [w * ones(1, rows(Xs)), amplitude];
evalc('alpha = tarvel(Xs, y, weights, ridge, 1e-8, 64, Inf);');
rmse = sqrt(mean((quorril(Xts, Xs, weights, alpha) - yt) .^ 2));
end

function [w_best, amplitude, ridge_best] = grid_search(X, y)
% The isotropic grid: one weight for every standardised feature and the ridge, amplitude 1
% (the targets are standardised), by 5-fold cross-validated squared error. The folds are
% solved directly (n = 2,400: a dense solve is the faster route at that size).
amplitude = 1;
n = rows(X);
folds = mod(0:n - 1, 5) + 1;
best = Inf;
for w = [0.01 0.03 0.1 0.3 1]
  for ridge = [0.001 0.003 0.01 0.03 0.1]
    err = 0;
    for f = 1:5
      fit = folds ~= f;
      [Xs, Xts] = standardise(X(fit, :), X(~fit, :));
      K = amplitude * exp(-w * squared_distances(Xs, Xs));
      alpha = (K + ridge * eye(columns(Xs))) \ y(fit);
      Kt = amplitude * exp(-w * squared_distances(Xts, Xs));
      err = err + sum((Kt * alpha - y(~fit)) .^ 2);
    end
    if err < best
      best = err;
      w_best = w;
      ridge_best = ridge;
    end
  end
end
end

function D = squared_distances(A, B)
% Squared distances between the columns of A and of B (standardised data: no cancellation
% worth the name).
D = max(sum(A .^ 2, 1)' + sum(B .^ 2, 1) - 2 * (A' * B), 0);
end
