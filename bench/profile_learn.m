function profile_learn(file, n)
% profile_learn (file, n)
%
% Where krrfit's time goes on the diamonds split (diamonds_data) with n training rows,
% default options: its progress lines (per iteration: evaluations, passes over K per
% evaluation, seconds computing kernel columns of the seconds in the compiled calls), then
% a summary per stage from the model's History, the final estimate's and solve's passes,
% the prediction of the 10,000 test rows and the test RMSE. FILE 'smooth' takes the
% synthetic data of smooth_data instead.
if strcmp(file, 'smooth')
  [Xtr, ytr, Xte, yte] = smooth_data(n);
else
  [Xtr, ytr, Xte, yte] = diamonds_data(file, n);
end
start = tic();
model = krrfit(Xtr, ytr);
fit_seconds = toc(start);
t = tic();
pred = krrpredict(model, Xte);
predict_seconds = toc(t);
H = model.History;
% A stage starts where the running totals restart (the evaluations fall back).
starts = [1; find(diff(H(:, 5)) < 0) + 1];
ends = [starts(2:end) - 1; rows(H)];
printf('\n| stage | iterations | evaluations | passes over K per evaluation | kernel columns (s) | compiled calls (s) | stage (s) |\n|---|---|---|---|---|---|---|\n');
for i = 1:numel(starts)
  last = H(ends(i), :);
  before = 0;
  if starts(i) > 1
    before = H(starts(i) - 1, 4);
  end
  printf('| %d | %d | %d | %.1f | %.1f | %.1f | %.1f |\n', i, ends(i) - starts(i), last(5), ...
         last(6) / last(5), last(7), last(8), last(4) - before);
end
printf('\nfinal estimate %.1f passes over K, final solve %.1f\n', model.FinalPasses);
printf('fit %.1f s, prediction of %d rows %.1f s, total %.1f s; test RMSE %.4f; %s\n', ...
       fit_seconds, rows(Xte), predict_seconds, fit_seconds + predict_seconds, ...
       sqrt(mean((pred - yte) .^ 2)), model.Method);
end
