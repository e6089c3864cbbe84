% FRIEDMAN_DATA  Benchmark data: d = 8 features uniform on [0, 1], Friedman-1 targets.
%
%   [X, y] = friedman_data (n, seed)
%
%   y = 10 sin(pi x1 x2) + 20 (x3 - 0.5)^2 + 10 x4 + 5 x5 + unit Gaussian noise,
%   centred; x6 ... x8 are irrelevant features. X is 8 x n, one sample per column.

function [X, y] = friedman_data (n, seed)
  rand ("state", seed);
  randn ("state", seed);
  X = rand (8, n);
  y = 10 * sin (pi * X(1,:) .* X(2,:)) + 20 * (X(3,:) - 0.5) .^ 2 + 10 * X(4,:) ...
      + 5 * X(5,:) + randn (1, n);
  y = (y - mean (y))';
endfunction
