function plot_learn(csv, png)
% plot_learn (csv, png)
%
% Draws the diamonds learning benchmark (bench_learn_diamonds's rows: n, method, test
% RMSE, seconds, objective): test RMSE and time against n for the learned kernel, the
% isotropic grid's exact fit and the Nystroem fit.
warning('off', 'Octave:gnuplot-graphics');
graphics_toolkit('gnuplot');
R = dlmread(csv, ',');
h = figure('visible', 'off', 'position', [0 0 1000 420]);
marks = {'o-', 's-', 'd-'};
names = {'learned kernel (krrfit)', 'isotropic grid, exact (tarvel)', 'isotropic grid, Nystroem 2000'};
panels = {3, 'test RMSE (standardised log price)', 'Diamonds: 10,000 test rows', 'lin', 'northeast';
          4, 'seconds (learning and final fit)', 'Time', 'log', 'northwest'};
for panel = 1:2
  [column, label, heading, yscale, corner] = panels{panel, :};
  subplot(1, 2, panel);
  hold on;
  for m = 1:3
    rows_m = R(R(:, 2) == m, :);
    plot(rows_m(:, 1), rows_m(:, column), marks{m});
  end
  hold off;
  set(gca, 'xscale', 'log', 'yscale', yscale);
  grid on;
  xlabel('n (training rows)');
  ylabel(label);
  title(heading);
  legend(names{:}, 'location', corner);
end
print(h, png, '-dpng');
close(h);
end
