% BENCH_TRAIN  Training time to tolerance: tarvel against the chol route.
%
%   bench_train (sizes, k, csv)
%
%   For each n: Friedman data (d = 8), every feature weight 2, amplitude 1, ridge 0.1,
%   tol = 1e-4 * max|y|, a full cache (8 n^2 bytes). The chol route is what an Octave
%   user writes: the kernel matrix by the vectorised expression, the ridge on its
%   diagonal, chol and two triangular solves. Both run in this process, alternating,
%   four times each; times are medians. The order swaps from one round to the next,
%   because on a virtual machine the first touch of memory the process has not used
%   before costs far more than reusing freed memory, and whichever runs first pays it;
%   an even number of rounds lets each route run first equally often. Before the timed
%   rounds each route runs once untimed: the process's very first touch of that much
%   memory costs seconds more again, and without the warm-up it always fell on the route
%   that opens round 1 (tarvel). The untimed times are printed too.
%   Prints a markdown table row per size and appends "n,tarvel,chol" lines to the file
%   csv.

function bench_train (sizes, k, csv)
  w = [2 * ones(1, 8), 1];
  ridge = 0.1;
  printf ("| n | tarvel (s) | chol route (s) | ratio | tarvel runs (s) | chol runs (s) | untimed first runs (s) | block steps | passes | max abs grad <= tol | max abs alpha diff |\n");
  printf ("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for n = sizes
    [X, y] = friedman_data (n, n);
    tol = 1e-4 * max (abs (y));
    reps = 4;
    t_tarvel = t_chol = zeros (1, reps);
    [warm_tarvel, warm_chol] = deal (0);
    for r = 0:reps
      for which = circshift ([1 2], max (r - 1, 0))
        if (which == 1)
          tic;
          evalc ("[alpha, grad, ~, evals] = tarvel (X, y, w, ridge, tol, k, 8 * n^2);");
          t = toc;
          if (r == 0)
            warm_tarvel = t;
          else
            t_tarvel(r) = t;
          endif
        else
          tic;
          A = ard_cross_kernel (X, X, w);
          A(1:n+1:end) += ridge;
          R = chol (A);
          clear A;
          alpha_chol = R \ (R' \ y);
          clear R;
          t = toc;
          if (r == 0)
            warm_chol = t;
          else
            t_chol(r) = t;
          endif
        endif
      endfor
    endfor
    steps = evals / (n * k);
    printf ("| %d | %.2f | %.2f | %.1f | %s | %s | %.2f, %.2f | %d | %.1f | %s | %.1e |\n", n, ...
            median (t_tarvel), median (t_chol), median (t_chol) / median (t_tarvel), ...
            sprintf ("%.2f ", t_tarvel), sprintf ("%.2f ", t_chol), warm_tarvel, warm_chol, ...
            steps, steps * k / n, ...
            mat2str (max (abs (grad)) <= tol), max (abs (alpha - alpha_chol)));
    fflush (stdout);
    append_csv_row (csv, n, median (t_tarvel), median (t_chol));
  endfor
endfunction
