% -*- texinfo -*-
% [V, G, info] = krr_solve (X, B, w, ridge, settings, V0)
%
% Internal to krrfit: solves (K + ridge*I) * V = B for the c columns of B at once by exact
% block coordinate descent, each kernel column computed once per block for all columns.
% X is d x n (one sample per column), w the d + 1 weights (amplitude last), settings
% [relative_tol, k, cache_bytes, seed, max_passes], V0 an n x c starting point or [].
% G = (K + ridge*I) * V - B, checked afresh; info = [status, block steps, passes, checks,
% replacements, cache columns, members left out, seconds, threads used], status 0 when
% every column met relative_tol * max (abs (B(:,q))), 1 at the work bound, 2 below the
% rounding floor, 3 on overflow, 4 where K + ridge*I is zero. The same inputs and seed
% give the same bits at any thread count.
