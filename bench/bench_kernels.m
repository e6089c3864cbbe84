function bench_kernels(diabetes_file, splits, rough_splits)
% bench_kernels (DIABETES_FILE, SPLITS, ROUGH_SPLITS)
%
% krrfit's kernels on two data sets, each fitted with its defaults but 'Kernel':
%   diabetes  (442 patients, 10 features), SPLITS random 80/20 splits (seeded);
%   rough     a response with a kink, a jump and a rough stretch, 600 training rows and
%             2,000 test rows of 4 features, noise sd 0.05, ROUGH_SPLITS seeded draws:
%             y = |x1 - 0.5| + 0.5 (x2 > 0.3) + 0.3 x3 x4 + 0.2 |sin(12 x3)|.
% For each kernel and 'auto': the mean over the splits of the test RMSE, of the mean
% negative log predictive density of the test observations (their 'observation'
% deviations), and of the fit's seconds; for 'auto' also how often each kernel was chosen.
% Prints one markdown table per data set.
state = rand('state');
rand('state', 7);
D = dlmread(diabetes_file, ',', 1, 0);
X = D(:, 1:10);
y = D(:, 11);
n = rows(X);
sets = {};
for s = 1:splits
  order = randperm(n);
  test = order(1:round(0.2 * n));
  train = order(round(0.2 * n) + 1:end);
  sets(end + 1, :) = {'diabetes', X(train, :), y(train), X(test, :), y(test)};
end
for s = 1:rough_splits
  Xr = rand(2600, 4);
  yr = abs(Xr(:, 1) - 0.5) + 0.5 * (Xr(:, 2) > 0.3) + 0.3 * Xr(:, 3) .* Xr(:, 4) + ...
       0.2 * abs(sin(12 * Xr(:, 3))) + 0.05 * randn(2600, 1);
  sets(end + 1, :) = {'rough', Xr(1:600, :), yr(1:600), Xr(601:end, :), yr(601:end)};
end
rand('state', state);
kernels = {'squaredexponential', 'matern12', 'matern32', 'matern52', 'auto'};
for name = {'diabetes', 'rough'}
  which = find(strcmp(sets(:, 1), name{1}));
  rmse = zeros(numel(which), numel(kernels));
  nlpd = rmse;
  seconds = rmse;
  chosen = {};
  for i = 1:numel(which)
    [~, Xtr, ytr, Xte, yte] = sets{which(i), :};
    for k = 1:numel(kernels)
      start = tic();
      model = krrfit(Xtr, ytr, 'Kernel', kernels{k}, 'Verbose', false);
      seconds(i, k) = toc(start);
      [p, sd] = krrpredict(model, Xte, 'Verbose', false);
      rmse(i, k) = sqrt(mean((p - yte) .^ 2));
      nlpd(i, k) = mean(0.5 * log(2 * pi * sd .^ 2) + (yte - p) .^ 2 ./ (2 * sd .^ 2));
      if strcmp(kernels{k}, 'auto')
        chosen{end + 1} = model.Kernel;
      end
    end
  end
  printf('\n%s, %d splits: means (and standard errors of the means) over the splits\n\n', ...
         name{1}, numel(which));
  printf('| kernel | test RMSE | mean NLPD | fit seconds |\n|---|---|---|---|\n');
  se = @(v) std(v) / sqrt(numel(v));
  for k = 1:numel(kernels)
    printf('| %s | %.4f (%.4f) | %.4f (%.4f) | %.2f |\n', kernels{k}, mean(rmse(:, k)), ...
           se(rmse(:, k)), mean(nlpd(:, k)), se(nlpd(:, k)), mean(seconds(:, k)));
  end
  names = unique(chosen);
  counts = cellfun(@(c) sum(strcmp(chosen, c)), names);
  printf('\n''auto'' chose:');
  printf(' %s %d times;', [names; num2cell(counts)]{:});
  printf('\nPaired differences against the best single kernel by mean RMSE:');
  [~, best] = min(mean(rmse(:, 1:4), 1));
  dr = rmse(:, 5) - rmse(:, best);
  dn = nlpd(:, 5) - nlpd(:, best);
  printf(' auto - %s: RMSE %.4f (se %.4f), NLPD %.4f (se %.4f)\n', kernels{best}, mean(dr), se(dr), ...
         mean(dn), se(dn));
  dr = rmse(:, 4) - rmse(:, 1);
  dn = nlpd(:, 4) - nlpd(:, 1);
  printf('matern52 - squaredexponential: RMSE %.4f (se %.4f), NLPD %.4f (se %.4f)\n', mean(dr), ...
         se(dr), mean(dn), se(dn));
end
end
