function log_det_ranks(file, sizes, ranks, exact_limit)
% log_det_ranks (file, sizes, ranks, exact_limit)
%
% The estimate krrfit makes of the objective on all n (krr_lml with the log determinant, the
% solves to 1e-4, 8 probes, at most 100 Lanczos steps), with the log determinant's Lanczos
% preconditioned by a pivoted partial Cholesky factor of K of each rank in ranks (0: none),
% on the diamonds training sets (diamonds_data) at each n in sizes, at the hyperparameters
% krrfit learns exactly on the first 2,000 rows. For each: the log determinant, its stated
% error, its distance to the exact one (by a dense Cholesky factorisation, where n <=
% exact_limit, default 10000), the Lanczos steps, the passes over K and the seconds.
% Prints a markdown table. Every call at one n shares nothing with the others: each builds
% its own kernel cache, so each pays for filling it.
if nargin < 4
  exact_limit = 10000;
end
printf('| n | rank | log det | stated error | minus the exact | Lanczos steps | passes over K | seconds |\n');
printf('|---|---|---|---|---|---|---|---|\n');
for n = sizes
  [X, y] = diamonds_data(file, n);
  start = krrfit(X(1:2000, :), y(1:2000), 'Verbose', false);
  Xs = ((X - start.Mu) ./ start.Sigma)';
  yc = y - mean(y);
  exact = NaN;
  if n <= exact_limit
    A = ard_cross_kernel(Xs, Xs, start.Weights) + start.Ridge * eye(n);
    exact = 2 * sum(log(diag(chol(A))));
    clear A;
  end
  % krr_lml is private to krrfit's folder: called from there.
  here = cd(fullfile(fileparts(which('krrfit')), 'private'));
  unwind_protect
    for r = ranks
      t = tic();
      [~, ~, ~, info] = krr_lml(Xs, yc, start.Weights, start.Ridge, [], 'Probes', 8, ...
                                'Tolerance', 1e-4, 'BlockSize', 256, 'LanczosSteps', 100, ...
                                'LogDetRank', r);
      seconds = toc(t);
      printf('| %d | %d | %.1f | %.2f | %.2f | %d | %.1f | %.1f |\n', n, r, info.LogDet, ...
             info.LogDetError, info.LogDet - exact, info.LanczosSteps, info.PassesOverK, seconds);
      fflush(stdout);
    end
  unwind_protect_cleanup
    cd(here);
  end_unwind_protect
end
end
