% -*- texinfo -*-
% [f, g, V, info, q, t] = krr_lml (X, Y, w, ridge, V0, name, value, ...)
%
% Internal (the tests and benchmarks call it from this folder): estimates the log marginal
% likelihood of the Gaussian process with the ARD Gaussian kernel and noise variance ridge,
% summed over the c columns of Y, and its gradient in log ([w, ridge]), without forming K:
% exact solves of K + ridge*I for Y and fixed Rademacher probes, Hutchinson estimates of
% the trace terms, and stochastic Lanczos quadrature for the log determinant. X is d x n,
% V0 a warm start (the V of an earlier call) or []. Options by name, in any case: Probes
% (1 to 4096, default 16), Seed (0 to 2^53, default 0), Tolerance (each solve's, relative
% to its right side's largest magnitude; default 1e-6), BlockSize (1 to n; default 256, at
% most n), CacheBytes (default Inf), LogDet ('none': the gradient alone, f NaN; 'with':
% the value too, the default; 'only': the value alone, the targets solved, not the probes,
% and no gradient: g and t NaN), LanczosSteps (1 to 100000, default 60), LanczosTolerance
% (0 to 1, default 1e-6), MaxPasses (default 1000), Rank (0: the solves by block
% coordinate descent; above: by conjugate gradients preconditioned with a pivoted partial
% Cholesky factor of K of at most that rank; default 0), LogDetRank (above 0: the log
% determinant's Lanczos preconditioned with such a factor; default 0).
% V = [alpha, solved probes]; info is a struct: DataFit, LogDet, LogDetError, Status (as
% krr_solve's), BlockSteps, Passes, Checks, CacheColumns, Seconds, SmallPivots (block
% pivots too small for the bordered update), Threads, PassesOverK, ColumnsComputed,
% ColumnSeconds, LanczosSteps; q each probe's estimate of the log determinant (mean: the
% estimate); t, (d + 2) x probes and computed only where asked for, each probe's estimate
% of the trace term that g subtracts (its spread is g's error).
