## fits = seeded_fits (expected_dir)
## fits = seeded_fits (expected_dir, reference)
##
## Trains with tarvel and predicts with quorril on fixed data, seeding the C library's
## generator (c_srand) before every training call, and returns every output except the
## elapsed time. tarvel and quorril must both resolve to modules under expected_dir, so
## the caller knows which build produced the numbers. Given the fits of another build
## as reference, raises an error unless every value is identical bit for bit.

function fits = seeded_fits (expected_dir, reference)
  for name = {"tarvel", "quorril"}
    where = which (name{1});
    if (! strncmp (where, expected_dir, numel (expected_dir)))
      error ("seeded_fits: %s is '%s', not a module under %s", name{1}, where, expected_dir);
    endif
  endfor

  rand ("twister", 4242);
  X = rand (5, 400);
  y = sin (3 * X(1,:))' + X(2,:)' .^ 2 - X(4,:)';
  w = [0.8 1.5 0.3 2 0.6 1.2];
  Xt = rand (5, 60);
  ## Cases, as {X, y, ridge, tol, k, cache_bytes}: every column cached; a cache of five
  ## columns, smaller than the block, so columns are evicted and recomputed;
  ## single-member blocks without a cache; near-duplicate samples that the work bound
  ## stops short of tol.
  Xd = [0, 1e-9, 1, 1 + 1e-9];
  cases = {X, y, 0.05, 1e-9, 16, Inf;
           X, y, 0.05, 1e-9, 7, 8 * 400 * 5;
           X, y, 1e-3, 1e-8, 1, 0;
           Xd, [1; -1; 2; -2], 1e-15, 1e-14, 1, 0};
  warning ("off", "tarvel:notConverged", "local");
  fits = struct ("alpha", {}, "grad", {}, "evals", {}, "objective", {}, "f", {});
  for i = 1:rows (cases)
    [Xi, yi, ridge, tol, k, budget] = cases{i,:};
    wi = w([1:rows(Xi), end]);
    c_srand (100 + i);
    evalc ("[alpha, grad, ~, evals, objective] = tarvel (Xi, yi, wi, ridge, tol, k, budget);");
    f = quorril (Xt(1:rows (Xi),:), Xi, wi, alpha);
    fits(i) = struct ("alpha", alpha, "grad", grad, "evals", evals,
                      "objective", objective, "f", f);
  endfor

  if (nargin > 1)
    if (! isequal (size (fits), size (reference)))
      error ("seeded_fits: %d cases here, %d in the reference", numel (fits),
             numel (reference));
    endif
    for i = 1:numel (fits)
      for field = fieldnames (fits)'
        a = fits(i).(field{1});
        b = reference(i).(field{1});
        if (isempty (a) || ! isequal (size (a), size (b))
            || any (typecast (a(:), "uint64") != typecast (b(:), "uint64")))
          error ("seeded_fits: case %d: %s differs from the reference", i, field{1});
        endif
      endfor
    endfor
  endif
endfunction
