function [Xtr, ytr, Xte, yte] = diamonds_data(file, n)
% [Xtr, ytr, Xte, yte] = diamonds_data (file, n)
%
% The diamonds benchmark split: rows with order < 10000 are the test set, rows with
% 10000 <= order < 10000 + n the training set (nested across n). Features are the nine
% columns before price, in their own units (krrfit standardises them); the target is
% log(price), standardised with the training set's mean and standard deviation, so RMSE
% is in standardised log-price units.
D = dlmread(file, ',', 1, 0);
order = D(:, 11);
X = D(:, 1:9);
y = log(D(:, 10));
test = order < 10000;
train = order >= 10000 & order < 10000 + n;
Xtr = X(train, :);
Xte = X(test, :);
m = mean(y(train));
s = std(y(train));
ytr = (y(train) - m) / s;
yte = (y(test) - m) / s;
end
