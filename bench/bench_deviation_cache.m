function bench_deviation_cache(model_file, diamonds, checked)
% bench_deviation_cache (model_file, diamonds, checked)
%
% krrpredict's deviations of the 10,000 diamonds test rows from a learned model (the
% variable m in model_file, learned by krrfit on the first n training rows of the split):
%   1. the approximate method from a model without a DeviationCache: the factor built, the
%      latent ('curve') deviations of every test row and the check of 16 of them;
%   2. the same from the returned model, its cache kept: the rows and the check; without
%      the check (DeviationTolerance Inf); the predictions alone, for the ratio;
%   3. exact deviations of `checked` test rows spread evenly (default 200), preconditioned
%      by the cache: their time and passes, and the relative errors of the approximate
%      deviations there, for the curve and for a new observation;
%   4. the coverage of the 50%, 80% and 95% intervals of new observations over all rows.
% Prints a markdown table. Verbose lines are printed as they come.
if nargin < 3
  checked = 200;
end
load(model_file, 'm');
[~, ~, Xte, yte] = diamonds_data(diamonds, columns(m.X));
nt = rows(Xte);
n = columns(m.X);
warning('off', 'krrpredict:approximate');
printf('n = %d, ridge %.4g, amplitude %.4g, %d test rows\n\n', n, m.Ridge, m.Amplitude, nt);
start = tic();
[~, curve, ~, kept] = krrpredict(m, Xte, 'Method', 'approximate', 'Prediction', 'curve');
t_first = toc(start);
r = numel(kept.DeviationCache.Pivots);
start = tic();
[~, curve2] = krrpredict(kept, Xte, 'Method', 'approximate', 'Prediction', 'curve');
t_kept = toc(start);
start = tic();
[pred, obs] = krrpredict(kept, Xte, 'Method', 'approximate', 'DeviationTolerance', Inf);
t_unchecked = toc(start);
start = tic();
krrpredict(kept, Xte);
t_pred = toc(start);
assert(isequal(curve, curve2));
rows = floor(((0:checked - 1)' + 0.5) * nt / checked) + 1;
start = tic();
[~, exact_curve] = krrpredict(kept, Xte(rows, :), 'Method', 'exact', 'Prediction', 'curve');
t_exact = toc(start);
exact_obs = sqrt(exact_curve .^ 2 + m.Ridge * m.YScale(1) ^ 2);
err_curve = sort(abs(curve(rows, 1) - exact_curve(:, 1)) ./ exact_curve(:, 1));
err_obs = sort(abs(obs(rows, 1) - exact_obs(:, 1)) ./ exact_obs(:, 1));
q = @(e, p) e(max(1, ceil(p / 100 * numel(e))));
printf('\n| step | seconds |\n|---|---|\n');
printf('| factor (rank %d, largest left-out %.2g Ridge) + all %d rows + check of 16, from a model without a cache | %.1f |\n', ...
       r, kept.DeviationCache.LeftOut / m.Ridge, nt, t_first);
printf('| all %d rows + check of 16, from the cache | %.1f |\n', nt, t_kept);
printf('| all %d rows, no check (DeviationTolerance Inf), with the predictions | %.1f |\n', nt, t_unchecked);
printf('| the predictions alone | %.1f |\n', t_pred);
printf('| exact deviations of %d rows, preconditioned by the cache | %.1f |\n', checked, t_exact);
printf('\nRelative error of the approximate deviations against the exact ones on %d rows: curve median %.2g, 95th percentile %.2g, largest %.2g; observation median %.2g, 95th percentile %.2g, largest %.2g\n', ...
       checked, q(err_curve, 50), q(err_curve, 95), err_curve(end), q(err_obs, 50), q(err_obs, 95), err_obs(end));
z = sqrt(2) * erfcinv([0.5 0.2 0.05]);
printf('\n| interval | coverage of the %d test rows |\n|---|---|\n', nt);
for i = 1:3
  printf('| %.0f%% | %.1f%% |\n', 100 * [0.5 0.8 0.95](i), 100 * mean(abs(yte - pred) <= z(i) * obs));
end
end
