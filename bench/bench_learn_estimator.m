function bench_learn_estimator(file, sizes, probes)
% bench_learn_estimator (file, sizes, probes)
%
% The scalable marginal-likelihood estimates against the exact dense ones on the diamonds
% training sets (diamonds_data) at each n in sizes, at the hyperparameters krrfit learns
% exactly on the first 2,000 rows (where the scalable stage starts), for each probe count:
% the gradient's error (largest component and norm, against the exact gradient's norm) with
% the solves at krrfit's tolerance (1e-2), and the log determinant's error against the
% standard error the estimate states. Prints a markdown table.
printf('| n | probes | grad error / norm of grad | largest component error | norm of grad | log det error | stated error | estimate (s) | dense (s) |\n');
printf('|---|---|---|---|---|---|---|---|---|\n');
for n = sizes
  [X, y] = diamonds_data(file, n);
  start = krrfit(X(1:2000, :), y(1:2000), 'Verbose', false);
  Xs = ((X - start.Mu) ./ start.Sigma)';
  yc = y - mean(y);
  d = rows(Xs);
  theta = [log(start.Weights(1:d))'; log(start.Amplitude); log(start.Ridge)];
  % krr_dense_lml and krr_lml are private to krrfit's folder: called from there.
  here = cd(fullfile(fileparts(which('krrfit')), 'private'));
  unwind_protect
    t = tic();
    [f, g] = krr_dense_lml(Xs, yc, theta);
    dense_s = toc(t);
    logdet = -2 * (f + 0.5 * yc' * ((start.Amplitude * exp(-sqd(Xs, start.Weights(1:d))) + ...
                                      start.Ridge * eye(n)) \ yc) + 0.5 * n * log(2 * pi));
    for p = probes
      t = tic();
      [~, ge] = krr_lml(Xs, yc, start.Weights, start.Ridge, [], 'Probes', p, 'Tolerance', 1e-2, ...
                        'BlockSize', 256, 'LogDet', 'none', 'LanczosSteps', 60);
      est_s = toc(t);
      [~, ~, ~, info] = krr_lml(Xs, yc, start.Weights, start.Ridge, [], 'Probes', p, ...
                                'Tolerance', 1e-4, 'BlockSize', 256, 'LanczosSteps', 100);
      printf('| %d | %d | %.3f | %.3g | %.3g | %.3g | %.3g | %.1f | %.1f |\n', n, p, ...
             norm(ge - g) / norm(g), max(abs(ge - g)), norm(g), info.LogDet - logdet, ...
             info.LogDetError, est_s, dense_s);
    end
  unwind_protect_cleanup
    cd(here);
  end_unwind_protect
end
end

function S = sqd(X, w)
% sum_l w(l) (x_il - x_jl)^2 for the columns of X, from differences.
n = columns(X);
S = zeros(n);
for l = 1:rows(X)
  S = S + w(l) * (X(l, :)' - X(l, :)) .^ 2;
end
end
