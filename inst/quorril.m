% QUORRIL  Predict with a kernel ridge regression model trained by tarvel.
%
%   f = quorril (Xtest, X, w, alpha)
%
%   Evaluates the fitted model at new samples: f(i) = sum_j alpha(j) * K(Xtest(:,i), X(:,j))
%   with the ARD Gaussian kernel K(a, b) = w(d+1) * exp (-sum_l w(l) * (a(l) - b(l))^2).
%   The cross-kernel matrix is never formed: besides f, the working memory is one copy of
%   X (d x n) and the n + nt weighted squared norms.
%
%   Kernel values are formed as tarvel forms them for the same X and w: where X sits far
%   from the origin relative to its spread, on samples translated to the midpoint of each
%   feature's range (see help tarvel), and where a test sample is so far from the
%   training samples that its norm is not safely finite, from the differences term by
%   term.
%
%   Inputs
%     Xtest   d x nt real double matrix: one test sample per column, as many rows as X.
%     X       d x n real double matrix: the training samples given to tarvel.
%     w       real double array with at least d+1 elements: the weights given to tarvel
%             (w(d+1) is the amplitude).
%     alpha   real double array with at least n elements: the coefficients from tarvel
%             (the first n are used).
%   All four must be real, full (not sparse) double arrays with finite values, and the
%   weights must be >= 0, as for tarvel.
%
%   Output
%     f       nt x 1 predictions. nt = 0 gives a 0 x 1 result; n = 0 gives zeros.
%
%   Each f(i) is accumulated over the training samples in increasing order, so results
%   are reproducible bit for bit.
%
%   Threads: the row loops use one thread per processor this process may use (its CPU
%   affinity and its control group's quota); set the environment variable
%   KRR_NUM_THREADS (e.g. setenv ("KRR_NUM_THREADS", "1")) to a whole number from 1 to
%   1024 to change that. Results are identical bit for bit whatever the setting.
%
%   Signals: Ctrl-C is seen between tiles of 16 test samples. In Octave it ends the call
%   and the whole command line, as for Octave's own functions; other signals get
%   Octave's own handling. In MATLAB the call ends with quorril:interrupted and the
%   interrupt is left pending for MATLAB.
%
%   Errors (identifiers)
%     quorril:nargin        not exactly 4 inputs
%     quorril:nargout       more than 1 output requested
%     quorril:invalidInput  an argument of the wrong class, shape or size; the message
%                           names the argument and what was expected
%     quorril:outOfMemory   the working storage cannot be allocated
%     quorril:interrupted   (MATLAB) the user interrupted the call; see Signals
%   Warnings
%     quorril:threadSetting KRR_NUM_THREADS is unusable; the default is used
%
%   Example
%     X = rand (2, 500);  y = sin (6 * X(1,:))' + X(2,:)';  w = [4 4 1];
%     alpha = tarvel (X, y, w, 1e-2, 1e-6, 32, Inf);
%     Xtest = rand (2, 100);
%     f = quorril (Xtest, X, w, alpha);
%
%   See also tarvel.

%!shared X, y, w, ridge, n
%! n = 120; ridge = 0.05;
%! X = rand (3, n);
%! y = sin (4 * X(1,:))' + X(2,:)' - X(3,:)' .^ 2;
%! w = [1.5 0.7 2 1.2];

%!test
%! ## On the training samples the model reproduces K * alpha = y + grad - ridge * alpha.
%! evalc ("[alpha, grad] = tarvel (X, y, w, ridge, 1e-8, 8, Inf);");
%! f = quorril (X, X, w, alpha);
%! assert (size (f), [n 1]);
%! assert (f, y + grad - ridge * alpha, 1e-12);

%!test
%! ## Zero feature weights: every kernel value is the amplitude.
%! alpha = randn (n, 1);
%! assert (quorril (rand (3, 5), X, [0 0 0 2.5], alpha), repmat (2.5 * sum (alpha), 5, 1), 1e-12);
%! assert (quorril (zeros (0, 4), zeros (0, n), 2.5, alpha), repmat (2.5 * sum (alpha), 4, 1), 1e-12);

%!test
%! ## Empty test or training sets.
%! assert (size (quorril (zeros (3, 0), X, w, ones (n, 1))), [0 1]);
%! assert (quorril (rand (3, 4), zeros (3, 0), w, []), zeros (4, 1));

%!error id=quorril:nargin quorril ()
%!error id=quorril:nargin quorril (X, X, w)
%!error id=quorril:nargin quorril (X, X, w, y, 1)
%!error <at most 1 output, 2 requested> [a, b] = quorril (X, X, w, y)
%!error <Xtest must be a real, full double array, got single> quorril (single (X), X, w, y)
%!error <Xtest must be a real, full double array, got complex double> quorril (X * 1i, X, w, y)
%!error <Xtest must be a matrix> quorril (ones (3, 2, 2), X, w, y)
%!error <X must be a real, full double array, got sparse double> quorril (X, sparse (X), w, y)
%!error <X must be a real, full double array, got int8> quorril (X, int8 (X), w, y)
%!error <X must be a real, full double array, got logical> quorril (X, X > 0, w, y)
%!error <X must be a real, full double array, got char> quorril (X, "abc", w, y)
%!error <X must be a real, full double array, got cell> quorril (X, {X}, w, y)
%!error <X must be a real, full double array, got struct> quorril (X, struct (), w, y)
%!error <Xtest must have as many rows as X \(3 features per sample\), got 2> quorril (X(1:2,:), X, w, y)
%!error <w must be a real, full double array> quorril (X, X, single (w), y)
%!error <w must have at least 4 elements> quorril (X, X, w(1:3), y)
%!error <if its rows are the samples, pass X'> quorril (X', X', w, y)
%!error <if its rows are the samples, pass Xtest'> quorril (X', X, w, y)
%!error <alpha must be a real, full double array> quorril (X, X, w, int32 (y))
%!error <alpha must have at least 120 elements> quorril (X, X, w, y(1:end-1))
%!error <Xtest must be finite, but element 2 is NaN> quorril ([1 NaN 2], [1 2], [1 1], [1 1])
%!error <X must be finite, but element 1 is Inf> quorril ([1 2], [Inf 2], [1 1], [1 1])
%!error <w must be finite> quorril (X, X, [w(1:3) Inf], y)
%!error <w must be nonnegative, but element 1 is -1> quorril (X, X, [-1 w(2:4)], y)
%!error <w must be finite, but element 2 is NaN> quorril (X, X, [1 NaN 1 1], y)
%!error <alpha must be finite, but element 3 is NaN> quorril (X, X, w, [y(1:2); NaN; y(4:end)])
%!error id=quorril:invalidInput quorril (X, X, w, @sin)

%!test
%! ## The session survives every refusal above.
%! assert (size (quorril (X, X, w, y)), [n 1]);
