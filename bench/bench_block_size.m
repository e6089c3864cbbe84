% BENCH_BLOCK_SIZE  tarvel's training time against the block size k at one n, with the
% settings of bench_train (medians of 3 runs).
%
%   bench_block_size (n, ks)

function bench_block_size (n, ks)
  w = [2 * ones(1, 8), 1];
  [X, y] = friedman_data (n, n);
  tol = 1e-4 * max (abs (y));
  printf ("| k | tarvel (s) at n = %d | block steps | passes |\n|---|---|---|---|\n", n);
  for k = ks
    t = zeros (1, 3);
    for r = 1:3
      tic;
      evalc ("[~, ~, ~, evals] = tarvel (X, y, w, 0.1, tol, k, 8 * n^2);");
      t(r) = toc;
    endfor
    printf ("| %d | %.2f | %d | %.1f |\n", k, median (t), evals / (n * k), evals / n^2);
    fflush (stdout);
  endfor
endfunction
