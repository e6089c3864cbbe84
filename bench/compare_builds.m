% COMPARE_BUILDS  tarvel and quorril of two builds on the same data, in alternating runs.
%
%   compare_builds (before, after, n, rounds)
%
%   before, after: build folders (each with tarvel.mex and quorril.mex, and the c_srand test
%   helper in test_helpers/). Friedman data (d = 8), every feature weight 2, amplitude 1,
%   ridge 0.1, tol = 1e-4 * max|y|, k = 32, a full cache; quorril at nt = n. Each round runs
%   both builds, each in a fresh Octave process, in an order that swaps from round to round,
%   with the C library's generator seeded alike, so both do the same block steps. Prints
%   each run's times, the medians and their ratios (after / before), and whether the two
%   builds gave the same bits.

function compare_builds (before, after, n, rounds)
  here = fileparts (mfilename ("fullpath"));
  builds = {before, after};
  times = zeros (2, rounds, 2);
  outputs = cell (1, 2);
  for r = 1:rounds
    order = circshift ([1 2], r - 1);
    for b = order
      file = [tempname() ".mat"];
      code = sprintf (["addpath ('%s', '%s', '%s'); [X, y] = friedman_data (%d, %d); ", ...
                       "w = [2 * ones(1, 8), 1]; tol = 1e-4 * max (abs (y)); c_srand (1); ", ...
                       "tic; evalc ('alpha = tarvel (X, y, w, 0.1, tol, 32, Inf);'); t1 = toc; ", ...
                       "Xt = friedman_data (%d, %d + 1); ", ...
                       "tic; f = quorril (Xt, X, w, alpha); t2 = toc; ", ...
                       "save ('-binary', '%s', 't1', 't2', 'alpha', 'f');"], ...
                      builds{b}, fullfile (builds{b}, "test_helpers"), here, n, n, n, n, file);
      status = system (sprintf ("octave-cli -q -H --norc --eval \"%s\"", code));
      if (status != 0)
        error ("compare_builds: the run of %s failed", builds{b});
      endif
      run = load (file);
      delete (file);
      times(b, r, :) = [run.t1, run.t2];
      outputs{b} = {run.alpha, run.f};
    endfor
  endfor
  names = {"tarvel", "quorril"};
  for i = 1:2
    m = median (squeeze (times(:, :, i)), 2);
    printf ("%s n = %d: before %s(median %.3f s), after %s(median %.3f s), after / before %.3f\n", ...
            names{i}, n, sprintf ("%.3f ", times(1, :, i)), m(1), ...
            sprintf ("%.3f ", times(2, :, i)), m(2), m(2) / m(1));
  endfor
  printf ("same bits: %d\n", isequal (outputs{1}, outputs{2}));
endfunction
