% krrard_bits (KRRARD, DATA, WORK)
%
% The command line against the modules on the same data (DATA, a CSV file with a header,
% the targets in its last columns), every output compared bit for bit:
%   krrard learn    against krrfit: every field of the model but Seconds and the
%                   history's times, for one output with the defaults, two outputs with
%                   options of every kind, the scalable stage, a Matern kernel through it,
%                   and the kernel chosen by 'auto';
%   krrard predict  against krrpredict on the program's model: predictions, deviations and
%                   intervals, and the same from the model saved again by Octave (-v7,
%                   compressed, and -v6), and from one keeping krrpredict's DeviationCache;
%   krrard train    against tarvel with the C library's generator seeded alike: the
%                   coefficients, the gradient and the report's evaluations and objective.
% Raises an error naming the first output that differs.
function krrard_bits (krrard, data_file, work)
  mkdir (work);
  data = dlmread (data_file, ",", 1, 0);
  [n, cols] = size (data);
  cases = {
    1, "", {};
    2, "--restarts 1 --seed 3 --max-iterations 25 --fixed Amplitude --ridge-bounds 0.0001,10000 --standardize on", ...
       {"Restarts", 1, "Seed", 3, "MaxIterations", 25, "Fixed", "Amplitude", "RidgeBounds", [1e-4 1e4], "Standardize", "on"};
    1, "--method scalable --probes 4 --scalable-iterations 3 --subset-size 200 --log-det-rank 50", ...
       {"Method", "scalable", "Probes", 4, "ScalableIterations", 3, "SubsetSize", 200, "LogDetRank", 50};
    1, "--kernel Matern32 --method scalable --probes 4 --scalable-iterations 2 --subset-size 200 --log-det-rank 50", ...
       {"Kernel", "Matern32", "Method", "scalable", "Probes", 4, "ScalableIterations", 2, "SubsetSize", 200, "LogDetRank", 50};
    1, "--kernel auto --max-iterations 20", {"Kernel", "auto", "MaxIterations", 20};
  };
  for i = 1:rows (cases)
    [c, flags, options] = cases{i, :};
    d = cols - c;
    file = fullfile (work, sprintf ("model%d.mat", i));
    run (krrard, sprintf ("learn %s -o %s --quiet --outputs %d %s", data_file, file, c, flags));
    program = load (file).model;
    octave = krrfit (data(:, 1:d), data(:, d+1:end), "Verbose", false, options{:});
    compare_models (program, octave, sprintf ("case %d", i));

    ## krrpredict on the program's model, and the program on it and on Octave's copies.
    [yp, ysd, yint] = krrpredict (program, data(:, 1:d), "Verbose", false);
    model = program;
    copies = {file, fullfile(work, "v7.mat"), fullfile(work, "v6.mat")};
    save ("-v7", copies{2}, "model");
    save ("-v6", copies{3}, "model");
    for j = 1:numel (copies)
      out = fullfile (work, {"p.bin", "sd.bin", "int.bin"});
      run (krrard, sprintf ("predict %s %s --outputs %d -o %s --deviations %s --intervals %s --quiet", ...
                            copies{j}, data_file, c, out{:}));
      what = sprintf ("case %d, predict from %s", i, copies{j});
      same (read_bin (out{1}), yp, [what, ": predictions"]);
      same (read_bin (out{2}), ysd, [what, ": deviations"]);
      same (reshape (read_bin (out{3}), n, 2, c), yint, [what, ": intervals"]);
    endfor
    ## A model keeping krrpredict's factor (rank 5, far below what the program would
    ## build): the program's approximate deviations are those of that factor.
    if (i == 1)
      [~, ~, ~, model] = krrpredict (program, data(1:5, 1:d), "Method", "approximate", "Rank", 5, "Verbose", false);
      [yp, ysd, yint] = krrpredict (model, data(:, 1:d), "Method", "approximate", "DeviationTolerance", Inf, "Verbose", false);
      save ("-v7", fullfile (work, "cached.mat"), "model");
      run (krrard, sprintf ("predict %s %s --outputs %d -o %s --deviations %s --intervals %s --method approximate --deviation-tolerance inf --quiet", ...
                            fullfile (work, "cached.mat"), data_file, c, out{:}));
      same (read_bin (out{2}), ysd, "predict from a model with a DeviationCache: deviations");
      same (reshape (read_bin (out{3}), n, 2, c), yint, "predict from a model with a DeviationCache: intervals");
    endif
  endfor

  ## Fixed hyperparameters: tarvel's solve, its random draws from the C library's rand.
  X = data(:, 1:cols-1)';
  y = data(:, cols);
  w = [1 ./ (2 * var(X, 0, 2)') 0.5];
  out = fullfile (work, {"alpha.bin", "grad.csv", "report.txt"});
  run (krrard, sprintf ("train %s --weights %s --ridge 0.25 --tol 1e-7 --block-size 16 --cache-bytes %d --seed 7 -o %s --gradient %s 2> %s", ...
                        data_file, strjoin (arrayfun (@(v) sprintf ("%.17g", v), w, "UniformOutput", false), ","), ...
                        8 * n * 100, out{:}));
  c_srand (7);
  [alpha, grad, ~, evals, objective] = quiet_tarvel (X, y, w, 0.25, 1e-7, 16, 8 * n * 100);
  same (read_bin (out{1}), alpha, "train: alpha");
  same (dlmread (out{2}), grad, "train: gradient");
  report = fileread (out{3});
  for line = {sprintf("Number of kernel evaluation is %.0f.", evals), sprintf("Objectve function is %f", objective)}
    if (isempty (strfind (report, line{1})))
      error ("krrard_bits: train's report lacks tarvel's line '%s':\n%s", line{1}, report);
    endif
  endfor
  printf ("krrard_bits: %d learned models, their predictions and a training solve are tarvel's, krrfit's and krrpredict's bit for bit\n", rows (cases));
endfunction

function run (krrard, args)
  [status, output] = system (sprintf ("%s %s", krrard, args));
  if (status != 0)
    error ("krrard_bits: krrard %s exited with %d\n%s", args, status, output);
  endif
endfunction

% Every field in krrfit's order, with its class, dims and bits; Seconds and the history's
% times (its columns 4, 7 and 8) are the only ones that may differ.
function compare_models (a, b, what)
  if (! isequal (fieldnames (a), fieldnames (b)))
    error ("krrard_bits: %s: the fields differ: %s vs %s", what, strjoin (fieldnames (a)', ","), strjoin (fieldnames (b)', ","));
  endif
  for f = fieldnames (a)'
    name = f{1};
    x = a.(name);
    y = b.(name);
    if (strcmp (name, "Seconds"))
      continue;
    elseif (strcmp (name, "History"))
      same (size (x), size (y), [what, ": the size of History"]);
      x = x(:, [1:3 5 6 9]);
      y = y(:, [1:3 5 6 9]);
    endif
    same (x, y, [what, ": model.", name]);
  endfor
endfunction

function same (x, y, what)
  ok = strcmp (class (x), class (y)) && isequal (size (x), size (y));
  if (ok && isfloat (x))
    ok = isequal (typecast (double (x(:)), "uint64"), typecast (double (y(:)), "uint64"));
  elseif (ok)
    ok = isequal (x, y);
  endif
  if (! ok)
    error ("krrard_bits: %s differs: %s %s vs %s %s", what, class (x), mat2str (size (x)), class (y), mat2str (size (y)));
  endif
endfunction

function M = read_bin (file)
  fid = fopen (file, "r", "ieee-le");
  magic = fread (fid, [1 8], "uint8=>char");
  fread (fid, 2, "uint32");
  shape = fread (fid, 2, "uint64");
  M = fread (fid, [shape(2), shape(1)], "double")';
  fclose (fid);
endfunction
