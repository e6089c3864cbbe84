% -*- texinfo -*-
% [V, G, info] = krr_solve (X, B, w, ridge, V0, name, value, ...)
%
% Internal (the tests and benchmarks call it from this folder): solves
% (K + ridge*I) * V = B for the c columns of B at once by exact block coordinate descent,
% each kernel column computed once per block for all columns. X is d x n (one sample per
% column), w the d + 1 weights (amplitude last), V0 an n x c starting point or []. Options
% by name, in any case: Tolerance (each column solved until max (abs (G(:,q))) <= Tolerance
% * max (abs (B(:,q))), checked afresh; 1e-300 to 1e300, default 1e-6), BlockSize (1 to n;
% default 256 where c > 1, 64 for one column, at most n), CacheBytes (the kernel column
% cache's budget, 0 or more; default Inf), Seed (0 to 2^53, default 0), MaxPasses (the work
% bound in passes over K, 0 to 1e12; default 1000). G = (K + ridge*I) * V - B. info is a
% struct: Status ('converged'; 'workBound': the work bound came first; 'roundingFloor': a
% tolerance below the rounding floor; 'overflow'; 'zeroOperator': K + ridge*I is zero),
% BlockSteps, Passes, Checks, Replacements, CacheColumns, MembersLeftOut, Seconds,
% Threads, ColumnsComputed and ColumnSeconds (kernel columns computed, seconds computing
% them). The same inputs and seed give the same bits at any thread count.
