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
