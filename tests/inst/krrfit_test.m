% Tests of krrfit against the kernel built from differences (ard_kernel), which the
% installed package's own tests (in inst/krrfit.m) cannot see: the exact objective and
% its gradient (krr_dense_lml) and the estimate (krr_lml), both private, and the
% scalable stage's final solve.

%!test
%! ## The exact objective's gradient against central differences, and its value against the
%! ## Gaussian density written out; then the estimate against it.
%! rand ("seed", 1); randn ("seed", 1);
%! X = randn (2, 25);  Y = [sin(X(1,:))', X(2,:)' .^ 2];
%! theta = [log([0.7; 0.2]); log(1.3); log(0.05)];
%! ## The internal functions are private to krrfit's folder: called from there.
%! here = cd (fullfile (fileparts (which ("krrfit")), "private"));
%! unwind_protect
%! [f, g] = krr_dense_lml (X, Y, theta);
%! A = ard_kernel (X, X, exp (theta(1:3))') + exp (theta(4)) * eye (25);
%! assert (f, -0.5 * sum (sum (Y .* (A \ Y))) - log (det (A)) - 25 * log (2 * pi), 1e-9 * abs (f));
%! h = 1e-5;
%! for i = 1:4
%!   e = zeros (4, 1);  e(i) = h;
%!   assert (g(i), (krr_dense_lml (X, Y, theta + e) - krr_dense_lml (X, Y, theta - e)) / (2 * h), 1e-6 * (1 + abs (g(i))));
%! endfor
%! [fe, ge, V, info] = krr_lml (X, Y, exp (theta(1:3))', exp (theta(4)), [64, 0, 1e-10, 8, Inf, 1, 25, 1e-12, 1000, 0, 0], []);
%! assert (V(:, 1:2), A \ Y, 1e-8);
%! assert (info(1), sum (sum (Y .* (A \ Y))), 1e-8);
%! assert (abs (fe - f) <= 2 * 4 * info(3));
%! ## With the log determinant preconditioned by a rank-10 factor of K: within its own,
%! ## smaller error, and the same solves.
%! [fp, ~, Vp, ip] = krr_lml (X, Y, exp (theta(1:3))', exp (theta(4)), [64, 0, 1e-10, 8, Inf, 1, 25, 1e-12, 1000, 0, 10], []);
%! assert (abs (fp - f) <= 2 * 4 * ip(3));
%! assert (ip(3) < info(3));
%! assert (Vp, V);
%! unwind_protect_cleanup
%!   cd (here);
%! end_unwind_protect

%!shared X, y
%! rand ("seed", 2); randn ("seed", 2);
%! X = [rand(120, 2) .* [1 100], 1e4 + rand(120, 1)];   # the third feature is noise
%! y = 5 + sin (6 * X(:,1)) + (X(:,2) / 100) .^ 2 + 0.05 * randn (120, 1);

%!test
%! ## The scalable stage: same bits on one thread and on two, at a size where two threads
%! ## really run (the modules give each thread at least 2048 rows), which the model's
%! ## Threads shows; the final solve meets its tolerance; several outputs share the kernel.
%! old = getenv ("KRR_NUM_THREADS");
%! rand ("seed", 5);  randn ("seed", 5);
%! n = 4100;
%! Xl = rand (n, 2);
%! Yl = [sin(6 * Xl(:,1)) + Xl(:,2), cos(3 * Xl(:,1))] + 0.05 * randn (n, 2);
%! opts = {"Verbose", false, "Method", "scalable", "SubsetSize", 100, "PolishLimit", 0, ...
%!         "ScalableIterations", 1, "Probes", 2, "MaxIterations", 5, "Tolerance", 1e-5};
%! unwind_protect
%!   setenv ("KRR_NUM_THREADS", "1");
%!   a = krrfit (Xl, Yl, opts{:});
%!   setenv ("KRR_NUM_THREADS", "2");
%!   b = krrfit (Xl, Yl, opts{:});
%! unwind_protect_cleanup
%!   setenv ("KRR_NUM_THREADS", old);
%! end_unwind_protect
%! assert ([a.Threads, b.Threads], [1, 2]);
%! assert (b.Alpha, a.Alpha);
%! assert (b.History(:,1:3), a.History(:,1:3));
%! assert (b.LogMarginalLikelihood, a.LogMarginalLikelihood);
%! some = 1:20:n;
%! R = (ard_kernel (a.X(:,some), a.X, a.Weights) + a.Ridge * eye (n)(some,:)) * a.Alpha - (Yl(some,:) - mean (Yl));
%! assert (max (abs (R)) <= 1e-5 * max (abs (Yl - mean (Yl))) * (1 + 1e-6));
%! assert (size (krrpredict (a, Xl(1:4,:))), [4 2]);

%!test
%! ## The scalable stage never ends worse than it started. On Friedman data with five
%! ## irrelevant features it moves only the parameters whose slopes stand out from the
%! ## probes' noise, settles, and ends above its start (the subset's optimum) in the exact
%! ## objective. With one probe the slopes have no errors: the stage follows their noise
%! ## to a lower exact objective, and the check rejects that end, by the exact objective of
%! ## all observations, by that of observations held out from the subset, and by paired
%! ## estimates alike, so the model is the start's.
%! rand ("state", 0);  randn ("state", 0);
%! n = 3000;
%! Xf = rand (n, 10);
%! yf = 10 * sin (pi * Xf(:,1) .* Xf(:,2)) + 20 * (Xf(:,3) - 0.5) .^ 2 + 10 * Xf(:,4) ...
%!      + 5 * Xf(:,5) + randn (n, 1);
%! opts = {"Verbose", false, "Method", "scalable", "SubsetSize", 300, "PolishLimit", 0};
%! warning ("off", "krrfit:atBound", "local");
%! start = krrfit (Xf, yf, opts{:}, "ScalableIterations", 0);
%! settled = krrfit (Xf, yf, opts{:});
%! one = {"Probes", 1};
%! exact = krrfit (Xf, yf, opts{:}, one{:});
%! held = krrfit (Xf, yf, opts{:}, one{:}, "ExactCheckLimit", 1500);
%! paired = krrfit (Xf, yf, opts{:}, one{:}, "ExactCheckLimit", 0);
%! estimated = krrfit (Xf, yf, opts{:}, "ExactCheckLimit", 1500);
%! ## The stage on half the observations, checked on others it did not fit; the final
%! ## coefficients, solved from zero where the objective on all is not estimated (by
%! ## default where K does not fit in the memory allowed), solve the system of all of them.
%! limit = getenv ("KRR_MEMORY_LIMIT");
%! setenv ("KRR_MEMORY_LIMIT", sprintf ("%d", 8 * n ^ 2 - 1));
%! unwind_protect
%!   part = krrfit (Xf, yf, opts{:}, "ScalableSubsetSize", 1500, "ExactCheckLimit", 1000);
%! unwind_protect_cleanup
%!   setenv ("KRR_MEMORY_LIMIT", limit);
%! end_unwind_protect
%! assert (isnan (part.LogMarginalLikelihood) && isnan (part.FinalPasses(1)));
%! assert (isfinite (held.LogMarginalLikelihood) && held.FinalPasses(1) > 0);
%! assert (! isempty (strfind (part.Method, "estimated on 1500 of 3000")));
%! assert (! isempty (strfind (part.Method, "not estimated (FinalObjective)")));
%! assert (! isempty (strfind (part.Method, "exact on 1000 observations held out from the stage's")));
%! some = 1:50:n;
%! R = (ard_kernel (part.X(:,some), part.X, part.Weights) + part.Ridge * eye (n)(some,:)) * part.Alpha - (yf(some) - part.YMean);
%! assert (max (abs (R)) <= 1e-6 * max (abs (yf - part.YMean)));
%! assert (! isempty (strfind (start.Method, "did not move")));
%! assert (! isempty (strfind (held.Method, "exact on 1500 observations held out")));
%! assert (! isempty (strfind (settled.Method, " settled after")));
%! assert (! isempty (strfind (settled.Method, "end kept")));
%! assert (! isempty (strfind (exact.Method, "one probe gives the slopes no errors")));
%! ## History's last column: each stage iteration's largest slope in errors, the last within 2.
%! H = settled.History(! isnan (settled.History(:,9)), 9);
%! assert (rows (H) >= 2 && all (H > 0) && H(end) <= 2);
%! here = cd (fullfile (fileparts (which ("krrfit")), "private"));
%! unwind_protect
%!   objective = @(m) krr_dense_lml (m.X, yf - m.YMean, log ([m.Weights, m.Ridge])', true);
%!   f0 = objective (start);
%!   assert (start.LogMarginalLikelihood, f0, 1e-9 * abs (f0));
%!   assert (objective (settled) > f0);
%!   assert (objective (part) > f0);
%!   ## The objective's standard error: 0 where exact, NaN where not computed; where
%!   ## estimated (its log determinant preconditioned), honest and small.
%!   assert ([settled.LogMarginalLikelihoodError, part.LogMarginalLikelihoodError], [0, NaN]);
%!   e = estimated.LogMarginalLikelihoodError;
%!   assert (e > 0 && e < 5 && abs (estimated.LogMarginalLikelihood - objective (estimated)) <= 4 * e);
%!   for m = {exact, held, paired}
%!     assert (! isempty (strfind (m{1}.Method, "end rejected")));
%!     assert (objective (m{1}) >= f0 - 1e-9 * abs (f0));
%!   endfor
%! unwind_protect_cleanup
%!   cd (here);
%! end_unwind_protect

%!test
%! ## The optimiser never accepts a point whose value or gradient is not finite: such a
%! ## trial step fails and the search backs off; a start that is not finite is an error;
%! ## with errors on the gradient it stops where the slopes are within them.
%! ## -(x - 1)^2, whose gradient is not finite beyond 0.5, short of the maximum.
%! here = cd (fullfile (fileparts (which ("krrfit")), "private"));
%! unwind_protect
%!   s = struct ("max_iterations", 20, "memory", 5, "gradient_tolerance", 1e-8, ...
%!               "value_tolerance", 0, "max_step", 2, "verbose", false, "label", "test", ...
%!               "start", tic (), "slopes", false, "history", zeros (0, 9));
%!   slope = @(x) -2 * (x - 1) / (x <= 0.5);
%!   [x, f, g] = krr_lbfgs (@(x) deal (-(x - 1) ^ 2, slope (x)), 0, -5, 5, s);
%!   assert (x <= 0.5 && isfinite (f) && isfinite (g));
%!   s.slopes = true;
%!   [x, f, g] = krr_lbfgs (@(x) deal (NaN, slope (x)), 0, -5, 5, s);
%!   assert (x <= 0.5 && isfinite (g));
%!   fail ("krr_lbfgs (@(x) deal (NaN, NaN), 0, -5, 5, s)", "not finite at the start");
%!   s.slopes = false;
%!   fail ("krr_lbfgs (@(x) deal (-Inf, 0), 0, -5, 5, s)", "not finite at the start");
%!   ## With errors, the search settles once every slope is within twice its error, and
%!   ## only then: -(x - 1)^4 / 4, whose slope (1 - x)^3 is 8 at the start.
%!   s.slopes = true;
%!   s.errors = true;
%!   [x, ~, ~, h, settled] = krr_lbfgs (@(x) deal (NaN, (1 - x) ^ 3, 0.05), -1, -5, 5, s);
%!   assert (settled && abs (1 - x) ^ 3 <= 0.1 && h(end, 9) <= 2 && all (h(1:end-1, 9) > 2));
%!   s.errors = false;
%!   [x_on, ~, ~, h_on, settled] = krr_lbfgs (@(x) deal (NaN, (1 - x) ^ 3), -1, -5, 5, s);
%!   assert (! settled && abs (1 - x_on) < abs (1 - x) && rows (h_on) > rows (h) && all (isnan (h_on(:, 9))));
%!   ## A slope within twice its error moves nothing: the second coordinate, whose slope is
%!   ## all noise at this error, stays where it started while the first converges.
%!   s.errors = true;
%!   both = @(x) deal (NaN, 2 * (1 - x), [0.01; 100]);
%!   [x, ~, ~, ~, settled] = krr_lbfgs (both, [-1; -1], [-5; -5], [5; 5], s);
%!   assert (settled && abs (x(1) - 1) <= 0.02 && x(2) == -1);
%! unwind_protect_cleanup
%!   cd (here);
%! end_unwind_protect

%!test
%! ## The exact objective depends on differences only: an offset of 1e8 gives the same value
%! ## and gradient. Where K + ridge*I does not factorise: -Inf, and a gradient and alpha of
%! ## NaN, which no optimiser can take for a maximum.
%! randn ("seed", 4);
%! Xd = randn (2, 40);  Yd = sin (Xd(1,:))';
%! theta = [log([0.7; 0.2]); 0; log(0.05)];
%! here = cd (fullfile (fileparts (which ("krrfit")), "private"));
%! unwind_protect
%!   [f, g] = krr_dense_lml (Xd, Yd, theta);
%!   [f8, g8] = krr_dense_lml (Xd + 1e8, Yd, theta);
%!   assert (f8, f, 1e-6 * abs (f));
%!   assert (g8, g, 1e-6 * norm (g));
%!   [f, g, alpha] = krr_dense_lml ([Xd, Xd], [Yd; Yd], [theta(1:3); log(1e-17)]);
%!   assert (f, -Inf);
%!   assert (all (isnan (g)) && all (isnan (alpha(:))));
%! unwind_protect_cleanup
%!   cd (here);
%! end_unwind_protect

%!test
%! ## Every solve's status is read (statuses injected into a copy of krrfit): a pass limit
%! ## is retried once with four times the passes; a point whose solves fail is rejected,
%! ## with a warning that says how often and why; where the final solve fails, a warning,
%! ## or an error where Alpha is not finite.
%! warning ("off", "krrfit:atBound", "local");
%! folder = status_injection ();
%! addpath (folder);
%! ## (The stage checked by paired estimates, so that the last calls are final estimates.)
%! opts = {"Verbose", false, "Method", "scalable", "SubsetSize", 40, "PolishLimit", 0, ...
%!         "ScalableIterations", 3, "Probes", 3, "MaxIterations", 4, "ExactCheckLimit", 0};
%! none = zeros (0, 2);
%! global STATUS_INJECTION
%! unwind_protect
%!   status_injection (none, none);
%!   lastwarn ("");
%!   clean = krrfit (X, y, opts{:});
%!   assert (lastwarn (), "");
%!   calls = rows (STATUS_INJECTION.lml_settings);
%!   ## An overflow at the first trial point: rejected, the stage goes on.
%!   status_injection ([2, 3], none);
%!   m = krrfit (X, y, opts{:});
%!   [msg, id] = lastwarn ();
%!   assert (id, "krrfit:notConverged");
%!   assert (! isempty (strfind (msg, "failed at 1 of its")) && ! isempty (strfind (msg, "overflow: 1")));
%!   assert (all (isfinite (m.Alpha)) && isfinite (m.LogMarginalLikelihood));
%!   ## The pass limit at the start: continued with four times the passes, then accepted.
%!   lastwarn ("");
%!   status_injection ([1, 1], none);
%!   m = krrfit (X, y, opts{:});
%!   assert (lastwarn (), "");
%!   assert (STATUS_INJECTION.lml_settings(2, 9), 4 * STATUS_INJECTION.lml_settings(1, 9));
%!   ## The solves fail at the start: the stage keeps the subset's optimum.
%!   status_injection ([1, 4], none);
%!   m = krrfit (X, y, opts{:});
%!   [msg, id] = lastwarn ();
%!   assert (id, "krrfit:notConverged");
%!   assert (! isempty (strfind (msg, "K + Ridge*I zero: 1")));
%!   assert (all (isfinite (m.Alpha)));
%!   ## The final estimate below its rounding floor: a warning.
%!   status_injection ([calls, 2], none);
%!   krrfit (X, y, opts{:});
%!   [msg, id] = lastwarn ();
%!   assert (id, "krrfit:notConverged");
%!   assert (! isempty (strfind (msg, "final estimate ended with tolerance below the rounding floor")));
%!   ## The final solve at its pass limit twice: retried with four times the passes, then
%!   ## a warning; overflowing twice: an error.
%!   status_injection (none, [1, 1; 2, 1]);
%!   krrfit (X, y, opts{:});
%!   [msg, id] = lastwarn ();
%!   assert (id, "krrfit:notConverged");
%!   assert (! isempty (strfind (msg, "final solve ended before its tolerance (pass limit reached)")));
%!   assert (STATUS_INJECTION.solve_settings(2, 5), 4 * STATUS_INJECTION.solve_settings(1, 5));
%!   status_injection (none, [1, 3; 2, 3]);
%!   fail ("krrfit (X, y, opts{:})", "final solve failed \\(overflow\\)");
%! unwind_protect_cleanup
%!   rmpath (folder);
%!   confirm_recursive_rmdir (false, "local");
%!   rmdir (folder, "s");
%!   clear -global STATUS_INJECTION
%! end_unwind_protect

%!test
%! ## Awkward data gives a usable model: 2 and 3 observations, constant targets, a constant
%! ## feature, duplicated rows, more features than observations, and targets scaled by
%! ## 1e10 and 1e-10 (the model of the unscaled targets, scaled).
%! warning ("off", "krrfit:atBound", "local");
%! o = {"Verbose", false, "MaxIterations", 30};
%! for n = [2, 3]
%!   p = krrpredict (krrfit (X(1:n,:), y(1:n), o{:}), X(1:n,:));
%!   assert (all (isfinite (p)) && norm (p - y(1:n)) <= norm (y(1:n) - mean (y(1:n))));
%! endfor
%! assert (krrpredict (krrfit (X, 3 * ones (120, 1), o{:}), X(1:5,:)), 3 * ones (5, 1));
%! Xc = X;  Xc(:,2) = 7;
%! m = krrfit (Xc, y, o{:});
%! assert (sqrt (mean ((krrpredict (m, Xc) - y) .^ 2)) < 0.5 * std (y));
%! m = krrfit ([X; X], [y; y], o{:});
%! assert (sqrt (mean ((krrpredict (m, X) - y) .^ 2)) < 0.1);
%! randn ("seed", 6);
%! Xw = randn (300, 500);  Xt = randn (100, 500);
%! m = krrfit (Xw, Xw(:,1) + 0.1 * randn (300, 1), o{:});
%! assert (sqrt (mean ((krrpredict (m, Xt) - Xt(:,1)) .^ 2)) < 0.3);
%! p = krrpredict (krrfit (X, y, o{:}), X);
%! for s = [1e10, 1e-10]
%!   assert (krrpredict (krrfit (X, s * y, o{:}), X) / s, p, 1e-6 * max (abs (p)));
%! endfor
