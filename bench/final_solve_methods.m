function final_solve_methods(build, model_file, diamonds)
% final_solve_methods (BUILD, MODEL_FILE, DIAMONDS)
%
% The learner's final solve of a diamonds model (MODEL_FILE: a MAT-file holding the
% variable m, krrfit's model at 40,000 rows) two ways, with a kernel cache of 2 GB (a sixth
% of K) and of 13 GB (all of it): block descent (the learner's final solve) against
% conjugate gradients preconditioned by a rank-1,000 pivoted Cholesky factor (krr_lml's
% solves), each to the learner's tolerance 1e-8 relative to the right side's largest entry.
% BUILD: a build folder (its private/ holds krr_solve and krr_lml).
addpath(build, fullfile(build, 'private'), fileparts(mfilename('fullpath')));
[Xtr, ytr] = diamonds_data(diamonds, 40000);
S = load(model_file); m = S.m;
Y = ytr - m.YMean; w = m.Weights(:)'; ridge = m.Ridge;
printf('ridge %g amplitude %g\n', ridge, w(end));
for cache = [2e9 13e9]
  [V, G, info] = krr_solve(m.X, Y, w, ridge, [], 'Tolerance', 1e-8, 'CacheBytes', cache);
  printf('cache %.0f GB  descent: %s, %.1f passes, %.1f s (columns %.1f s)\n', cache/1e9, info.Status, info.Passes, info.Seconds, info.ColumnSeconds);
  [f, g, V2, info2] = krr_lml(m.X, Y, w, ridge, [], 'Probes', 1, 'LogDet', 'only', 'Rank', 1000, 'LogDetRank', 0, 'LanczosSteps', 1, 'Tolerance', 1e-8, 'CacheBytes', cache);
  printf('cache %.0f GB  CG rank 1000: %s, %.1f passes over K, %.1f s (columns %.1f s); |alpha diff| %.3g\n', cache/1e9, info2.Status, info2.PassesOverK, info2.Seconds, info2.ColumnSeconds, max(abs(V2(:,1) - V(:,1))) / max(abs(V(:,1))));
end
end
