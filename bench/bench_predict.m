% BENCH_PREDICT  Prediction at nt = n test samples: quorril against the vectorised
% cross-kernel times alpha, with the peak memory each adds to the process; and nine
% outputs at once (krrpredict's module, krr_predict, given a model of the same samples with
% Mu 0, Sigma 1 and YMean 0, so that its rows stand as they are) against the cross-kernel
% times nine coefficient columns.
%
%   bench_predict (sizes, csv)
%
%   Times are medians of 3 runs for n <= 4000 and single runs above; peak memory is the
%   process's peak resident size during the call above its size before it (Linux).
%   Appends "n,quorril,vectorised" lines to the file csv.

function bench_predict (sizes, csv)
  w = [2 * ones(1, 8), 1];
  printf ("| n = nt | quorril (s) | vectorised (s) | ratio | quorril peak extra (MB) | vectorised peak extra (MB) | max rel diff | 9 outputs (s) | vectorised, 9 columns (s) | ratio |\n");
  printf ("|---|---|---|---|---|---|---|---|---|---|\n");
  private = fullfile (fileparts (which ("quorril")), "private");
  for n = sizes
    [X, y] = friedman_data (n, n);
    Xt = rand (8, n);
    alpha = randn (n, 1);
    reps = 1 + 2 * (n <= 4000);
    alphas = randn (n, 9);
    model = struct ("X", X, "Alpha", alphas, "Weights", w, "Mu", zeros (1, 8), ...
                    "Sigma", ones (1, 8), "YMean", zeros (1, 9));
    Xnew = Xt';
    t_q = t_v = t_m = t_mv = zeros (1, reps);
    for r = 1:reps
      memory_probe ("reset");
      base = memory_probe ();
      tic;
      f_q = quorril (Xt, X, w, alpha);
      t_q(r) = toc;
      mem_q = memory_probe () - base;
      memory_probe ("reset");
      base = memory_probe ();
      tic;
      f_v = ard_cross_kernel (Xt, X, w) * alpha;
      t_v(r) = toc;
      mem_v = memory_probe () - base;
      here = cd (private);
      unwind_protect
        tic;
        F = krr_predict (model, Xnew, "Verbose", false);
        t_m(r) = toc;
      unwind_protect_cleanup
        cd (here);
      end_unwind_protect
      tic;
      F_v = ard_cross_kernel (Xt, X, w) * alphas;
      t_mv(r) = toc;
    endfor
    printf ("| %d | %.2f | %.2f | %.1f | %.1f | %.1f | %.1e | %.2f | %.2f | %.1f |\n", n, ...
            median (t_q), median (t_v), median (t_v) / median (t_q), mem_q / 2^20, ...
            mem_v / 2^20, max (abs (f_q - f_v)) / max (abs (f_v)), median (t_m), ...
            median (t_mv), median (t_mv) / median (t_m));
    fflush (stdout);
    append_csv_row (csv, n, median (t_q), median (t_v));
  endfor
endfunction
