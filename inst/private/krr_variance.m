% -*- texinfo -*-
% [v, info] = krr_variance (Xtest, X, w, ridge, settings)
%
% Internal to krrpredict: the latent predictive variance K(x,x) - k' * (K + ridge*I) \ k of
% the Gaussian process with this kernel and noise variance ridge at every test sample
% x = Xtest(:,i), k = K(X, x), never below its rounding floor. X is d x n, Xtest d x nt
% (one sample per column), w the d + 1 weights (amplitude last), ridge > 0, settings
% [method, relative_tol, k, cache_bytes, seed, max_passes, batch, max_rank, rank_tol]: a
% greedy pivoted Cholesky factor of K of rank at most max_rank, stopped once it leaves out
% at most rank_tol * ridge on the diagonal; method 0 solves for k exactly by conjugate
% gradients preconditioned by it (to relative_tol, at most max_passes iterations, batch
% test samples at a time, the quadratic form corrected by the checked residual), 1 uses
% the factor alone (the deterministic training conditional). seed is unused. info = [status, passes, rank,
% largest residual of the factor, seconds, threads used]; status as for krr_solve. The same
% inputs give the same bits at any thread count.
