function Ypred = krrpredict(model, Xnew)
% KRRPREDICT  Predict with a kernel ridge regression model from krrfit.
%
%   Ypred = krrpredict (model, Xnew)
%
%   Xnew is m x d, one observation per row, in the units of the X given to krrfit. Ypred
%   is m x c, one column per output, in the units of the Y given to krrfit: the features
%   are standardised and the targets' means added back as krrfit did.
%
%   Each prediction is sum_j alpha(j, q) * K(xnew, x_j) over the training samples, with
%   each kernel value computed once for all outputs; with one output the result equals
%   quorril's on the standardised samples bit for bit. Threads and Ctrl-C as for quorril.
%
%   Example
%     X = rand (300, 2);  y = sin (6 * X(:,1)) + X(:,2);
%     model = krrfit (X, y, "Verbose", false);
%     ypred = krrpredict (model, rand (5, 2));
%
%   See also krrfit, quorril.

if nargin ~= 2
  error('krrpredict:nargin', 'krrpredict: expected 2 inputs (model, Xnew), got %d', nargin);
end
if ~isstruct(model) || ~all(isfield(model, {'X', 'Alpha', 'Weights', 'Mu', 'Sigma', 'YMean'}))
  error('krrpredict:invalidInput', 'krrpredict: MODEL must be a struct returned by krrfit');
end
d = size(model.X, 1);
if ~isnumeric(Xnew) || ~isreal(Xnew) || ndims(Xnew) ~= 2 || size(Xnew, 2) ~= d
  error('krrpredict:invalidInput', ...
        'krrpredict: XNEW must be a real matrix with %d columns (one observation per row), got %s', ...
        d, mat2str(size(Xnew)));
end
Xs = ((double(Xnew) - model.Mu) ./ model.Sigma)';
Ypred = krr_predict(Xs, model.X, model.Weights, model.Alpha) + model.YMean;
end

%!error id=krrpredict:nargin krrpredict (1)
%!error <MODEL must be a struct> krrpredict (1, 2)
%!error <XNEW must be a real matrix with 2 columns> krrpredict (struct ("X", ones (2, 3), "Alpha", 1, "Weights", 1, "Mu", 0, "Sigma", 1, "YMean", 0), ones (4, 3))
