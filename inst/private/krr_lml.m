% -*- texinfo -*-
% [f, g, V, info, q, t] = krr_lml (X, Y, w, ridge, settings, V0)
%
% Internal to krrfit: estimates the log marginal likelihood of the Gaussian process with
% the ARD Gaussian kernel and noise variance ridge, summed over the c columns of Y, and its
% gradient in log ([w, ridge]), without forming K: exact solves of K + ridge*I for Y and
% fixed Rademacher probes, Hutchinson estimates of the trace terms, and stochastic Lanczos
% quadrature for the log determinant (preconditioned with a pivoted partial Cholesky factor
% of K of at most log_det_rank columns where that is above 0). X is d x n, settings
% [probes, seed, relative_tol, k, cache_bytes, log_det, lanczos_steps, lanczos_tol,
% max_passes, rank, log_det_rank], V0 a warm start (the V of an earlier call) or []. f is
% NaN where log_det is 0; log_det 2 gives the value alone (the targets solved, not the
% probes, and no gradient: g and t NaN). V = [alpha, solved probes];
% info = [data_fit, log_det, log_det_error, solve status (as krr_solve's), block steps,
% passes, checks, cache columns, seconds, block pivots too small for the bordered update,
% threads used, passes over K, kernel columns computed, seconds computing them, Lanczos
% steps]; q each probe's estimate of the log determinant (mean: the estimate); t, (d + 2) x probes and computed only
% where asked for, each probe's estimate of the trace term that g subtracts (its spread is
% g's error).
