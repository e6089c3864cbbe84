% Tests of krrpredict's predictions against the kernel built from differences (ard_kernel),
% which the installed package's own tests (in inst/krrpredict.m) cannot see.

%!test
%! ## Against the kernel built in full, in the original units, two outputs.
%! X = [rand(60, 1) * 10, randn(60, 1) + 5];
%! Y = [sin(X(:,1)), X(:,2) .^ 2];
%! model = struct ("X", ((X - mean (X)) ./ std (X))', "Alpha", randn (60, 2), ...
%!                 "Weights", [0.3 0.7 1.5], "Mu", mean (X), "Sigma", std (X), "YMean", [1 -2]);
%! Xn = [rand(7, 1) * 10, randn(7, 1) + 5];
%! Z = (Xn - model.Mu) ./ model.Sigma;
%! K = ard_kernel (Z', model.X, model.Weights);
%! assert (krrpredict (model, Xn), K * model.Alpha + [1 -2], 1e-12);
%! assert (krrpredict (model, Xn)(:,1), quorril (Z', model.X, model.Weights, model.Alpha(:,1)) + 1);

%!test
%! ## The deviations against the dense formula (chol of K + Ridge*I), two outputs, at the
%! ## training samples and beyond them: the exact method to 1e-8 relative, the latent and
%! ## the observation's; the approximate one within a percent of the observation's
%! ## deviation here, and no closer with a low rank; the intervals from them.
%! rand ("seed", 7);
%! n = 400;
%! X = [rand(n, 1) * 4, rand(n, 1)];
%! Y = [sin(X(:,1)), cos(2 * X(:,2))];
%! model = struct ("X", ((X - mean (X)) ./ std (X))', "Alpha", randn (n, 2), ...
%!                 "Weights", [0.8 1.3 1.7], "Mu", mean (X), "Sigma", std (X), ...
%!                 "YMean", [1 -2], "Ridge", 0.03);
%! Xn = [X(1:20,:); rand(30, 1) * 6 - 1, rand(30, 1)];
%! Z = ((Xn - model.Mu) ./ model.Sigma)';
%! Ks = ard_kernel (Z, model.X, model.Weights);
%! R = chol (ard_kernel (model.X, model.X, model.Weights) + model.Ridge * eye (n));
%! latent = model.Weights(end) - sum ((R' \ Ks') .^ 2, 1)';
%! [p, sd_curve] = krrpredict (model, Xn, "Method", "exact", "Prediction", "curve", "Verbose", false);
%! assert (sd_curve, repmat (sqrt (latent), 1, 2), -1e-8);
%! [p, sd, yint] = krrpredict (model, Xn, "Method", "exact", "Verbose", false, "Alpha", 0.1);
%! assert (sd, repmat (sqrt (latent + model.Ridge), 1, 2), -1e-8);
%! assert (size (yint), [50 2 2]);
%! assert (squeeze (yint(:, 2, :)) - p, 1.6448536269514722 * sd, -1e-12);
%! assert (p - squeeze (yint(:, 1, :)), 1.6448536269514722 * sd, -1e-12);
%! lastwarn ("");
%! [~, sd_approx] = krrpredict (model, Xn, "Method", "approximate", "Verbose", false);
%! assert (sd_approx, sd, -1e-2);
%! assert (lastwarn (), "");
%! ## A factor too short for the data: further off, and said so.
%! [~, sd_low] = krrpredict (model, Xn, "Method", "approximate", "Rank", 5, "Verbose", false);
%! assert (max (abs (sd_low(:) - sd(:)) ./ sd(:)) > max (abs (sd_approx(:) - sd(:)) ./ sd(:)));
%! [~, id] = lastwarn ();
%! assert (id, "krrpredict:approximate");

%!test
%! ## A model from krrfit: about 95% of new observations fall in its 95% intervals.
%! rand ("seed", 3); randn ("seed", 3);
%! X = rand (1400, 2);
%! y = sin (5 * X(:,1)) + X(:,2) .^ 2 + 0.2 * randn (1400, 1);
%! model = krrfit (X(1:400,:), y(1:400), "Verbose", false);
%! [~, ~, yint] = krrpredict (model, X(401:end,:), "Verbose", false);
%! inside = mean (y(401:end) >= yint(:,1) & y(401:end) <= yint(:,2));
%! assert (inside > 0.93 && inside < 0.97, "coverage %g", inside);
