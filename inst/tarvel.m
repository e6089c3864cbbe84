% TARVEL  Train exact kernel ridge regression with an ARD Gaussian kernel.
%
%   [alpha, grad, seconds, evals, objective] = tarvel (X, y, w, ridge, tol, k, cache_bytes)
%
%   Solves (K + ridge*I) * alpha = y, where K(i,j) = w(d+1) * exp (-sum_l w(l) *
%   (X(l,i) - X(l,j))^2) is the kernel matrix of the training samples, by exact block
%   coordinate descent: each block step picks k samples (the largest absolute gradient
%   first, then the best of 60 random candidates at a time), solves their k x k system
%   exactly and updates the gradient of all samples. Kernel columns are kept in a cache
%   of at most cache_bytes bytes, so K is never formed. The descent stops once
%   max (abs (grad)) <= tol and a fresh computation of (K + ridge*I) * alpha - y
%   confirms it (see Endings).
%
%   Inputs
%     X            d x n real double matrix: one training sample per column (n >= 1,
%                  d >= 0). Finite.
%     y            real double array with at least n elements: the targets (the first n
%                  are used). Finite.
%     w            real double array with at least d+1 elements: w(1:d) weight the squared
%                  feature differences, w(d+1) is the kernel amplitude. Finite, >= 0.
%     ridge        real scalar >= 0, added to the diagonal of K.
%     tol          real scalar > 0: stopping tolerance on max (abs (grad)). Every finite
%                  tol below 2^53 gets at least one block step; Inf, NaN or a tol of
%                  2^53 or more (where tol + 1 == tol) asks for none (alpha = 0,
%                  grad = -y).
%     k            real scalar, truncated toward zero to the block size, 1 <= k <= n.
%     cache_bytes  real scalar: memory budget of the kernel column cache in bytes. It
%                  buys floor (cache_bytes / (8*n)) columns of n doubles, at least 2 and
%                  at most n; Inf (or any budget of 8*n^2 bytes or more) caches every
%                  column. NaN is refused.
%   Scalars may be of any numeric class; arrays must be real, full (not sparse) double.
%
%   Outputs
%     alpha        n x 1 coefficients.
%     grad         n x 1 final gradient (K + ridge*I) * alpha - y.
%     seconds      elapsed wall-clock time of the solve.
%     evals        nominal kernel evaluations: n * k * (number of block steps).
%     objective    0.5 * alpha' * (K + ridge*I) * alpha - y' * alpha.
%   Any number of outputs from 0 to 5 may be requested; all are computed. Every call
%   prints three report lines: the evaluation count, the objective and the elapsed time.
%
%   Data far from the origin
%     The kernel depends only on differences of samples, but it is computed from
%     weighted squared norms, |a|^2 + |b|^2 - 2 a.b, which cancels when the samples sit
%     far from the origin relative to their spread (timestamps, positions with a large
%     offset). Where the largest weighted squared norm N of the columns of X exceeds 2048
%     and 64 times that of the columns translated to the midpoint of each feature's
%     range, or where a norm is not safely finite, the kernel is computed on the
%     translated samples instead (features of weight 0 left out), and where even those
%     overflow, from the differences term by term. quorril derives the same translation
%     from X and w, so the two always agree. Elsewhere the norms are used as they are.
%
%   Endings
%     Success is reported only after (K + ridge*I) * alpha - y, computed afresh in one
%     pass over the columns, is within tol too: the gradient the descent carries is a
%     running update that drifts by rounding. Where the fresh one is not within tol, the
%     descent goes on from it. Where it is at the rounding level of the sums that form it
%     (so that no smaller tol can be told met in double precision), the call ends with the
%     warning tarvel:toleranceUnreachable, which gives the tol that can be reached, and
%     grad is the fresh gradient. A tolerance that the iteration cannot reach in
%     reasonable time ends at the work bound: block steps worth 1000 passes over the data
%     (steps * k >= 1000 * n, a failed fresh check counting as one pass), with the
%     warning tarvel:notConverged and the iterate reached.
%
%   Ill-conditioned systems
%     Each block is solved by bordered inverse updates while every pivot is at least 2^-20
%     of its diagonal entry; from a smaller pivot on, by a Cholesky factorisation, which
%     leaves out a member whose pivot is below 2^-40 of its diagonal entry (a sample that
%     coincides, or nearly, with others under the weights w). Every block solution is
%     checked to lower the objective. So outputs stay finite and the objective never
%     rises, and the warning tarvel:illConditioned says when this happened (a larger
%     ridge is the remedy); it also says when K + ridge*I is zero (amplitude and ridge
%     both 0), which ends the call after one step.

%   Predict at new samples with quorril (Xtest, X, w, alpha).
%
%   Errors (identifiers)
%     tarvel:nargin        not exactly 7 inputs
%     tarvel:nargout       more than 5 outputs requested
%     tarvel:invalidInput  an argument of the wrong class, shape, size or value; the
%                          message names the argument and what was expected
%     tarvel:outOfMemory   the working arrays cannot be had (beyond the memory the
%                          process can have, or refused); the message gives the bytes
%                          asked for (lower k, or cache_bytes)
%     tarvel:interrupted   (MATLAB) the user interrupted the call; see Signals
%   Warnings
%     tarvel:cacheCapped           cache_bytes is more than the process can have: the
%                                  cache was capped (see Memory)
%     tarvel:threadSetting         KRR_NUM_THREADS is unusable; the default is used
%     tarvel:notConverged          the work bound ended the descent above tol
%     tarvel:toleranceUnreachable  tol is below what double precision can reach here
%     tarvel:illConditioned        pivots too small for the bordered update, members
%                                  left out, or K + ridge*I = 0 (see above)
%     tarvel:breakdown             the solution overflows double precision (huge targets
%                                  for the ridge): alpha or grad holds Inf or NaN
%
%   Memory: the cache is capped by the memory the process can really have (available
%   memory, its control group's limit, at most KRR_MEMORY_LIMIT bytes where that
%   environment variable is set): everything must fit in 90% of it, so that no budget
%   brings the system's out-of-memory killer on the session. A capped cache gives the same
%   results; columns that do not fit are computed again.
%
%   Threads: the row loops use one thread per processor this process may use (its CPU
%   affinity and its control group's quota); set the environment variable
%   KRR_NUM_THREADS (e.g. setenv ("KRR_NUM_THREADS", "1")) to a whole number from 1 to
%   1024 to change that. Results are identical bit for bit whatever the setting. On a
%   busy machine the calling thread runs alone for a while rather than wait for threads
%   the system has descheduled.
%
%   Signals: Ctrl-C is seen within milliseconds (between block steps and inside them).
%   In Octave it ends the call, releasing everything, and the whole command line, as for
%   Octave's own functions: a try/catch around the call does not catch it. Other signals
%   get Octave's own handling (a background child that ends does not stop the call;
%   SIGTERM ends Octave). In MATLAB the call ends with tarvel:interrupted and the
%   interrupt is left pending for MATLAB.
%
%   Random candidates are drawn from the C library's rand, which this function never
%   seeds, so two calls on the same data may take different paths to the same
%   solution.
%
%   Example
%     X = rand (2, 500);  y = sin (6 * X(1,:))' + X(2,:)';
%     w = [4 4 1];                     % feature weights, then the amplitude
%     [alpha, grad] = tarvel (X, y, w, 1e-2, 1e-6, 32, 8 * 500^2);
%     max (abs (grad))                 % <= 1e-6
%     f = quorril (rand (2, 10), X, w, alpha);
%
%   See also quorril.

%!function varargout = quiet_tarvel (varargin)
%!  evalc ("[varargout{1:max(nargout,1)}] = tarvel (varargin{:});");
%!endfunction

%!shared X, y, w, n, d, ridge
%! n = 150; d = 3; ridge = 0.1;
%! X = rand (d, n);
%! y = sin (3 * X(1,:))' + X(2,:)' .^ 2 - 0.5;
%! w = [0.5 1 2 1.5];

%!test
%! ## The three report lines, once per call, matching the outputs.
%! text = evalc ("[alpha, grad, seconds, evals, objective] = tarvel (X, y, w, ridge, 1e-6, 5, 0);");
%! lines = strsplit (strtrim (text), "\n");
%! assert (numel (lines), 3);
%! assert (lines{1}, sprintf ("Number of kernel evaluation is %.0f.", evals));
%! assert (lines{2}, sprintf ("Objectve function is %f", objective));
%! assert (! isempty (regexp (lines{3}, '^Elapsed time is \d+\.\d{6} seconds\.$', "once")));

%!test
%! ## Inf or NaN tolerance: no block step.
%! for tol = [Inf, NaN]
%!   [alpha, grad, ~, evals, objective] = quiet_tarvel (X, y, w, ridge, tol, 4, 1e6);
%!   assert (alpha, zeros (n, 1));
%!   assert (grad, -y);
%!   assert ([evals, objective], [0, 0]);
%! endfor

%!test
%! ## Zero targets: exactly one block step that leaves everything at zero.
%! [alpha, grad, ~, evals, objective] = quiet_tarvel (X, zeros (n, 1), w, ridge, 1e-6, 7, 1e6);
%! assert (alpha, zeros (n, 1));
%! assert (grad, zeros (n, 1));
%! assert ([evals, objective], [n * 7, 0]);

%!test
%! ## Tiny, negative and infinite cache budgets all solve the same system; integer and
%! ## single class scalars are accepted; k = 2.9 acts as 2. Each gradient agrees with the
%! ## model quorril evaluates, every kernel value formed afresh (no cache).
%! for budget = {0, -1, Inf, int64(8 * n * 3)}
%!   [alpha, grad, ~, evals] = quiet_tarvel (X, y, w, ridge, single (1e-6), 2.9, budget{1});
%!   assert (quorril (X, X, w, alpha) + ridge * alpha - y, grad, 1e-12);
%!   assert (max (abs (grad)) <= 1e-6);
%!   assert (mod (evals, 2 * n), 0);
%! endfor
%! [alpha, grad] = quiet_tarvel (X, y, w, ridge, 1e-6, int32 (150), 1e9);
%! assert (max (abs (grad)) <= 1e-6);

%!test
%! ## Fewer samples than candidates per draw, a single sample, and no features.
%! for m = [1 2 5 59]
%!   Xs = X(:, 1:m); ys = y(1:m);
%!   [alpha, grad] = quiet_tarvel (Xs, ys, w, ridge, 1e-10, min (m, 3), 0);
%!   assert (quorril (Xs, Xs, w, alpha) + ridge * alpha - ys, grad, 1e-12);
%!   assert (max (abs (grad)) <= 1e-10);
%! endfor
%! [alpha, grad] = quiet_tarvel (zeros (0, 4), [1; 2; 3; 4], 2, 1, 1e-10, 2, 0);
%! assert ((2 * ones (4) + eye (4)) * alpha - [1; 2; 3; 4], grad, 1e-12);

%!test
%! ## Any number of outputs from 0 to 5: only the slots that exist are written.
%! quiet_tarvel (X, y, w, ridge, 1e-3, 3, 0);
%! a1 = quiet_tarvel (X, y, w, ridge, 1e-3, 3, 0);
%! [a2, g2] = quiet_tarvel (X, y, w, ridge, 1e-3, 3, 0);
%! [a3, g3, s3] = quiet_tarvel (X, y, w, ridge, 1e-3, 3, 0);
%! [a4, g4, s4, e4] = quiet_tarvel (X, y, w, ridge, 1e-3, 3, 0);
%! assert (size (a1), [n 1]);
%! assert (quorril (X, X, w, a4) + ridge * a4 - y, g4, 1e-12);
%! assert (isscalar (s3) && isscalar (e4));
%! evalc ("tarvel (X, y, w, ridge, 1e-3, 3, 0); a0 = ans;");
%! assert (size (a0), [n 1]);

%!test
%! ## Work bound: near-duplicate samples with different targets, tiny ridge, tiny tol.
%! Xd = [0, 1e-9, 1, 1 + 1e-9];
%! yd = [1; -1; 2; -2];
%! lastwarn ("");
%! [alpha, grad, ~, evals] = quiet_tarvel (Xd, yd, [1 1], 1e-15, 1e-14, 1, 0);
%! [~, id] = lastwarn ();
%! assert (id, "tarvel:notConverged");
%! assert (evals, 4 * 1 * (1000 * 4 / 1));  # n * k * steps, steps * k = 1000 * n
%! assert (all (isfinite (alpha)));

%!warning <work bound> quiet_tarvel ([0, 1e-9], [1; -1], [1 1], 1e-15, 1e-14, 1, 0);

%!test
%! ## Singular systems end with finite outputs and say why: identical samples with
%! ## different targets and ridge 0 (no solution: the work bound), a zero amplitude with
%! ## ridge 0 (K + ridge*I = 0: one step).
%! lastwarn ("");
%! [alpha, grad] = quiet_tarvel ([0.5 0.5], [1; -1], [1 1], 0, 1e-8, 2, 0);
%! [~, id] = lastwarn ();
%! assert (id, "tarvel:notConverged");
%! assert (all (isfinite ([alpha; grad])));
%! [alpha, grad, ~, evals] = quiet_tarvel (X, y, [w(1:3) 0], 0, 1e-8, 1, 0);
%! [~, id] = lastwarn ();
%! assert (id, "tarvel:illConditioned");
%! assert ([alpha; grad; evals], [zeros(n, 1); -y; n]);

%!warning <amplitude w\(d\+1\) and ridge are both 0> quiet_tarvel (X, y, [w(1:3) 0], 0, 1e-8, 1, 0);

%!warning <ill-conditioned> quiet_tarvel (linspace (0, 1, 300), sin (6 * linspace (0, 1, 300))', [1 1], 1e-8, 1e-6, 32, Inf);

%!warning <below what double precision can reach> quiet_tarvel (X, y, [1 1 1 1], 1e-2, 1e-20, 32, Inf);

%!error id=tarvel:nargin tarvel ()
%!error id=tarvel:nargin tarvel (X, y, w, ridge, 1, 2)
%!error id=tarvel:nargin tarvel (X, y, w, ridge, 1, 2, 0, 1)
%!error id=tarvel:nargout [a, b, c, e, f, g] = tarvel (X, y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got single> tarvel (single (X), y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got complex double> tarvel (X + 1i, y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got sparse double> tarvel (sparse (X), y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got int32> tarvel (int32 (X), y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got logical> tarvel (X > 0.5, y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got char> tarvel ("abc", y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got cell> tarvel ({X}, y, w, ridge, 1, 2, 0)
%!error <X must be a real, full double array, got struct> tarvel (struct ("a", 1), y, w, ridge, 1, 2, 0)
%!error <X must be a matrix> tarvel (ones (2, 2, 2), y, w, ridge, 1, 1, 0)
%!error <X must have at least one column> tarvel (zeros (3, 0), y, w, ridge, 1, 1, 0)
%!error <X must be finite, but element 4 is NaN> tarvel ([1 2 3 NaN], y, [1 1], ridge, 1, 1, 0)
%!error <X must be finite> tarvel ([1 2 Inf], y, [1 1], ridge, 1, 1, 0)
%!error <y must be a real, full double array> tarvel (X, single (y), w, ridge, 1, 2, 0)
%!error <y must have at least 150 elements> tarvel (X, y(1:end-1), w, ridge, 1, 2, 0)
%!error <y must be finite> tarvel (X, [y(1:end-1); -Inf], w, ridge, 1, 2, 0)
%!error <w must be a real, full double array> tarvel (X, y, {w}, ridge, 1, 2, 0)
%!error <w must have at least 4 elements> tarvel (X, y, w(1:3), ridge, 1, 2, 0)
%!error <if its rows are the samples, pass X'> tarvel (X', y, w, ridge, 1, 2, 0)
%!error <w must be finite> tarvel (X, y, [w(1:3) NaN], ridge, 1, 2, 0)
%!error <w must be nonnegative, but element 2 is -1> tarvel (X, y, [1 -1 1 1], ridge, 1, 2, 0)
%!error <ridge must be a real numeric scalar, got 2 elements> tarvel (X, y, w, [1 2], 1, 2, 0)
%!error <ridge must be a real numeric scalar, got logical> tarvel (X, y, w, true, 1, 2, 0)
%!error <ridge must be a real numeric scalar, got char> tarvel (X, y, w, "a", 1, 2, 0)
%!error <ridge must be a real numeric scalar, got complex double> tarvel (X, y, w, 1i, 1, 2, 0)
%!error <ridge must be a real numeric scalar, got 0 elements> tarvel (X, y, w, [], 1, 2, 0)
%!error <ridge must be finite and nonnegative> tarvel (X, y, w, -0.1, 1, 2, 0)
%!error <ridge must be finite and nonnegative> tarvel (X, y, w, NaN, 1, 2, 0)
%!error <ridge must be finite and nonnegative> tarvel (X, y, w, Inf, 1, 2, 0)
%!error <tol must be a real numeric scalar> tarvel (X, y, w, ridge, {1}, 2, 0)
%!error <tol must be positive> tarvel (X, y, w, ridge, 0, 2, 0)
%!error <tol must be positive> tarvel (X, y, w, ridge, -1e-3, 2, 0)
%!error <tol must be positive> tarvel (X, y, w, ridge, -Inf, 2, 0)
%!error <k must be a real numeric scalar> tarvel (X, y, w, ridge, 1, sparse (2), 0)
%!error <k must be a block size from 1 to n = 150> tarvel (X, y, w, ridge, 1, 0.9, 0)
%!error <k must be a block size from 1 to n = 150> tarvel (X, y, w, ridge, 1, 151, 0)
%!error <k must be a block size from 1 to n = 150> tarvel (X, y, w, ridge, 1, -2, 0)
%!error <k must be a block size from 1 to n = 150> tarvel (X, y, w, ridge, 1, NaN, 0)
%!error <k must be a block size from 1 to n = 150> tarvel (X, y, w, ridge, 1, Inf, 0)
%!error <cache_bytes must be a real numeric scalar> tarvel (X, y, w, ridge, 1, 2, struct ())
%!error <cache_bytes must be a number of bytes, got NaN> tarvel (X, y, w, ridge, 1, 2, NaN)
%!error id=tarvel:invalidInput tarvel (X, y, w, ridge, 1, 2, @sin)

%!test
%! ## The session survives every refusal above and still trains.
%! [alpha, grad] = quiet_tarvel (X, y, w, ridge, 1e-8, 8, 0);
%! assert (quorril (X, X, w, alpha) + ridge * alpha - y, grad, 1e-12);
