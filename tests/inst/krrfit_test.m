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
%! [fe, ge, V, info] = krr_lml (X, Y, exp (theta(1:3))', exp (theta(4)), [64, 0, 1e-10, 8, Inf, 1, 25, 1e-12, 1000], []);
%! assert (V(:, 1:2), A \ Y, 1e-8);
%! assert (info(1), sum (sum (Y .* (A \ Y))), 1e-8);
%! assert (abs (fe - f) <= 2 * 4 * info(3));
%! unwind_protect_cleanup
%!   cd (here);
%! end_unwind_protect

%!shared X, y
%! rand ("seed", 2); randn ("seed", 2);
%! X = [rand(120, 2) .* [1 100], 1e4 + rand(120, 1)];   # the third feature is noise
%! y = 5 + sin (6 * X(:,1)) + (X(:,2) / 100) .^ 2 + 0.05 * randn (120, 1);

%!test
%! ## The scalable stage: same bits on one thread and on two; the final solve meets its
%! ## tolerance; several outputs share the kernel.
%! old = getenv ("KRR_NUM_THREADS");
%! Y2 = [y, cos(3 * X(:,1))];
%! opts = {"Verbose", false, "Method", "scalable", "SubsetSize", 40, "PolishLimit", 0, ...
%!         "ScalableIterations", 2, "Probes", 3, "MaxIterations", 4};
%! unwind_protect
%!   setenv ("KRR_NUM_THREADS", "1");
%!   a = krrfit (X, Y2, opts{:});
%!   setenv ("KRR_NUM_THREADS", "2");
%!   b = krrfit (X, Y2, opts{:});
%! unwind_protect_cleanup
%!   setenv ("KRR_NUM_THREADS", old);
%! end_unwind_protect
%! assert (b.Alpha, a.Alpha);
%! assert (b.History(:,1:3), a.History(:,1:3));
%! K = ard_kernel (a.X, a.X, a.Weights);
%! R = (K + a.Ridge * eye (120)) * a.Alpha - (Y2 - mean (Y2));
%! assert (max (abs (R)) <= 1e-8 * max (abs (Y2 - mean (Y2))) * (1 + 1e-6));
%! assert (size (krrpredict (a, X(1:4,:))), [4 2]);
