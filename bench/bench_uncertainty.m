function bench_uncertainty(diamonds, python, part)
% bench_uncertainty (diamonds, python, part)
%
% krrpredict's predictive deviations and intervals (its second and third outputs):
%   'diabetes'  the empirical coverage of the 50%, 80% and 95% intervals of new
%               observations on the held-out 20% of 20 random 80/20 splits (seeded), each
%               model learned by krrfit on the other 80%; the exact method
%   'diamonds'  krrfit on the first 20,000 training rows of the diamonds split, then the
%               10,000 test rows: the coverage of the three intervals (approximate method),
%               its time, and its error against the exact method on the first 200 test rows
%   'scale'     the same hyperparameters on 40,000 training rows: the approximate method
%               on all 10,000 test rows, the exact one on the first 50, their times and the
%               approximate method's error against the exact one
%   'peer'      2,000 training rows, the hyperparameters learned at 20,000: the latent
%               deviations against scikit-learn's GaussianProcessRegressor (return_std) with
%               the same kernel and noise, run by the command in python
% part: a cell array of these (default all). Prints markdown tables.
if nargin < 3
  part = {'diabetes', 'diamonds', 'scale', 'peer'};
end
levels = [0.5, 0.8, 0.95];
if any(strcmp(part, 'diabetes'))
  here = fileparts(mfilename('fullpath'));
  D = dlmread(fullfile(here, '..', 'examples', 'data', 'diabetes.csv'), ',', 1, 0);
  X = D(:, 1:10);
  y = D(:, 11);
  n = rows(X);
  covered = zeros(20, 3);
  width = zeros(20, 1);
  for split = 1:20
    order = seeded_order(n, split);
    test = order(1:round(0.2 * n));
    train = order(round(0.2 * n) + 1:end);
    model = krrfit(X(train, :), y(train), 'Verbose', false);
    for i = 1:3
      [p, sd, yint] = krrpredict(model, X(test, :), 'Alpha', 1 - levels(i), 'Verbose', false);
      covered(split, i) = mean(y(test) >= yint(:, 1) & y(test) <= yint(:, 2));
    end
    width(split) = mean(sd);
  end
  printf('Diabetes, 20 random 80/20 splits, coverage of new observations (mean, min, max over the splits):\n\n');
  printf('| interval | mean | min | max |\n|---|---|---|---|\n');
  for i = 1:3
    printf('| %.0f%% | %.1f%% | %.1f%% | %.1f%% |\n', 100 * levels(i), 100 * mean(covered(:, i)), ...
           100 * min(covered(:, i)), 100 * max(covered(:, i)));
  end
  printf('\nMean predictive deviation %.1f (progression units)\n\n', mean(width));
end
model = [];
if any(strcmp(part, 'diamonds')) || any(strcmp(part, 'scale')) || any(strcmp(part, 'peer'))
  [Xtr, ytr, Xte, yte] = diamonds_data(diamonds, 20000);
  start = tic();
  model = krrfit(Xtr, ytr, 'Verbose', false);
  printf('Diamonds, n = 20,000: krrfit in %.0f s; ridge %.4g, amplitude %.4g\n\n', toc(start), ...
         model.Ridge, model.Amplitude);
end
if any(strcmp(part, 'diamonds'))
  printf('| interval | coverage of the 10,000 test rows | seconds (approximate, all rows) |\n|---|---|---|\n');
  for i = 1:3
    start = tic();
    [p, sd, yint] = krrpredict(model, Xte, 'Alpha', 1 - levels(i), 'Method', 'approximate', ...
                               'Verbose', i == 1);
    t = toc(start);
    printf('| %.0f%% | %.1f%% | %.1f |\n', 100 * levels(i), ...
           100 * mean(yte >= yint(:, 1) & yte <= yint(:, 2)), t);
  end
  start = tic();
  [~, exact] = krrpredict(model, Xte(1:200, :), 'Method', 'exact');
  t = toc(start);
  [~, approx] = krrpredict(model, Xte(1:200, :), 'Method', 'approximate', 'Verbose', false);
  err = abs(approx(:, 1) - exact(:, 1)) ./ exact(:, 1);
  printf('\nExact deviations of 200 test rows: %.0f s. The approximate method''s relative error there: median %.2g, 95th percentile %.2g, largest %.2g\n\n', ...
         t, median(err), prctile_of(err, 95), max(err));
end
if any(strcmp(part, 'scale'))
  [X40, ~, Xte40] = diamonds_data(diamonds, 40000);
  m40 = model;
  m40.X = ((X40 - model.Mu) ./ model.Sigma)';
  m40.Alpha = zeros(rows(X40), 1);
  start = tic();
  [~, approx] = krrpredict(m40, Xte40, 'Method', 'approximate');
  t_approx = toc(start);
  start = tic();
  [~, exact] = krrpredict(m40, Xte40(1:50, :), 'Method', 'exact');
  t_exact = toc(start);
  err = abs(approx(1:50, 1) - exact(:, 1)) ./ exact(:, 1);
  printf('n = 40,000: approximate deviations of all 10,000 test rows in %.1f s; exact ones of the first 50 in %.0f s; the approximate method''s relative error on those 50: median %.2g, 95th percentile %.2g, largest %.2g\n\n', ...
         t_approx, t_exact, median(err), prctile_of(err, 95), max(err));
end
if any(strcmp(part, 'peer')) && ~isempty(python)
  [X2, y2, Xte2] = diamonds_data(diamonds, 2000);
  m2 = model;
  m2.X = ((X2 - model.Mu) ./ model.Sigma)';
  m2.Alpha = zeros(rows(X2), 1);
  [~, sd] = krrpredict(m2, Xte2(1:1000, :), 'Method', 'exact', 'Prediction', 'curve', 'Verbose', false);
  folder = tempname();
  mkdir(folder);
  dlmwrite(fullfile(folder, 'train.csv'), m2.X', 'precision', '%.17g');
  dlmwrite(fullfile(folder, 'test.csv'), ((Xte2(1:1000, :) - model.Mu) ./ model.Sigma), 'precision', '%.17g');
  dlmwrite(fullfile(folder, 'y.csv'), y2, 'precision', '%.17g');
  lengths = sqrt(1 ./ (2 * model.Weights(1:end - 1)));
  [status, out] = system(sprintf('%s %s %s %.17g %.17g %s', python, ...
                                 fullfile(fileparts(mfilename('fullpath')), 'sklearn_gp_std.py'), ...
                                 folder, model.Amplitude, model.Ridge, sprintf('%.17g ', lengths)));
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
  if status ~= 0
    printf('scikit-learn run failed: %s\n', out);
  else
    theirs = sscanf(out, '%f');
    err = abs(sd(:, 1) - theirs) ./ theirs;
    printf('n = 2,000, 1,000 test rows: latent deviations against scikit-learn''s GaussianProcessRegressor, relative difference median %.2g, largest %.2g\n', ...
           median(err), max(err));
  end
end
end

function order = seeded_order(n, seed)
% A permutation of 1:n from a seeded generator, leaving the session's generators alone.
state = seed;
keys = zeros(n, 1);
for i = 1:n
  state = mod(48271 * state + 1, 2147483647);
  keys(i) = state;
end
[~, order] = sort(keys);
end

function p = prctile_of(v, q)
% The q-th percentile by the nearest rank, without the statistics package.
v = sort(v(:));
p = v(max(1, ceil(q / 100 * numel(v))));
end
