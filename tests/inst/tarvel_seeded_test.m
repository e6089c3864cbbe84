% Module tests that replay the C library's generator through the test-only c_srand
% helper: the cache budget never changes a result, and the draws come from rand.

%!test
%! X = rand (4, 300);
%! y = cos (4 * X(1,:))' - X(3,:)';
%! w = [2 1 0.5 3 1];
%! runs = {};
%! for budget = [0, 8 * 300 * 7, Inf]
%!   c_srand (7);
%!   [a, g, ~, e, o] = quiet_tarvel (X, y, w, 0.05, 1e-8, 16, budget);
%!   runs{end+1} = {a, g, e, o};
%! endfor
%! assert (isequal (runs{1}, runs{2}, runs{3}));
%! ## Another seed takes another path to the same solution: both gradients are within
%! ## 1e-8, so the solutions of the system, whose smallest eigenvalue is at least the
%! ## ridge, differ by at most sqrt(n) 2e-8 / ridge (the data are random).
%! c_srand (8);
%! [a, g] = quiet_tarvel (X, y, w, 0.05, 1e-8, 16, 0);
%! assert (! isequal (a, runs{1}{1}));
%! assert (a, runs{1}{1}, sqrt (300) * 2e-8 / 0.05);

%!test
%! ## KRR_NUM_THREADS never changes a bit, in training or prediction, nor does an unusable
%! ## value, which means the default.
%! X = rand (3, 4500);
%! y = sin (5 * X(1,:))' .* X(2,:)';
%! w = [3 3 3 1];
%! old = getenv ("KRR_NUM_THREADS");
%! unwind_protect
%!   runs = {};
%!   for threads = {"1", "2", "3", "abc", "0"}
%!     setenv ("KRR_NUM_THREADS", threads{1});
%!     c_srand (11);
%!     lastwarn ("");
%!     [a, g, ~, e, o] = quiet_tarvel (X, y, w, 0.1, 1e-6, 24, 8 * 4500 * 50);
%!     runs{end+1} = {a, g, e, o, quorril(X(:, 1:700), X, w, a)};
%!     ## An unusable setting means the default, with a warning the first time only.
%!     [~, id] = lastwarn ();
%!     assert (strcmp (id, "quorril:threadSetting"), strcmp (threads{1}, "abc"));
%!   endfor
%! unwind_protect_cleanup
%!   setenv ("KRR_NUM_THREADS", old);
%! end_unwind_protect
%! assert (isequal (runs{:}));
