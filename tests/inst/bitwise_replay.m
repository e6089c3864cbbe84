% bitwise_replay (CASES, HOST_RESULTS, RESULTS)
%
% Runs in Octave the calls that the test host ran (tests/test_host/bitwise_cases.cpp
% wrote their inputs to CASES and their outputs to HOST_RESULTS), seeding the C
% library's generator the same way, writes Octave's outputs to RESULTS and raises an
% error unless every output has the same bits as the test host's.
function bitwise_replay (cases_file, host_results_file, results_file)
  v = read_doubles (cases_file);
  host = read_doubles (host_results_file);
  p = 2;
  q = 1;
  results = [];
  mismatches = {};
  for c = 1:v(1)
    h = num2cell (v(p:p+8));
    [kind, seed, d, n, nt, ridge, tol, k, cache] = h{:};
    p += 9;
    if (kind == 1)
      [X, p] = take (v, p, d, n);
      [y, p] = take (v, p, n, 1);
      [w, p] = take (v, p, 1, d + 1);
      c_srand (seed);
      lastwarn ("");
      [alpha, grad, ~, evals, objective] = quiet_tarvel (X, y, w, ridge, tol, k, cache);
      [~, id] = lastwarn ();
      ## The last warning's place in this list (as in tests/test_host/bitwise_cases.cpp).
      code = find (strcmp (id, {"tarvel:notConverged", "tarvel:breakdown", ...
                                "tarvel:illConditioned", "tarvel:toleranceUnreachable"}));
      if (isempty (code))
        code = 0;
      endif
      mine = [alpha; grad; evals; objective; code];
      what = sprintf ("tarvel case %d (d = %d, n = %d, k = %g, cache_bytes = %g)", c, d, n, k, cache);
    else
      [Xt, p] = take (v, p, d, nt);
      [X, p] = take (v, p, d, n);
      [w, p] = take (v, p, 1, d + 1);
      [alpha, p] = take (v, p, n, 1);
      mine = quorril (Xt, X, w, alpha);
      what = sprintf ("quorril case %d (d = %d, n = %d, nt = %d)", c, d, n, nt);
    endif
    theirs = host(q:q+numel(mine)-1);
    q += numel (mine);
    if (! isequal (typecast (mine(:), "uint64"), typecast (theirs(:), "uint64")))
      first = find (typecast (mine(:), "uint64") != typecast (theirs(:), "uint64"), 1);
      mismatches{end+1} = sprintf ("%s: output element %d is %.17g here, %.17g in the test host",
                                   what, first, mine(first), theirs(first));
    endif
    results = [results; mine(:)];
  endfor
  fid = fopen (results_file, "w");
  fwrite (fid, results, "double", 0, "ieee-le");
  fclose (fid);
  if (q - 1 != numel (host))
    error ("bitwise_replay: the test host wrote %d results, the cases need %d", numel (host), q - 1);
  endif
  if (! isempty (mismatches))
    error ("bitwise_replay: %d of %d cases differ:\n%s", numel (mismatches), v(1),
           strjoin (mismatches, "\n"));
  endif
  printf ("%d cases, %d doubles: identical bit for bit\n", v(1), numel (results));
endfunction

function v = read_doubles (file)
  fid = fopen (file, "r");
  if (fid < 0)
    error ("bitwise_replay: cannot open %s", file);
  endif
  v = fread (fid, Inf, "double", 0, "ieee-le");
  fclose (fid);
endfunction

function [m, p] = take (v, p, rows, cols)
  m = reshape (v(p:p+rows*cols-1), rows, cols);
  p += rows * cols;
endfunction
