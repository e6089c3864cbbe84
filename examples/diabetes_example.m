% DIABETES_EXAMPLE  Train and predict on the diabetes data set; compare with K \ y.
%
%   diabetes_example (out_dir)
%
%   The 442 patients of examples/data/diabetes.csv (10 baseline variables, disease
%   progression after one year) are split by a fixed permutation: patient p (1-based)
%   goes to position mod (101 * (p - 1), 442) + 1, the first 88 positions (20%) form the
%   test split and the other 354 the training split. Features are standardised with the
%   training split's mean and standard deviation; the targets are standardised the same
%   way, and predictions are mapped back to progression units for the table.
%
%   Model search (training split only): every feature weight is 1 / (2 * len^2) for a
%   length scale len in {2, 4, 8, 16}, the amplitude is in {0.5, 1} and the ridge in
%   {0.1, 0.3, 1}; each of the 24 candidates is scored by 5-fold cross-validated squared
%   error, trained with tarvel and predicted with quorril. The best is then trained on
%   the whole training split with tol = 1e-8, block size k = 32 and a cache budget of
%   8 * n^2 bytes (every kernel column cached: about 1 MB here).
%
%   Beside it, krrfit learns the kernel from the training split instead: a length scale
%   per feature, the amplitude and the ridge by the exact marginal likelihood, on the
%   features and progression in their own units (krrfit standardises and centres them
%   itself, and krrpredict answers in progression units).
%
%   The learned model also gives each test patient's predictive standard deviation and
%   95% interval (krrpredict's second and third outputs: the spread of a new observation
%   under the model's Gaussian process).
%
%   It prints tarvel's three report lines, a table of test RMSE and R^2 for the grid's
%   model, for the direct solve (K + ridge*I) \ y in Octave on the same split, for the
%   learned model and for predicting the training mean, the learned length scales, how
%   many test patients fall inside their 95% intervals, and writes a PNG of predicted
%   against true progression, the learned model's intervals as error bars, to out_dir.

function diabetes_example (out_dir)
  if (nargin < 1)
    out_dir = pwd ();
  endif
  here = fileparts (mfilename ("fullpath"));
  data = dlmread (fullfile (here, "data", "diabetes.csv"), ",", 1, 0);
  features = data(:, 1:10)';     # one patient per column
  progression = data(:, 11);
  total = rows (data);

  position = mod (101 * (0:total-1), total) + 1;
  order(position) = 1:total;      # order(q) is the patient at position q
  n_test = 88;
  test = order(1:n_test);
  train = order(n_test+1:end);

  mu = mean (features(:, train), 2);
  sigma = std (features(:, train), 0, 2);
  X = (features(:, train) - mu) ./ sigma;
  Xt = (features(:, test) - mu) ./ sigma;
  y_mu = mean (progression(train));
  y_sigma = std (progression(train));
  y = (progression(train) - y_mu) / y_sigma;
  y_test = progression(test);
  d = rows (X);
  n = columns (X);

  ## Small grid search scored by 5-fold cross-validation on the training split.
  folds = mod (0:n-1, 5) + 1;
  best = struct ("err", Inf);
  for len = [2 4 8 16]
    for amplitude = [0.5 1]
      for ridge = [0.1 0.3 1]
        w = [repmat(1 / (2 * len^2), 1, d), amplitude];
        err = 0;
        for f = 1:5
          fit = folds != f;
          alpha = silent_tarvel (X(:, fit), y(fit), w, ridge, 1e-6, 32, Inf);
          err += sum ((quorril (X(:, ! fit), X(:, fit), w, alpha) - y(! fit)) .^ 2);
        endfor
        if (err < best.err)
          best = struct ("err", err, "len", len, "amplitude", amplitude, "ridge", ridge, "w", w);
        endif
      endfor
    endfor
  endfor
  printf ("Chosen by 5-fold CV: length scale %g, amplitude %g, ridge %g\n\n", ...
          best.len, best.amplitude, best.ridge);

  w = best.w;
  ridge = best.ridge;
  [alpha, grad] = tarvel (X, y, w, ridge, 1e-8, 32, 8 * n^2);
  f_model = y_mu + y_sigma * quorril (Xt, X, w, alpha);

  K = ard_kernel (X, X, w);
  alpha_direct = (K + ridge * eye (n)) \ y;
  f_direct = y_mu + y_sigma * ard_kernel (Xt, X, w) * alpha_direct;
  f_mean = repmat (y_mu, n_test, 1);

  ## The kernel learned from the data: rows are patients, features in their own units.
  learned = krrfit (features(:, train)', progression(train), "Verbose", false);
  [f_learned, sd_learned, interval] = krrpredict (learned, features(:, test)', "Verbose", false);

  printf ("\nTest split: %d patients (trained on %d); max |grad| = %.2e\n", n_test, n, max (abs (grad)));
  printf ("%-28s %10s %8s\n", "model", "RMSE", "R^2");
  report ("tarvel + quorril", f_model, y_test);
  report ("direct (K + ridge*I) \\ y", f_direct, y_test);
  report ("learned kernel (krrfit)", f_learned, y_test);
  report ("training mean", f_mean, y_test);
  printf ("max |tarvel - direct| prediction difference: %.3e\n", max (abs (f_model - f_direct)));
  names = strsplit ("age sex bmi bp s1 s2 s3 s4 s5 s6");
  printf ("\nLearned in %.1f s: ridge %.4g, amplitude %.4g; length scales (standard deviations):\n", ...
          learned.Seconds, learned.Ridge, learned.Amplitude);
  printf ("  %s %.3g", [names; num2cell(learned.LengthScales ./ sigma')]{:});
  printf ("\n(a long length scale means the feature hardly matters)\n");
  inside = y_test >= interval(:, 1) & y_test <= interval(:, 2);
  printf ("95%% intervals of the learned model: %d of %d test patients inside (%.0f%%), mean half-width %.1f\n", ...
          sum (inside), n_test, 100 * mean (inside), mean (1.959963984540054 * sd_learned));

  file = fullfile (out_dir, "diabetes_fit.png");
  plot_fit (file, y_test, f_model, f_direct, f_learned, interval);
  printf ("Wrote %s\n", file);
endfunction

function alpha = silent_tarvel (varargin)
  evalc ("alpha = tarvel (varargin{:});");
endfunction

function K = ard_kernel (A, B, w)
  d = rows (A);
  D = zeros (columns (A), columns (B));
  for l = 1:d
    D += w(l) * (A(l,:)' - B(l,:)) .^ 2;
  endfor
  K = w(d+1) * exp (-D);
endfunction

function report (name, f, truth)
  rmse = sqrt (mean ((f - truth) .^ 2));
  r2 = 1 - sum ((f - truth) .^ 2) / sum ((truth - mean (truth)) .^ 2);
  printf ("%-28s %10.4f %8.4f\n", name, rmse, r2);
endfunction

function plot_fit (file, truth, f_model, f_direct, f_learned, interval)
  ## gnuplot draws without a display; its discouragement notice is not for this use.
  warning ("off", "Octave:gnuplot-graphics");
  graphics_toolkit ("gnuplot");
  h = figure ("visible", "off");
  hold on;
  errorbar (truth, f_learned, f_learned - interval(:, 1), interval(:, 2) - f_learned, "~.");
  plot (truth, f_model, "o", truth, f_direct, "x", [25 346], [25 346], "k-");
  hold off;
  xlabel ("true progression");
  ylabel ("predicted progression");
  title ("Diabetes test split: kernel ridge regression");
  legend ("learned kernel, 95% intervals", "tarvel + quorril", "direct solve", "ideal", ...
          "location", "southeast");
  axis ([0 360 -20 400], "square");
  print (h, file, "-dpng");
  close (h);
endfunction
