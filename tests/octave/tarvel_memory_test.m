% Module tests of storage the machine cannot give: a cache budget or a block size whose
% arrays exceed the address space is refused with tarvel:outOfMemory naming the bytes
% asked for, and the session goes on. Five million samples without features need no
% storage for X; 8 * n^2 bytes (2e14) is beyond any 47-bit address space, so the
% refusal does not depend on the machine's memory or overcommit setting.

%!shared n, X, y
%! n = 5e6;
%! X = zeros (0, n);
%! y = zeros (n, 1);

%!function expect_refusal (message, varargin)
%!  try
%!    tarvel (varargin{:});
%!  catch err
%!    assert (err.identifier, "tarvel:outOfMemory");
%!    assert (err.message, ["tarvel: " message]);
%!    return;
%!  end_try_catch
%!  error ("the call was not refused");
%!endfunction

%!test
%! ## Every column cached (an infinite budget or one of 8 n^2 bytes).
%! for budget = [Inf, 8 * n * n]
%!   expect_refusal (["could not allocate 200000000000000 bytes for the kernel column cache ", ...
%!                    "(n = 5000000, k = 1, 5000000 cache columns); lower cache_bytes or k"], ...
%!                   X, y, 1, 0.1, 1e-6, 1, budget);
%! endfor

%!test
%! ## A block as large as the data: n * k doubles of kernel columns.
%! expect_refusal (["could not allocate 200000000000000 bytes for the block's kernel columns ", ...
%!                  "(n = 5000000, k = 5000000, 2 cache columns); lower cache_bytes or k"], ...
%!                 X, y, 1, 0.1, 1e-6, n, 0);

%!test
%! ## The refusals above left the session able to train, predict and refuse again.
%! Xs = rand (2, 80);  ys = sin (3 * Xs(1,:))';
%! evalc ("[alpha, grad] = tarvel (Xs, ys, [1 1 1], 0.1, 1e-8, 4, Inf);");
%! assert (max (abs (grad)) <= 1e-8);
%! assert (size (quorril (Xs, Xs, [1 1 1], alpha)), [80 1]);
%! expect_refusal (["could not allocate 200000000000000 bytes for the kernel column cache ", ...
%!                  "(n = 5000000, k = 1, 5000000 cache columns); lower cache_bytes or k"], ...
%!                 X, y, 1, 0.1, 1e-6, 1, Inf);
