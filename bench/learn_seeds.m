function learn_seeds(file, n, probes, seeds, varargin)
% learn_seeds (file, n, probes, seeds, option, value, ...)
%
% How much the probes and the seed move a default krrfit on the diamonds split
% (diamonds_data, n training rows): for each number of probes and each seed, the fit's
% seconds, the test RMSE on the 10,000 test rows, the reported objective with its stated
% error, and how the scalable stage ended. Further name-value pairs go to every krrfit
% call. Prints a markdown table.
[X, y, Xt, yt] = diamonds_data(file, n);
warning('off', 'krrfit:atBound', 'local');
printf('| probes | seed | fit (s) | test RMSE | objective (stated error) | how it was fitted |\n');
printf('|---|---|---|---|---|---|\n');
for p = probes
  for seed = seeds
    t = tic();
    m = krrfit(X, y, 'Verbose', false, 'Probes', p, 'Seed', seed, varargin{:});
    seconds = toc(t);
    rmse = sqrt(mean((krrpredict(m, Xt) - yt) .^ 2));
    printf('| %d | %d | %.0f | %.4f | %.2f (%.2f) | %s |\n', p, seed, seconds, rmse, ...
           m.LogMarginalLikelihood, m.LogMarginalLikelihoodError, m.Method);
    fflush(stdout);
  end
end
end
