function [Xtr, ytr, Xte, yte] = smooth_data(n)
% [Xtr, ytr, Xte, yte] = smooth_data (n)
%
% Benchmark data for the learner at scale: 10 features uniform on [0, 1], of which the last
% two are irrelevant, a smooth target of the first eight plus Gaussian noise of deviation
% 0.05; n training rows (rows of Xtr) and 10,000 test rows whose targets yte are the noise-
% free function, so the test RMSE measures the fit alone. The same n gives the same rows.
rand('state', 7);
randn('state', 7);
total = n + 10000;
X = rand(total, 10);
f = sin(2 * pi * X(:, 1)) + cos(pi * X(:, 2) .* X(:, 3)) + 2 * (X(:, 4) - 0.5) .^ 2 ...
    + 0.5 * X(:, 5) .* X(:, 6) + exp(-4 * (X(:, 7) - 0.5) .^ 2) + 0.3 * X(:, 8);
y = f + 0.05 * randn(total, 1);
Xtr = X(1:n, :);
ytr = y(1:n);
Xte = X(n + 1:end, :);
yte = f(n + 1:end);
end
