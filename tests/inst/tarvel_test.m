% Tests of tarvel's results against the kernel built from differences (ard_kernel), which
% the installed package's own tests (in inst/tarvel.m) cannot see: the solution and its
% objective, ill-conditioned systems, the fresh gradient below the rounding floor, and
% samples far from the origin.

%!shared X, y, w, n, ridge, A
%! n = 150; ridge = 0.1;
%! X = rand (3, n);
%! y = sin (3 * X(1,:))' + X(2,:)' .^ 2 - 0.5;
%! w = [0.5 1 2 1.5];
%! A = ard_kernel (X, X, w) + ridge * eye (n);

%!test
%! tol = 1e-9; k = 10;
%! [alpha, grad, seconds, evals, objective] = quiet_tarvel (X, y, w, ridge, tol, k, 8 * n^2);
%! assert (size (alpha), [n 1]);
%! assert (size (grad), [n 1]);
%! ## The data are random, so each tolerance follows from the system: two sums of n
%! ## products differ by at most 2 n eps times the sum of their magnitudes, and
%! ## |alpha - A \ y| <= |A^-1| |grad| <= sqrt(n) tol / ridge (the dense solve's own error,
%! ## cond(A) eps |alpha|, is far below that).
%! assert (A * alpha - y, grad, 2 * n * eps * max (abs (A) * abs (alpha) + abs (y)));
%! assert (max (abs (grad)) <= tol);
%! assert (alpha, A \ y, 1.01 * sqrt (n) * tol / ridge);
%! assert (objective, 0.5 * alpha' * A * alpha - y' * alpha, 1e-12);
%! steps = evals / (n * k);
%! assert (steps >= 1 && steps == fix (steps));
%! assert (isscalar (seconds) && seconds >= 0 && seconds < 60);

%!test
%! ## Ill-conditioned but solvable: samples on a line under a long length scale, ridges
%! ## down to 0. Finite outputs, and either success that the kernel built from
%! ## differences confirms or a warning that says why not.
%! Xl = linspace (0, 1, 300);  yl = sin (6 * Xl)';
%! for ridge_l = [1e-4 1e-8 1e-12 0]
%!   for k = [8 32 128]
%!     lastwarn ("");
%!     [alpha, grad] = quiet_tarvel (Xl, yl, [1 1], ridge_l, 1e-6, k, Inf);
%!     [~, id] = lastwarn ();
%!     assert (all (isfinite ([alpha; grad])));
%!     true_grad = (ard_kernel (Xl, Xl, [1 1]) + ridge_l * eye (300)) * alpha - yl;
%!     assert (max (abs (true_grad)) <= 1.01e-6 || any (strcmp (id, {"tarvel:notConverged", "tarvel:toleranceUnreachable"})));
%!   endfor
%! endfor

%!test
%! ## Success only where (K + ridge*I) * alpha - y computed afresh meets tol; a tol below
%! ## its rounding floor is said to be unreachable, with the fresh gradient returned.
%! for scale = [1 1e10]
%!   lastwarn ("");
%!   [alpha, grad] = quiet_tarvel (X, scale * y, [1 1 1 1], 1e-2, 1e-20 * scale, 32, Inf);
%!   [~, id] = lastwarn ();
%!   assert (id, "tarvel:toleranceUnreachable");
%!   B = ard_kernel (X, X, [1 1 1 1]) + 1e-2 * eye (n);
%!   assert (grad, B * alpha - scale * y, 1e-10 * scale);
%! endfor

%!test
%! ## Samples far from the origin: an offset, hourly timestamps of a year.
%! Xo = X + 1e6;
%! [alpha, grad] = quiet_tarvel (Xo, y, w, ridge, 1e-9, 16, Inf);
%! assert (alpha, A \ y, 1.01 * sqrt (n) * 1e-9 / ridge);
%! t = 1.7e9 + 3600 * (0:199) + 600 * sin (1.3 * (0:199));
%! yt = sin ((0:199)' / 7);
%! wt = [1 / (2 * 3600^2), 1];
%! [alpha, grad] = quiet_tarvel (t, yt, wt, 0.1, 1e-9, 16, Inf);
%! At = ard_kernel (t, t, wt) + 0.1 * eye (200);
%! assert (alpha, At \ yt, 1.01 * sqrt (200) * 1e-9 / 0.1);
%! assert (max (abs (At * alpha - yt)) <= 1e-9 * 1.01);
