function [f, g, alpha, lambda_bound] = krr_dense_lml(X, Y, theta, value_only)
% [f, g, alpha, lambda_bound] = krr_dense_lml (X, Y, theta)
% [f, g, alpha, lambda_bound] = krr_dense_lml (X, Y, theta, true)   the value and alpha only (g empty)
%
% Internal to krrfit: the exact log marginal likelihood of the Gaussian process with the
% ARD Gaussian kernel and noise variance ridge, and its gradient in theta, by a dense
% Cholesky factorisation. X is d x n (one sample per column), Y n x c (one kernel shared by
% the c outputs), theta = log ([w(1:d), amplitude, ridge]) with the kernel
% amplitude * exp (-sum_l w(l) * (a(l) - b(l))^2). f sums over the outputs; g is (d + 2) x 1.
% Where K + ridge*I is not numerically positive definite (or K is not finite), f is -Inf,
% g NaN and alpha NaN: a point the optimiser must reject, never a value it can accept.
% lambda_bound is the largest row sum of K, whose entries are positive: a bound on its
% largest eigenvalue that needs no factorisation, with which krrfit bounds the condition
% number of K + ridge*I.
%
% Memory: at most four n x n doubles live at once, the temporaries of each expression
% included (krrfit's memory check counts them).

[d, n] = size(X);
c = size(Y, 2);
w = exp(theta(1:d));
amplitude = exp(theta(d + 1));
ridge = exp(theta(d + 2));
% The kernel depends only on differences, so the samples are first translated to the
% midpoint of each feature's range: the Gram products below then cancel only as much as
% the spread of the data makes them, wherever the data lie (timestamps, large offsets).
centre = max(X, [], 2) / 2 + min(X, [], 2) / 2;
X = X - centre;
% S = sum_l w(l) (x_il - x_jl)^2 from the Gram matrix of the scaled samples: a matrix
% product instead of n x n differences per feature. For centred features the rounding is
% far below what the kernel's exp can show; S is kept >= 0, with 0 on the diagonal (a NaN
% from an overflowed norm stays NaN and fails the check below). Each step replaces the one
% n x n array, so that no expression holds more than two of them.
Xw = sqrt(w) .* X;
sq = sum(Xw .^ 2, 1);
K = Xw' * Xw;  % -S = 2 G - sq_i - sq_j, built in place of G
K = 2 * K;
K = K - sq';
K = K - sq;
K(K > 0) = 0;
K(1:n + 1:end) = 0;
K = exp(K);
K = amplitude * K;
failed = ~all(isfinite(K(:)));
if nargout > 3
  lambda_bound = max(sum(K, 2));
end
if ~failed
  R = K;
  R(1:n + 1:end) = R(1:n + 1:end) + ridge;
  [R, p] = chol(R);
  failed = p ~= 0;
end
if failed
  f = -Inf;
  g = NaN(d + 2, 1);
  alpha = NaN(n, c);
  return;
end
alpha = R \ (R' \ Y);
f = -0.5 * sum(sum(Y .* alpha)) - c * sum(log(diag(R))) - 0.5 * c * n * log(2 * pi);
if nargout < 2 || (nargin > 3 && value_only)
  g = [];
  return;
end
% d/dtheta_i = 1/2 sum_ij (alpha alpha' - c A^-1)_ij dA_ij/dtheta_i, where for a length
% scale dA_ij/dlog w(l) = -w(l) K_ij (x_il - x_jl)^2: with WK = W .* K symmetric,
% sum_ij WK_ij (x_il - x_jl)^2 = 2 sum_i x_il^2 (WK 1)_i - 2 x_l' WK x_l, matrix products
% instead of an n x n difference per feature (the features are centred, so the two terms
% do not cancel badly). A^-1 = R^-1 * R^-T from the factor: the inverse of the triangular R
% (LAPACK's triangular inverse where the host sees R is triangular), whose condition number
% is the square root of A's. Each n x n array is cleared as soon as it is spent.
R = inv(R);
W = R * R';
clear R;
W = -c * W;
W = W + alpha * alpha';
trace_w = trace(W);
W = W .* K;
clear K;
row_sums = sum(W, 2);
M = X * W;  % d x n
clear W;
g = zeros(d + 2, 1);
for l = 1:d
  g(l) = -w(l) * ((X(l, :) .^ 2) * row_sums - M(l, :) * X(l, :)');
end
g(d + 1) = 0.5 * sum(row_sums);
g(d + 2) = 0.5 * ridge * trace_w;
end
