% Tests of quorril's predictions against the kernel built from differences (ard_kernel),
% which the installed package's own tests (in inst/quorril.m) cannot see: at new samples,
% and at samples far from the origin or far beyond the training samples.

%!shared n, X, w
%! n = 120;
%! X = rand (3, n);
%! w = [1.5 0.7 2 1.2];

%!test
%! ## Against the cross-kernel built in full, at new samples.
%! alpha = randn (n, 1);
%! Xt = rand (3, 37);
%! K = ard_kernel (Xt, X, w);
%! assert (quorril (Xt, X, w, alpha), K * alpha, 1e-12);
%! ## Extra elements of w and alpha are ignored; row or column vectors both work.
%! assert (quorril (Xt, X, [w 99], [alpha; 5]'), K * alpha, 1e-12);

%!test
%! ## Samples far from the origin, test samples far beyond them, a feature of weight 0
%! ## whose squares overflow: the kernel as built from differences (written out where the
%! ## weight-0 feature must be left out, as 0 * Inf is NaN).
%! assert (quorril (1e8 + [0 0.5 1 1.5], 1e8, [1 1], 1), exp (-[0; 0.25; 1; 2.25]), 1e-15);
%! t = 1.7e9 + 3600 * (0:99);  alpha = randn (100, 1);  wt = [1 / (2 * 3600^2), 2];
%! tt = [1.7e9 + 1800 * (0:9), 1e200, -1e300];
%! K = ard_kernel (tt, t, wt);
%! assert (quorril (tt, t, wt, alpha), K * alpha, 1e-12);
%! assert (quorril ([0.3; 1e250], [0.2 0.9; 1e200 3], [2 0 1.5], [0.7; -0.4]), ...
%!         1.5 * exp (-2 * ([0.3 - 0.2, 0.3 - 0.9]) .^ 2) * [0.7; -0.4], 1e-15);
