% Module tests of memory the process cannot have. A cache budget beyond it is capped, with
% a warning naming the cap, so that no budget brings the system's out-of-memory killer on
% the session; working arrays beyond it are refused with tarvel:outOfMemory naming the
% bytes, and the session goes on. Five million samples without features need no storage
% for X; 8 * n^2 bytes (2e14) is beyond any machine's memory. KRR_MEMORY_LIMIT stands in
% for a small machine.

%!shared n, X, y
%! n = 5e6;
%! X = zeros (0, n);
%! y = zeros (n, 1);

%!function expect_refusal (message, varargin)
%!  try
%!    quiet_tarvel (varargin{:});
%!  catch err
%!    assert (err.identifier, "tarvel:outOfMemory");
%!    assert (strncmp (err.message, ["tarvel: " message], numel (message) + 8), err.message);
%!    return;
%!  end_try_catch
%!  error ("the call was not refused");
%!endfunction

%!test
%! ## Every column asked for (an infinite budget or one of 8 n^2 bytes): capped, and the
%! ## call trains.
%! for budget = [Inf, 8 * n * n]
%!   lastwarn ("");
%!   alpha = quiet_tarvel (X, y, 1, 0.1, 1e-6, 1, budget);
%!   [msg, id] = lastwarn ();
%!   assert (id, "tarvel:cacheCapped");
%!   assert (! isempty (regexp (msg, "more than this process can have .* capped at \\d+ of n = 5000000 columns", "once")), msg);
%!   assert (alpha, zeros (n, 1));
%! endfor

%!test
%! ## A block as large as the data: n * k doubles of kernel columns, refused.
%! expect_refusal ("could not allocate", X, y, 1, 0.1, 1e-6, n, 0);

%!test
%! ## A small machine (KRR_MEMORY_LIMIT): the cache is capped to what fits, with the same
%! ## results bit for bit, and a budget within it is not.
%! Xs = rand (3, 2000);  ys = sin (3 * Xs(1,:))';
%! old = getenv ("KRR_MEMORY_LIMIT");
%! unwind_protect
%!   setenv ("KRR_MEMORY_LIMIT", "8e6");
%!   c_srand (3);
%!   lastwarn ("");
%!   [a1, g1] = quiet_tarvel (Xs, ys, [1 1 1 1], 0.1, 1e-8, 16, Inf);
%!   [msg, id] = lastwarn ();
%!   assert (id, "tarvel:cacheCapped");
%!   assert (! isempty (strfind (msg, "about 8e+06 bytes available")), msg);
%!   lastwarn ("");
%!   quiet_tarvel (Xs, ys, [1 1 1 1], 0.1, 1e-8, 16, 8 * 2000 * 100);
%!   assert (lastwarn (), "");
%! unwind_protect_cleanup
%!   setenv ("KRR_MEMORY_LIMIT", old);
%! end_unwind_protect
%! c_srand (3);
%! [a2, g2] = quiet_tarvel (Xs, ys, [1 1 1 1], 0.1, 1e-8, 16, Inf);
%! assert (isequal (a1, a2) && isequal (g1, g2));

%!test
%! ## The refusals above left the session able to train, predict and refuse again.
%! Xs = rand (2, 80);  ys = sin (3 * Xs(1,:))';
%! [alpha, grad] = quiet_tarvel (Xs, ys, [1 1 1], 0.1, 1e-8, 4, Inf);
%! assert (max (abs (grad)) <= 1e-8);
%! assert (size (quorril (Xs, Xs, [1 1 1], alpha)), [80 1]);
%! expect_refusal ("could not allocate", X, y, 1, 0.1, 1e-6, n, 0);
