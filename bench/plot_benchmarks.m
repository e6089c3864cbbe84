% PLOT_BENCHMARKS  Draws bench/results/benchmarks.png from the measured tables.
%
%   plot_benchmarks (train_csv, predict_csv, png)
%
%   train_csv rows: n, tarvel seconds, chol route seconds;
%   predict_csv rows: n, quorril seconds, vectorised seconds.

function plot_benchmarks (train_csv, predict_csv, png)
  warning ("off", "Octave:gnuplot-graphics");
  graphics_toolkit ("gnuplot");
  tr = dlmread (train_csv, ",");
  pr = dlmread (predict_csv, ",");
  h = figure ("visible", "off", "position", [0 0 1000 420]);
  subplot (1, 2, 1);
  loglog (tr(:,1), tr(:,2), "o-", tr(:,1), tr(:,3), "s-");
  grid on;
  xlabel ("n (training samples)");
  ylabel ("seconds");
  title ("Training to tol = 1e-4 max|y|");
  legend ("tarvel", "K + ridge I, chol, two solves", "location", "northwest");
  subplot (1, 2, 2);
  loglog (pr(:,1), pr(:,2), "o-", pr(:,1), pr(:,3), "s-");
  grid on;
  xlabel ("n = nt");
  ylabel ("seconds");
  title ("Prediction at nt = n test samples");
  legend ("quorril", "vectorised cross-kernel * alpha", "location", "northwest");
  print (h, png, "-dpng");
  close (h);
endfunction
