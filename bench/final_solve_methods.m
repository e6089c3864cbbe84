function final_solve_methods(build, what, diamonds, model_file)
% final_solve_methods (BUILD, WHAT, DIAMONDS [, MODEL_FILE])
%
% The learner's final solve two ways, on the model krrfit learns with defaults: block
% descent (the learner's final solve, krr_solve, k = 64) against conjugate gradients
% preconditioned by a rank-1,000 pivoted Cholesky factor (krr_lml's solves), each to the
% learner's tolerance 1e-8 relative to the right side's largest entry, with a kernel cache
% that holds a sixth of K and with one that holds all of it. One markdown row per cache.
%   BUILD       a build folder (its private/ holds krr_solve and krr_lml)
%   WHAT        'diamonds N' (the diamonds split at N training rows, from DIAMONDS) or
%               'friedman N' (bench/friedman_data.m, seed 0)
%   MODEL_FILE  a MAT-file holding the variable m, the model learned on that data; where
%               given and present it is used, where given and missing it is written
addpath(build, fullfile(build, 'private'), fileparts(mfilename('fullpath')));
warning('off', 'krrfit:atBound');
parts = strsplit(what, ' ');
n = str2double(parts{2});
if strcmp(parts{1}, 'diamonds')
  [Xtr, ytr] = diamonds_data(diamonds, n);
else
  [X, y] = friedman_data(n, 0);
  Xtr = X';
  ytr = y(:);
end
if nargin > 3 && exist(model_file, 'file')
  S = load(model_file);
  m = S.m;
else
  m = krrfit(Xtr, ytr, 'Verbose', false);
  if nargin > 3
    save('-binary', model_file, 'm');
  end
end
Y = ytr - m.YMean;
w = m.Weights(:)';
whole = 8 * n * n;
for cache = [whole / 6, 1.05 * whole]
  [V, ~, a] = krr_solve(m.X, Y, w, m.Ridge, [], 'Tolerance', 1e-8, 'CacheBytes', cache);
  [~, ~, V2, b] = krr_lml(m.X, Y, w, m.Ridge, [], 'Probes', 1, 'LogDet', 'only', 'Rank', 1000, ...
                          'LogDetRank', 0, 'LanczosSteps', 1, 'Tolerance', 1e-8, 'CacheBytes', cache);
  printf('| %s | %.3g | %.3g | %s | %s, %.1f passes, %.1f s | %s, %.1f passes, %.1f s | %.2g |\n', ...
         what, m.Ridge, w(end), ifelse_text(cache < whole, 'a sixth of K', 'all of K'), ...
         a.Status, a.Passes, a.Seconds, b.Status, b.PassesOverK, b.Seconds, ...
         max(abs(V2(:, 1) - V(:, 1))) / max(abs(V(:, 1))));
end
end

function t = ifelse_text(c, a, b)
if c
  t = a;
else
  t = b;
end
end
