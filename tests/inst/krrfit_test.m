% Tests of krrfit: against the kernel built from differences (ard_kernel) and the dense
% objective written with the host's own linear algebra (krr_dense_lml, private), the
% estimate (krr_lml, private), the scalable stage's final solve, the options, warnings and
% errors as users meet them. The optimiser and the handling of each solve's status are
% tested in the compiled core (tests/core/learn).

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
%! opts = {"Probes", 64, "Seed", 0, "Tolerance", 1e-10, "BlockSize", 8, "LogDet", "with", ...
%!         "LanczosSteps", 25, "LanczosTolerance", 1e-12};
%! [fe, ge, V, info] = krr_lml (X, Y, exp (theta(1:3))', exp (theta(4)), [], opts{:});
%! assert (V(:, 1:2), A \ Y, 1e-8);
%! assert (info.DataFit, sum (sum (Y .* (A \ Y))), 1e-8);
%! assert (abs (fe - f) <= 2 * 4 * info.LogDetError);
%! ## With the log determinant preconditioned by a rank-10 factor of K: within its own,
%! ## smaller error, and the same solves.
%! [fp, ~, Vp, ip] = krr_lml (X, Y, exp (theta(1:3))', exp (theta(4)), [], opts{:}, "LogDetRank", 10);
%! assert (abs (fp - f) <= 2 * 4 * ip.LogDetError);
%! assert (ip.LogDetError < info.LogDetError);
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
%! assert (! isempty (strfind (part.Method, "not estimated: K (0.072 GB) exceeds the solves' cache (0.072 GB)")));
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

%!shared X, y, model
%! rand ("seed", 2); randn ("seed", 2);
%! X = [rand(120, 2) .* [1 100], 1e4 + rand(120, 1)];   # the third feature is noise
%! y = 5 + sin (6 * X(:,1)) + (X(:,2) / 100) .^ 2 + 0.05 * randn (120, 1);
%! model = krrfit (X, y, "Verbose", false);

%!test
%! ## Learns which features matter, in the units of X; fits what it reports.
%! assert (model.Relevance(3) < 0.01 * min (model.Relevance(1:2)));
%! assert (model.LengthScales(3) > 10 * std (X(:,3)));
%! assert (model.Ridge < 0.01 && model.Ridge > 1e-4);
%! ## The coefficients solve the system whose kernel krrpredict forms (in the compiled
%! ## module, apart from the fit's own dense code).
%! r = krrpredict (model, X) - model.YMean + model.Ridge * model.Alpha - (y - mean (y));
%! assert (norm (r) <= 1e-6 * norm (y - mean (y)));
%! assert (model.LogMarginalLikelihood, max (model.History(:,2)), 1e-9 * abs (model.LogMarginalLikelihood));
%! assert (sqrt (mean ((krrpredict (model, X) - y) .^ 2)) < 0.1);

%!test
%! ## Outputs in units 100 times apart share the kernel of their scaled columns: each
%! ## output's 95% intervals cover about 95% of new observations (were the columns not
%! ## scaled, the first output's would take the second's units and cover all), and the
%! ## deviations differ by the ratio of the scales.
%! rand ("seed", 8);  randn ("seed", 8);
%! Xo = rand (1300, 3);
%! Yo = [sin(6 * Xo(:,1)), 100 * cos(5 * Xo(:,2)) + 5] + [0.1, 10] .* randn (1300, 2);
%! m = krrfit (Xo(1:300,:), Yo(1:300,:), "Verbose", false);
%! assert (m.FormatVersion, 3);
%! assert (sum (log (m.YScale)), 0, 1e-15);
%! assert (m.YScale, std (Yo(1:300,:)) / sqrt (prod (std (Yo(1:300,:)))), 1e-12);
%! [p, sd, yint] = krrpredict (m, Xo(301:end,:), "Verbose", false);
%! assert (sd(:,2) ./ sd(:,1), m.YScale(2) / m.YScale(1) * ones (1000, 1), 1e-12);
%! covered = mean (Yo(301:end,:) >= squeeze (yint(:,1,:)) & Yo(301:end,:) <= squeeze (yint(:,2,:)));
%! assert (covered > 0.92 & covered < 0.98);
%! assert (m.LengthScales(3) > 10 * max (m.LengthScales(1:2)));

%!test
%! ## save/load keep the model; the same data and options give the same model bit for bit.
%! file = [tempname(), ".mat"];
%! unwind_protect
%!   save ("-binary", file, "model");
%!   loaded = load (file);
%!   assert (krrpredict (loaded.model, X(1:9,:)), krrpredict (model, X(1:9,:)));
%! unwind_protect_cleanup
%!   unlink (file);
%! end_unwind_protect
%! again = krrfit (X, y, "Verbose", false);
%! assert (again.Alpha, model.Alpha);
%! assert (again.LengthScales, model.LengthScales);

%!test
%! ## Fixed values stay exactly; bounds hold; of several starts the best is kept.
%! m = krrfit (X, y, "Verbose", false, "Fixed", {"Ridge"}, "Ridge", 0.3, "MaxIterations", 5);
%! assert (m.Ridge, 0.3, 2 * eps);
%! m = krrfit (X, y, "Verbose", false, "LengthScaleBounds", [0.5 2], "MaxIterations", 5);
%! assert (all (m.LengthScales >= 0.5 * (1 - 1e-12) & m.LengthScales <= 2 * (1 + 1e-12)));
%! one = krrfit (X, y, "Verbose", false, "MaxIterations", 3);
%! three = krrfit (X, y, "Verbose", false, "MaxIterations", 3, "Restarts", 2);
%! assert (three.LogMarginalLikelihood >= one.LogMarginalLikelihood);
%! assert (rows (three.History) > rows (one.History));

%!test
%! ## Options as a user may give them: numbers of any class, flags as 'on'/'off', names in
%! ## any case, sparse data; the same model as with plain doubles. 'off' is false (so
%! ## nothing is printed: the warning of these few iterations turned off).
%! warning ("off", "krrfit:iterationLimit", "local");
%! a = krrfit (X(1:40,:), y(1:40), "Verbose", false, "MaxIterations", 3, "Restarts", 1);
%! out = evalc ("b = krrfit (sparse (X(1:40,:)), sparse (y(1:40)), 'verbose', 'off', 'MaxIterations', int32 (3), 'Restarts', single (1), 'Standardize', 'on', 'CenterTargets', 1);");
%! assert (out, "");
%! assert (b.Alpha, a.Alpha);
%! assert (class (b.History), "double");
%! opts = {"Verbose", false, "Method", "scalable", "SubsetSize", 20, "PolishLimit", 0, ...
%!         "ScalableIterations", 1, "MaxIterations", 2};
%! a = krrfit (X(1:40,:), y(1:40), opts{:}, "Probes", 2, "BlockSize", 8);
%! b = krrfit (X(1:40,:), y(1:40), opts{:}, "Probes", int32 (2), "BlockSize", single (8));
%! assert (b.Alpha, a.Alpha);

%!test
%! ## The host's generators and their modes are left as they were: the draws after krrfit
%! ## equal the draws without it, in the old "seed" mode and in the "state" mode, for
%! ## rand and randn. The subset and the restarts use krrfit's own generator.
%! opts = {"Verbose", false, "DenseLimit", 30, "SubsetSize", 20, "PolishLimit", 1000, ...
%!         "MaxIterations", 2, "Restarts", 2};
%! for mode = {"seed", "state"}
%!   rand (mode{1}, 7);  randn (mode{1}, 8);
%!   expected = [rand(3, 1); randn(3, 1)];
%!   rand (mode{1}, 7);  randn (mode{1}, 8);
%!   krrfit (X(1:40,:), y(1:40), opts{:});
%!   assert ([rand(3, 1); randn(3, 1)], expected);
%! endfor

%!test
%! ## A start where K + Ridge*I does not factorise is moved, with a warning, to a ridge where
%! ## it is well conditioned, not merely factorisable (there the coefficients reach 1e9 and
%! ## are rounding noise, and the ridge depends on the BLAS); the model is a true fit at the
%! ## ridge it reports.
%! rand ("seed", 3);
%! Xr = rand (300, 2);  yr = sin (3 * Xr(:,1)) + Xr(:,2);
%! warning ("off", "krrfit:atBound", "local");
%! warning ("off", "krrfit:iterationLimit", "local");
%! lastwarn ("");
%! m = krrfit (Xr, yr, "Verbose", false, "Ridge", 1e-16, "Fixed", {"Ridge"}, "MaxIterations", 3);
%! [msg, id] = lastwarn ();
%! assert (id, "krrfit:startMoved");
%! assert (! isempty (strfind (msg, "Ridge is fixed")));
%! assert (! isempty (strfind (msg, "condition number is at most 1e+08")));
%! assert (m.Ridge > 1e-8 && m.Ridge < 1e-4);
%! assert (isfinite (m.LogMarginalLikelihood));
%! assert (max (abs (krrpredict (m, Xr) + m.Ridge * m.Alpha - yr)) < 1e-8);
%! ## Where RidgeBounds(2) is below that ridge, the bound is taken, and the warning says so.
%! m = krrfit (Xr, yr, "Verbose", false, "Ridge", 1e-16, "Fixed", {"Ridge"}, "MaxIterations", 0, ...
%!             "RidgeBounds", [1e-16 1e-9]);
%! msg = lastwarn ();
%! assert (m.Ridge, 1e-9, -1e-12);
%! assert (! isempty (strfind (msg, "the upper end of RidgeBounds, where it factorises")));

%!test
%! ## The fit does not depend on where the features lie: without standardising, offsets of
%! ## 1e7, 1e8 and 1.7e9 (timestamps) give the model of the data near the origin.
%! Xo = X(1:60, 1:2) .* [1 0.01];  yo = y(1:60);
%! opts = {"Verbose", false, "Standardize", false, "MaxIterations", 5};
%! m0 = krrfit (Xo, yo, opts{:});
%! for offset = [1e7, 1e8, 1.7e9]
%!   m = krrfit (Xo + offset, yo, opts{:});
%!   assert (m.LogMarginalLikelihood, m0.LogMarginalLikelihood, 1e-6 * abs (m0.LogMarginalLikelihood));
%!   assert (krrpredict (m, Xo(1:10,:) + offset), krrpredict (m0, Xo(1:10,:)), 1e-5);
%! endfor

%!test
%! ## A parameter that ends at a bound is named, with the bound to widen: one outlier
%! ## pushes the amplitude to its lower bound, or the ridge to its upper one.
%! yb = y;  yb(7) = 1e6;
%! lastwarn ("");
%! krrfit (X, yb, "Verbose", false, "MaxIterations", 20);
%! [msg, id] = lastwarn ();
%! assert (id, "krrfit:atBound");
%! assert (! isempty (strfind (msg, "Amplitude at its lower bound")));
%! assert (! isempty (strfind (msg, "AmplitudeBounds(1)")));
%! lastwarn ("");
%! krrfit (X, yb, "Verbose", false, "MaxIterations", 20, "RidgeBounds", [1e-6 1e3]);
%! [msg, id] = lastwarn ();
%! assert (id, "krrfit:atBound");
%! assert (! isempty (strfind (msg, "Ridge at its upper bound 1000: raise RidgeBounds(2)")));

%!test
%! ## A dense fit that would not fit in memory is refused before any work.
%! old = getenv ("KRR_MEMORY_LIMIT");
%! setenv ("KRR_MEMORY_LIMIT", "1e6");
%! unwind_protect
%!   err = [];
%!   try
%!     krrfit (rand (1000, 2), rand (1000, 1), "Verbose", false);
%!   catch err
%!   end_try_catch
%! unwind_protect_cleanup
%!   setenv ("KRR_MEMORY_LIMIT", old);
%! end_unwind_protect
%! assert (err.identifier, "krrfit:outOfMemory");
%! assert (! isempty (strfind (err.message, "needs about 40000000 bytes")));

%!error <expected X, Y> krrfit (1)
%!error <X must be a real n x d matrix, one observation per row, got a cell array> krrfit ({1}, 1)
%!error <X must be a real n x d matrix, one observation per row, got a 3-dimensional double> krrfit (ones (5, 1, 2), ones (5, 1))
%!error <X must be a real n x d matrix, one observation per row, got an empty one> krrfit (zeros (0, 2), zeros (0, 1))
%!error <Y must be a real n x c matrix with one row per row of X \(n = 3\)> krrfit (ones (3, 2), ones (4, 1))
%!error <Y must be a real n x c matrix, got a logical array> krrfit (rand (5, 1), rand (5, 1) > 0.5)
%!error <Y must be a real n x c matrix, got a char array> krrfit (rand (5, 1), "abcde")
%!error <Y must be a real n x c matrix, got a complex double array> krrfit (rand (5, 1), rand (5, 1) + 1i)
%!error <X has 2 rows but Y has 5; if its columns are the observations, pass X'> krrfit (rand (2, 5), rand (5, 1))
%!error <X and Y must be finite> krrfit ([1; NaN; 2], [1; 2; 3])
%!error <at least 2 observations> krrfit (1, 1)
%!error <Y must have a variance from 1e-150 to 1e150> krrfit (rand (5, 1), 1e200 * rand (5, 1))
%!error <options must be name-value pairs, got an odd number \(1\)> krrfit (rand (5, 1), rand (5, 1), "Verbose")
%!error <unknown option 'Verbos'; the options are LengthScales, > krrfit (rand (5, 1), rand (5, 1), "Verbos", false)
%!error <option names must be strings, got a double as argument 3> krrfit (rand (5, 1), rand (5, 1), "Verbose", false, 3, 4)
%!error <MaxIterations must be a whole number from 0 to 1000000, got 1.5> krrfit (rand (5, 1), rand (5, 1), "MaxIterations", 1.5)
%!error <MaxIterations must be a whole number from 0 to 1000000, got a 1 x 2 double> krrfit (rand (5, 1), rand (5, 1), "MaxIterations", [1 2])
%!error <ScalableIterations must be a whole number from 0 to 1000000, got '3'> krrfit (rand (5, 1), rand (5, 1), "ScalableIterations", "3")
%!error <Restarts must be a whole number from 0 to 1000, got Inf> krrfit (rand (5, 1), rand (5, 1), "Restarts", Inf)
%!error <Seed must be a whole number from 0 to 4294967295, got -1> krrfit (rand (5, 1), rand (5, 1), "Seed", -1)
%!error <DenseLimit must be a whole number from 0 to 2147483647, got NaN> krrfit (rand (5, 1), rand (5, 1), "DenseLimit", NaN)
%!error <SubsetSize must be a whole number from 2 to 2147483647, got 1> krrfit (rand (5, 1), rand (5, 1), "SubsetSize", 1)
%!error <PolishLimit must be a whole number from 0 to 2147483647, got a 1 x 1 complex double> krrfit (rand (5, 1), rand (5, 1), "PolishLimit", 1i)
%!error <PreconditionRank must be a whole number from 0 to 1000000, got 0.5> krrfit (rand (5, 1), rand (5, 1), "PreconditionRank", 0.5)
%!error <ExactCheckLimit must be a whole number from 0 to 2147483647, got -5> krrfit (rand (5, 1), rand (5, 1), "ExactCheckLimit", -5)
%!error <ScalableSubsetSize must be a whole number from 2 to 2147483647, got 1> krrfit (rand (5, 1), rand (5, 1), "ScalableSubsetSize", 1)
%!error <FinalObjective must be 'auto', true or false \(1 or 0, 'on' or 'off'\), got 'yes'> krrfit (rand (5, 1), rand (5, 1), "FinalObjective", "yes")
%!error <LogDetRank must be a whole number from 0 to 1000000, got -1> krrfit (rand (5, 1), rand (5, 1), "LogDetRank", -1)
%!error <Probes must be a whole number from 1 to 4096, got 0> krrfit (rand (5, 1), rand (5, 1), "Probes", 0)
%!error <Probes must be a whole number from 1 to 4096, got 5000> krrfit (rand (5, 1), rand (5, 1), "Probes", 5000)
%!error <BlockSize must be a whole number from 1 to 2147483647, got 0> krrfit (rand (5, 1), rand (5, 1), "BlockSize", 0)
%!error <Method must be> krrfit (rand (5, 1), rand (5, 1), "Method", "fast")
%!error <Method must be> krrfit (rand (5, 1), rand (5, 1), "Method", 1)
%!error <Tolerance must be a real scalar in \(0, 1\), got 0> krrfit (rand (5, 1), rand (5, 1), "Tolerance", 0)
%!error <Tolerance must be a real numeric scalar, got a 1 x 1 cell> krrfit (rand (5, 1), rand (5, 1), "Tolerance", {1e-3})
%!error <CacheBytes must be a number of bytes, 0 or more> krrfit (rand (5, 1), rand (5, 1), "CacheBytes", -1)
%!error <CacheBytes must be a number of bytes, 0 or more> krrfit (rand (5, 1), rand (5, 1), "CacheBytes", NaN)
%!error <Verbose must be true or false \(1 or 0, 'on' or 'off'\), got 'no'> krrfit (rand (5, 1), rand (5, 1), "Verbose", "no")
%!error <Standardize must be true or false \(1 or 0, 'on' or 'off'\), got 2> krrfit (rand (5, 1), rand (5, 1), "Standardize", 2)
%!error <CenterTargets must be true or false \(1 or 0, 'on' or 'off'\), got a 1 x 2 logical> krrfit (rand (5, 1), rand (5, 1), "CenterTargets", [true true])
%!error <LengthScales must be positive and finite, 1 x 2> krrfit (rand (5, 2), rand (5, 1), "LengthScales", [1 -1])
%!error <Amplitude must be positive and finite, 1 x 1> krrfit (rand (5, 2), rand (5, 1), "Amplitude", "a")
%!error <Ridge must be positive and finite, 1 x 1> krrfit (rand (5, 2), rand (5, 1), "Ridge", Inf)
%!error <RidgeBounds must be \[low high\] with 0 < low <= high, both finite> krrfit (rand (5, 1), rand (5, 1), "RidgeBounds", [1 0.5])
%!error <LengthScaleBounds must be \[low high\] with 0 < low <= high, both finite> krrfit (rand (5, 1), rand (5, 1), "LengthScaleBounds", [1 Inf])
%!error <AmplitudeBounds must be \[low high\] with 0 < low <= high, both finite> krrfit (rand (5, 1), rand (5, 1), "AmplitudeBounds", [1i 2])
%!error <Fixed as a vector must have d \+ 2 = 3> krrfit (rand (5, 1), rand (5, 1), "Fixed", [true false])
%!error <Fixed as a vector must hold true or false> krrfit (rand (5, 1), rand (5, 1), "Fixed", [0 2 1])
%!error <unknown parameter in Fixed: Noise> krrfit (rand (5, 1), rand (5, 1), "Fixed", {"Noise"})
%!error <Fixed must be a cell array of the names> krrfit (rand (5, 1), rand (5, 1), "Fixed", {1})
%!error <K \+ Ridge\*I is not positive definite in double precision at the start of stage \(exact\), even with Ridge raised to 1e-15, the upper end of RidgeBounds: raise RidgeBounds\(2\)> krrfit (repmat ([1; 2], 20, 1), repmat ([1; 2], 20, 1), "Verbose", false, "Amplitude", 1e4, "Ridge", 1e-16, "RidgeBounds", [1e-16 1e-15])
