function [Ypred, Ysd, Yint, model] = krrpredict(model, Xnew, varargin)
% KRRPREDICT  Predict with a kernel ridge regression model from krrfit, with the predictive
%   standard deviation and intervals of its Gaussian process.
%
%   Ypred = krrpredict (model, Xnew)
%   [Ypred, Ysd, Yint] = krrpredict (model, Xnew, Name, Value, ...)
%   [Ypred, Ysd, Yint, model] = krrpredict (model, Xnew, Name, Value, ...)
%
%   Xnew is m x d, one observation per row, in the units of the X given to krrfit: real,
%   finite, of any numeric class (a sparse one is made full). Ypred is m x c, one column
%   per output, in the units of the Y given to krrfit: the features are standardised and
%   the targets' means added back as krrfit did.
%
%   Each prediction is sum_j alpha(j, q) * K(xnew, x_j) over the training samples, with
%   each kernel value computed once for all outputs; with one output the result equals
%   quorril's on the standardised samples bit for bit. Threads and Ctrl-C as for quorril.
%   With one output argument nothing else is computed.
%
%   Ysd (m x c) is the standard deviation of the model's Gaussian process at each row of
%   Xnew, in the units of Y: by default that of a new observation there, sqrt (v + Ridge)
%   with v = Amplitude - k' * (K + Ridge * I) \ k the variance of the latent function and
%   Ridge the noise variance; with 'Prediction', 'curve', that of the latent function,
%   sqrt (v). The outputs share the kernel and its hyperparameters, each fitted scaled by
%   its YScale, so column q of Ysd is YScale(q) times that deviation. Yint holds the bounds of the 100 * (1 - Alpha)% intervals, Ypred -/+
%   z * Ysd with z the normal quantile: m x 2 for one output, m x 2 x c for several
%   (lower bounds in Yint(:, 1, q), upper in Yint(:, 2, q)).
%
%   What the deviation means: the spread of the posterior of a Gaussian process whose
%   prior is this kernel and whose noise is Gaussian with variance Ridge, given the
%   hyperparameters krrfit learned. It grows away from the training data (towards
%   sqrt (Amplitude + Ridge) far from it) and shrinks near it. It says nothing of how well
%   that model fits: a kernel or noise model that does not suit the data, or
%   hyperparameters learned from too few observations, give deviations that are too small
%   or too large, so check the intervals' coverage on held-out data where it matters.
%
%   Options (name-value pairs)
%     'Alpha'       the intervals' level, 100 * (1 - Alpha)%: in (0, 1) (default 0.05)
%     'Prediction'  'observation' (a new observation, noise included; the default) or
%                   'curve' (the latent function)
%     'Method'      'exact', 'approximate' or 'auto' (default):
%                   exact        k' * (K + Ridge * I) \ k solved for each row of Xnew by
%                                conjugate gradients preconditioned by the factor below,
%                                many rows at once sharing every kernel column, to a
%                                relative residual of 1e-10, with the quadratic form
%                                corrected by the checked residual: the deviation to about
%                                1e-8 relative, also at the training samples. Costs the
%                                factor and a few passes over K (7 at n = 10,000 on the
%                                diamonds data) for each batch of up to 256 rows. Up to
%                                n = 3,000 the factor may take any rank up to n, so
%                                that a small Ridge still needs only a few passes.
%                   approximate  a pivoted Cholesky factor of K of rank r (at most Rank,
%                                fewer where it leaves out at most 1e-4 * Ridge of any
%                                diagonal entry), then O(r d + r^2) per row: the
%                                deterministic training conditional, exact at r = n. Its
%                                error grows with what the factor leaves out against Ridge,
%                                and is checked in every call: 16 rows of Xnew, spread
%                                evenly (all of them where there are fewer), are solved
%                                exactly, preconditioned by the same factor, and where the
%                                95th percentile of their deviations' relative errors (of
%                                the kind Prediction asks for) is above DeviationTolerance,
%                                the warning krrpredict:approximate states it. Verbose
%                                prints it either way.
%                   auto         exact where n^2 * m <= 2e10 (n training rows, m rows of
%                                Xnew), approximate above; Verbose says which.
%                   Either method starts from the factor, which is kept with the model where
%                   krrpredict returns it (below), so that later calls skip it.
%     'Rank'        largest rank of the factor (default 4000); it may take at most 40% of
%                   the memory while it is built (n * r doubles), and is cut to fit. Up to
%                   n = 3,000 the exact method's may take any rank up to n, so that a
%                   small Ridge still needs only a few passes.
%     'DeviationTolerance'  the approximate deviations' largest acceptable relative error
%                   at the 95th percentile of the rows checked (default 0.02); Inf: no
%                   check, and no exact solves
%     'Verbose'     a progress line for the deviations: the method and its time (true)
%   A variance below its rounding floor (the unit roundoff times the size of the terms
%   that cancel in it) is reported as that floor, so Ysd is never 0 or imaginary.
%
%   The fourth output is the model with the factor in its field DeviationCache, where
%   this call built one: a struct of Pivots (r x 1, the training samples chosen), Factor
%   and Chol (r x r upper triangular: Factor' * Factor = K(Z, Z) and Chol' * Chol =
%   Ridge * K(Z, Z) + K(Z, X) * K(X, Z) for the pivots Z), LeftOut (the largest diagonal
%   entry of K the factor leaves out) and the Weights and Ridge it was built for; 2 r^2
%   numbers, whatever n. Passed to krrpredict again, the model's DeviationCache serves
%   every later call (the approximate rows, the check, the exact method's
%   preconditioner), whatever Rank says; one built for other Weights or another Ridge is
%   built again (and returned), and [] or no field means none. Older models, without the
%   field, are read as before.
%
%   The model must be one struct as krrfit returns it. Its FormatVersion (3, or 4 for a
%   Matern kernel; versions 2 and 1, the latter without that field, have no YScale, read
%   as ones) decides which fields are read, and each is checked before use: Kernel the
%   kernel's name (needed from version 4; a model of an earlier version without it is the
%   Gaussian, as it was fitted), X a real finite d x n matrix, Alpha
%   n x c, Weights d + 1 entries (positive length-scale weights, then the amplitude), Mu
%   and Sigma 1 x d (Sigma positive), YMean and YScale 1 x c (YScale positive), and for
%   Ysd and Yint Ridge a positive scalar, all real, finite and floating point. A model that does not pass is refused with krrpredict:invalidModel, naming the
%   field and what was expected.
%
%   Example
%     X = rand (300, 2);  y = sin (6 * X(:,1)) + X(:,2) + 0.1 * randn (300, 1);
%     model = krrfit (X, y, 'Verbose', false);
%     [ypred, ysd, yint] = krrpredict (model, rand (5, 2), 'Verbose', false);
%     [ypred, yint]            % the 95% intervals of new observations
%
%   See also krrfit, quorril.

if nargin < 2
  error('krrpredict:nargin', 'krrpredict: expected a model, XNEW and name-value options, got %d inputs', nargin);
end
% Sparse values made full (the compiled prediction reads full arrays of any class), and
% strings (the other host's) char rows or cells of them.
if issparse(Xnew)
  Xnew = full(Xnew);
end
if isstruct(model) && isscalar(model)
  names = fieldnames(model);
  for i = 1:numel(names)
    if issparse(model.(names{i}))
      model.(names{i}) = full(model.(names{i}));
    end
  end
end
% Sparse values made full, and strings (the other host's) char rows or cells of them.
args = plain_options(varargin);
% The prediction; the deviations only where asked for. Its warnings and refusals come back
% as data, raised here under krrpredict's name.
if nargout < 2
  [Ypred, warnings, failure] = krr_predict(model, Xnew, args{:});
elseif nargout < 4
  [Ypred, warnings, failure, Ysd, Yint] = krr_predict(model, Xnew, args{:});
else
  [Ypred, warnings, failure, Ysd, Yint, cache] = krr_predict(model, Xnew, args{:});
end
for i = 1:size(warnings, 1)
  warning(['krrpredict:', warnings{i, 1}], 'krrpredict: %s', warnings{i, 2});
end
if ~isempty(failure)
  error(['krrpredict:', failure{1}], 'krrpredict: %s', failure{2});
end
if nargout > 3 && ~isempty(cache)
  model.DeviationCache = cache;
end
end

%!shared model, Xn
%! model = struct ("X", [0 1 2; 1 0 1], "Alpha", [1 2; -1 0; 0.5 1], "Weights", [0.3 0.7 1.5], ...
%!                 "Mu", [1 2], "Sigma", [2 3], "YMean", [1 -2]);
%! Xn = [1 2; 3 4; 0 0];

%!test
%! ## Models without a version (the first release) and of version 2 give the same
%! ## predictions; a single-precision field or a column Weights is read as it was.
%! p = krrpredict (model, Xn);
%! assert (size (p), [3 2]);
%! v2 = model;  v2.FormatVersion = 2;
%! assert (krrpredict (v2, Xn), p);
%! v2.Weights = single (v2.Weights');
%! assert (krrpredict (v2, Xn), p, 1e-6);
%! assert (krrpredict (model, zeros (0, 2)), zeros (0, 2));

%!test
%! ## The deviations: one column per output, all alike without YScale, each scaled by its
%! ## YScale with; the observation's above the latent function's by the noise; intervals
%! ## that widen as Alpha falls; one output m x 2.
%! m = model;  m.Ridge = 0.1;
%! [p, sd, yint] = krrpredict (m, Xn, "Verbose", false);
%! [~, sd_curve, yint_curve] = krrpredict (m, Xn, "Prediction", "curve", "Verbose", false);
%! assert (size (sd), [3 2]);
%! assert (sd(:,1), sd(:,2));
%! assert (sd .^ 2, sd_curve .^ 2 + 0.1, 1e-12);
%! m3 = m;  m3.FormatVersion = 3;  m3.YScale = [0.5 8];
%! [p3, sd3, yint3] = krrpredict (m3, Xn, "Verbose", false);
%! assert (p3, p);
%! assert (sd3, sd .* [0.5 8], 1e-15);
%! assert (yint3(:,2,:) - yint3(:,1,:), (yint(:,2,:) - yint(:,1,:)) .* reshape ([0.5 8], 1, 1, 2), 1e-12);
%! [~, ~, narrow] = krrpredict (m, Xn, "Alpha", 0.5, "Verbose", false);
%! assert (all (narrow(:,2,:) < yint(:,2,:) & narrow(:,1,:) > yint(:,1,:)));
%! ## The far tail keeps its level: 1 - 1e-17 is 1, but z = sqrt(2) erfcinv(1e-17) = 8.5739...
%! [p, sd, tiny] = krrpredict (m, Xn, "Alpha", 1e-17, "Verbose", false);
%! assert ((tiny(:,2,:) - tiny(:,1,:)) ./ (2 * reshape (sd, 3, 1, 2)), 8.573944076720883 * ones (3, 1, 2), 1e-13);
%! one = m;  one.Alpha = m.Alpha(:,1);  one.YMean = 1;
%! [~, ~, y1] = krrpredict (one, Xn, "Verbose", false);
%! assert (size (y1), [3 2]);
%! assert (y1, squeeze (yint(:, :, 1)), 1e-12);
%! ## Far from the training data the deviation tends to that of the prior.
%! [~, far] = krrpredict (m, [1e3 1e3], "Prediction", "curve", "Verbose", false);
%! assert (far(1), sqrt (1.5), 1e-12);

%!test
%! ## The factor kept with the model: the fourth output holds it, and passed again it
%! ## serves the call (the same bits, none built); one of other Weights is built again; a
%! ## model without one, or with [], builds its own.
%! m = model;  m.Ridge = 0.1;
%! [p, sd, yint, kept] = krrpredict (m, Xn, "Method", "approximate", "Verbose", false);
%! c = kept.DeviationCache;
%! assert (fieldnames (c)', {"Pivots", "Factor", "Chol", "LeftOut", "Weights", "Ridge"});
%! r = numel (c.Pivots);
%! assert (size (c.Factor), [r r]);
%! assert (c.Weights, m.Weights);
%! assert (c.Ridge, 0.1);
%! assert (isequal (rmfield (kept, "DeviationCache"), m));
%! [~, sd2, ~, again] = krrpredict (kept, Xn, "Method", "approximate", "Verbose", false);
%! assert (sd2, sd);
%! assert (isequal (again, kept));
%! moved = kept;  moved.Weights(1) = 2 * moved.Weights(1);
%! [~, sd3, ~, rebuilt] = krrpredict (moved, Xn, "Method", "approximate", "Verbose", false);
%! assert (rebuilt.DeviationCache.Weights, moved.Weights);
%! m.Weights(1) = moved.Weights(1);
%! assert (sd3, nthargout (2, @krrpredict, m, Xn, "Method", "approximate", "Verbose", false));
%! kept.DeviationCache = [];
%! assert (nthargout (2, @krrpredict, kept, Xn, "Method", "approximate", "Verbose", false), sd);

%!test
%! ## A factor of rank 1 leaves out most of K: the check against exact solves states
%! ## the error for the kind asked; a tolerance above it keeps quiet.
%! m = model;  m.Ridge = 1e-3;
%! args = {"Method", "approximate", "Rank", 1, "Prediction", "curve", "Verbose", false};
%! sd = nthargout (2, @krrpredict, m, Xn, args{:}, "DeviationTolerance", Inf);
%! exact = nthargout (2, @krrpredict, m, Xn, "Method", "exact", "Prediction", "curve", "Verbose", false);
%! err = sort (abs (sd(:,1) - exact(:,1)) ./ exact(:,1));
%! assert (err(end) > 0.1);
%! warning ("error", "krrpredict:approximate", "local");
%! try
%!   [~, ~] = krrpredict (m, Xn, args{:});
%!   error ("no warning");
%! catch e
%!   assert (e.identifier, "krrpredict:approximate");
%!   assert (regexp (e.message, "^krrpredict: the approximate deviations \\(Prediction 'curve'\\) are off by about "));
%!   assert (! isempty (strfind (e.message, sprintf ("%.3g%% at the 95th percentile of 3 rows", 100 * err(end)))));
%! end
%! [~, ~] = krrpredict (m, Xn, args{:}, "DeviationTolerance", 2 * err(end));

%!error id=krrpredict:nargin krrpredict (1)
%!error <options must be name-value pairs> krrpredict (model, Xn, "Alpha")
%!error <unknown option 'Level'> krrpredict (model, Xn, "Level", 0.1)
%!error <Alpha must be in \(0, 1\), got 1> krrpredict (model, Xn, "Alpha", 1)
%!error <Prediction must be 'observation', 'curve', got 'new'> krrpredict (model, Xn, "Prediction", "new")
%!error <Method must be 'auto', 'exact', 'approximate'> krrpredict (model, Xn, "Method", "fast")
%!error <Rank must be a whole number from 1 to 1000000, got 0> krrpredict (model, Xn, "Rank", 0)
%!error <Verbose must be true or false> krrpredict (model, Xn, "Verbose", "no")
%!error <MODEL must have the field Ridge for YSD and YINT> [p, s] = krrpredict (model, Xn)
%!error <MODEL.Ridge must be a positive scalar, got 0> m = model; m.Ridge = 0; [p, s] = krrpredict (m, Xn)
%!error <MODEL must be a struct returned by krrfit, got a double> krrpredict (1, 2)
%!error <MODEL must be one struct returned by krrfit, got a 2 x 1 struct array> krrpredict ([model; model], Xn)
%!error <MODEL must be a struct returned by krrfit; it has no field YMean> krrpredict (rmfield (model, "YMean"), Xn)
%!error <MODEL.FormatVersion must be 1, 2, 3 or 4> m = model; m.FormatVersion = 5; krrpredict (m, Xn)
%!error <MODEL must be a struct returned by krrfit; it has no field Kernel> m = model; m.FormatVersion = 4; m.YScale = [1 1]; krrpredict (m, Xn)
%!error <MODEL.Kernel must be 'squaredexponential', 'matern12', 'matern32' or 'matern52', got 'cubic'> m = model; m.Kernel = "cubic"; krrpredict (m, Xn)
%!error <MODEL.Kernel must be a kernel's name \(a character row\), got a 1 x 1 double> m = model; m.Kernel = 52; krrpredict (m, Xn)
%!test
%! ## A model without Kernel (saved before kernels were named) is the Gaussian: the same
%! ## predictions and deviations as one naming it; a Matern kernel's differ.
%! m = model;  m.Ridge = 0.1;
%! [p, sd] = krrpredict (m, Xn, "Verbose", false);
%! named = m;  named.Kernel = "squaredexponential";
%! [p2, sd2] = krrpredict (named, Xn, "Verbose", false);
%! assert (p2, p);
%! assert (sd2, sd);
%! named.Kernel = "matern32";  named.FormatVersion = 4;  named.YScale = [1 1];
%! assert (abs (krrpredict (named, Xn) - p) > 1e-6);
%!error <MODEL must be a struct returned by krrfit; it has no field YScale> m = model; m.FormatVersion = 3; krrpredict (m, Xn)
%!error <MODEL.YScale must be positive> m = model; m.FormatVersion = 3; m.YScale = [1 0]; krrpredict (m, Xn)
%!error <MODEL.YScale must be a 1 x 2 row vector \(one entry per column of Alpha\), got 1 x 1> m = model; m.YScale = 2; krrpredict (m, Xn)
%!error <MODEL.X must be real floating point \(double or single\), got int32> m = model; m.X = int32 (m.X); krrpredict (m, Xn)
%!error <MODEL.X must be a d x n matrix with d and n at least 1, got 0 x 3> m = model; m.X = zeros (0, 3); krrpredict (m, zeros (3, 0))
%!error <MODEL.X must be finite> m = model; m.X(2) = NaN; krrpredict (m, Xn)
%!error <MODEL.Alpha must be an n x c matrix, n = 3 \(the columns of X\), got 2 x 2> m = model; m.Alpha = m.Alpha(1:2,:); krrpredict (m, Xn)
%!error <MODEL.Alpha must be real floating point \(double or single\), got complex double> m = model; m.Alpha = m.Alpha * 1i; krrpredict (m, Xn)
%!error <MODEL.Weights must be a vector of d \+ 1 = 3 entries, got 1 x 4> m = model; m.Weights = [1 1 1 1]; krrpredict (m, Xn)
%!error <MODEL.Weights must be a vector of d \+ 1 = 3 entries, got 2 x 3> m = model; m.Weights = ones (2, 3); krrpredict (m, Xn)
%!error <MODEL.Weights must be nonnegative> m = model; m.Weights = [1 -1 1]; krrpredict (m, Xn)
%!error <MODEL.Mu must be a 1 x 2 row vector, got 2 x 1> m = model; m.Mu = m.Mu'; krrpredict (m, Xn)
%!error <MODEL.Sigma must be a 1 x 2 row vector, got 1 x 1> m = model; m.Sigma = 1; krrpredict (m, Xn)
%!error <MODEL.Sigma must be positive> m = model; m.Sigma = [1 0]; krrpredict (m, Xn)
%!error <MODEL.YMean must be a 1 x 2 row vector \(one entry per column of Alpha\), got 2 x 1> m = model; m.YMean = m.YMean'; krrpredict (m, Xn)
%!error <MODEL.YMean must be a 1 x 2 row vector \(one entry per column of Alpha\), got 1 x 3> m = model; m.YMean = [1 2 3]; krrpredict (m, Xn)
%!error <XNEW must be a real matrix with 2 columns \(the model's features\), one observation per row, got a 4 x 3 double> krrpredict (model, ones (4, 3))
%!error <XNEW must be a real matrix with 2 columns \(the model's features\), one observation per row, got a 3 x 2 logical> krrpredict (model, Xn > 1)
%!error <got a 2 x 3 double; if its columns are the observations, pass XNEW'> krrpredict (model, Xn')
%!error <XNEW must be finite, but XNEW\(4,2\) is NaN> krrpredict (model, [Xn; 1 NaN])
%!error <XNEW must be finite, but XNEW\(1,1\) is Inf> krrpredict (model, [Inf 0])
%!error id=krrpredict:invalidInput m = model; m.Sigma = [1e-300 1]; krrpredict (m, [1e10 0])
%!error <DeviationTolerance must be positive \(Inf: no check\), got 0> m = model; m.Ridge = 1; [p, s] = krrpredict (m, Xn, "DeviationTolerance", 0)
%!error <MODEL.DeviationCache must be empty or one struct as krrpredict returns it> m = model; m.Ridge = 1; m.DeviationCache = 1; [p, s] = krrpredict (m, Xn)
%!error <MODEL.DeviationCache.Pivots must be training samples, from 1 to n> m = model; m.Ridge = 1; [~, ~, ~, m] = krrpredict (m, Xn, "Verbose", false); m.DeviationCache.Pivots(1) = 4; [p, s] = krrpredict (m, Xn)
%!error <MODEL.DeviationCache.Chol must be r x r> m = model; m.Ridge = 1; [~, ~, ~, m] = krrpredict (m, Xn, "Verbose", false); m.DeviationCache.Chol(:, end) = []; [p, s] = krrpredict (m, Xn)
