function Ypred = krrpredict(model, Xnew)
% KRRPREDICT  Predict with a kernel ridge regression model from krrfit.
%
%   Ypred = krrpredict (model, Xnew)
%
%   Xnew is m x d, one observation per row, in the units of the X given to krrfit: real,
%   finite, of any numeric class (a sparse one is made full). Ypred is m x c, one column
%   per output, in the units of the Y given to krrfit: the features are standardised and
%   the targets' means added back as krrfit did.
%
%   Each prediction is sum_j alpha(j, q) * K(xnew, x_j) over the training samples, with
%   each kernel value computed once for all outputs; with one output the result equals
%   quorril's on the standardised samples bit for bit. Threads and Ctrl-C as for quorril.
%
%   The model must be one struct as krrfit returns it. Its FormatVersion (2; a model
%   without that field, written by the package's first release, is read as version 1,
%   which has the same fields) decides which fields are read, and each is checked before
%   use: X a real finite d x n matrix, Alpha n x c, Weights d + 1 entries (positive
%   length-scale weights, then the amplitude), Mu and Sigma 1 x d (Sigma positive), YMean
%   1 x c, all real, finite and floating point. A model that does not pass is refused with
%   krrpredict:invalidModel, naming the field and what was expected.
%
%   Example
%     X = rand (300, 2);  y = sin (6 * X(:,1)) + X(:,2);
%     model = krrfit (X, y, 'Verbose', false);
%     ypred = krrpredict (model, rand (5, 2));
%
%   See also krrfit, quorril.

if nargin ~= 2
  error('krrpredict:nargin', 'krrpredict: expected 2 inputs (model, Xnew), got %d', nargin);
end
[X, alpha, weights, mu, sigma, y_mean] = check_model(model);
d = size(X, 1);
if ~(isnumeric(Xnew) && isreal(Xnew) && ismatrix(Xnew)) || size(Xnew, 2) ~= d
  what = class(Xnew);
  if isnumeric(Xnew) && ~isreal(Xnew)
    what = ['complex ', what];
  end
  error('krrpredict:invalidInput', ...
        'krrpredict: XNEW must be a real matrix with %d columns (the model''s features), one observation per row, got a %s %s', ...
        d, size_text(Xnew), what);
end
Xnew = full(double(Xnew));
bad = find(~isfinite(Xnew), 1);
if ~isempty(bad)
  [i, j] = ind2sub(size(Xnew), bad);
  error('krrpredict:invalidInput', 'krrpredict: XNEW must be finite, but XNEW(%d,%d) is %g', ...
        i, j, Xnew(i, j));
end
Xs = ((Xnew - mu) ./ sigma)';
Ypred = krr_predict(Xs, X, weights, alpha) + y_mean;
end

function [X, alpha, weights, mu, sigma, y_mean] = check_model(model)
% The fields prediction reads, checked against the model's format version. Version 1 (the
% first release, no FormatVersion field) and version 2 store the same fields in the same
% layout; a later version is refused, since its fields may mean something else.
if ~isstruct(model)
  error('krrpredict:invalidModel', 'krrpredict: MODEL must be a struct returned by krrfit, got a %s', ...
        class(model));
end
if ~isscalar(model)
  error('krrpredict:invalidModel', ...
        'krrpredict: MODEL must be one struct returned by krrfit, got a %s struct array', ...
        size_text(model));
end
version = 1;
if isfield(model, 'FormatVersion')
  version = model.FormatVersion;
  if ~(isnumeric(version) && isreal(version) && isscalar(version) && any(version == [1, 2]))
    error('krrpredict:invalidModel', ...
          'krrpredict: MODEL.FormatVersion must be 1 or 2, the versions this krrpredict reads (a newer package wrote this model?)');
  end
end
names = {'X', 'Alpha', 'Weights', 'Mu', 'Sigma', 'YMean'};
missing = names(~isfield(model, names));
if ~isempty(missing)
  error('krrpredict:invalidModel', ...
        'krrpredict: MODEL must be a struct returned by krrfit; it has no field %s', ...
        strjoin(missing, ', '));
end
X = field(model.X, 'X', [NaN, NaN], 'a d x n matrix, one training sample per column');
[d, n] = size(X);
if d < 1 || n < 1
  error('krrpredict:invalidModel', ...
        'krrpredict: MODEL.X must be a d x n matrix with d and n at least 1, got %s', ...
        size_text(X));
end
alpha = field(model.Alpha, 'Alpha', [n, NaN], ...
              sprintf('an n x c matrix, n = %d (the columns of X)', n));
c = size(alpha, 2);
weights = model.Weights;
if isnumeric(weights) && isvector(weights)
  weights = weights(:)';
end
weights = field(weights, 'Weights', [1, d + 1], sprintf('a vector of d + 1 = %d entries', d + 1));
if ~all(weights >= 0)
  error('krrpredict:invalidModel', 'krrpredict: MODEL.Weights must be nonnegative');
end
mu = field(model.Mu, 'Mu', [1, d], sprintf('a 1 x %d row vector', d));
sigma = field(model.Sigma, 'Sigma', [1, d], sprintf('a 1 x %d row vector', d));
if ~all(sigma > 0)
  error('krrpredict:invalidModel', 'krrpredict: MODEL.Sigma must be positive');
end
y_mean = field(model.YMean, 'YMean', [1, c], ...
               sprintf('a 1 x %d row vector (one entry per column of Alpha)', c));
end

function v = field(v, name, shape, what)
% A model's field as a full double: real, finite, floating point, of the given size (NaN
% for any extent).
if ~(isfloat(v) && isreal(v) && ismatrix(v))
  kind = class(v);
  if isnumeric(v) && ~isreal(v)
    kind = ['complex ', kind];
  end
  error('krrpredict:invalidModel', ...
        'krrpredict: MODEL.%s must be real floating point (double or single), got %s', ...
        name, kind);
end
fits = size(v) == shape | isnan(shape);
if ~all(fits)
  error('krrpredict:invalidModel', 'krrpredict: MODEL.%s must be %s, got %s', name, what, ...
        size_text(v));
end
v = full(double(v));
if ~all(isfinite(v(:)))
  error('krrpredict:invalidModel', 'krrpredict: MODEL.%s must be finite', name);
end
end

function s = size_text(v)
s = strjoin(arrayfun(@num2str, size(v), 'UniformOutput', false), ' x ');
end

%!shared model, Xn
%! model = struct ("X", [0 1 2; 1 0 1], "Alpha", [1 2; -1 0; 0.5 1], "Weights", [0.3 0.7 1.5], ...
%!                 "Mu", [1 2], "Sigma", [2 3], "YMean", [1 -2]);
%! Xn = [1 2; 3 4; 0 0];

%!test
%! ## Models without a version (the first release) and of version 2 give the same
%! ## predictions; a single-precision field or a column Weights is read as it was.
%! p = krrpredict (model, Xn);
%! assert (size (p), [3 2]);
%! v2 = model;  v2.FormatVersion = 2;
%! assert (krrpredict (v2, Xn), p);
%! v2.Weights = single (v2.Weights');
%! assert (krrpredict (v2, Xn), p, 1e-6);
%! assert (krrpredict (model, zeros (0, 2)), zeros (0, 2));

%!error id=krrpredict:nargin krrpredict (1)
%!error <MODEL must be a struct returned by krrfit, got a double> krrpredict (1, 2)
%!error <MODEL must be one struct returned by krrfit, got a 2 x 1 struct array> krrpredict ([model; model], Xn)
%!error <MODEL must be a struct returned by krrfit; it has no field YMean> krrpredict (rmfield (model, "YMean"), Xn)
%!error <MODEL.FormatVersion must be 1 or 2> m = model; m.FormatVersion = 3; krrpredict (m, Xn)
%!error <MODEL.X must be real floating point \(double or single\), got int32> m = model; m.X = int32 (m.X); krrpredict (m, Xn)
%!error <MODEL.X must be a d x n matrix with d and n at least 1, got 0 x 3> m = model; m.X = zeros (0, 3); krrpredict (m, zeros (3, 0))
%!error <MODEL.X must be finite> m = model; m.X(2) = NaN; krrpredict (m, Xn)
%!error <MODEL.Alpha must be an n x c matrix, n = 3 \(the columns of X\), got 2 x 2> m = model; m.Alpha = m.Alpha(1:2,:); krrpredict (m, Xn)
%!error <MODEL.Alpha must be real floating point \(double or single\), got complex double> m = model; m.Alpha = m.Alpha * 1i; krrpredict (m, Xn)
%!error <MODEL.Weights must be a vector of d \+ 1 = 3 entries, got 1 x 4> m = model; m.Weights = [1 1 1 1]; krrpredict (m, Xn)
%!error <MODEL.Weights must be a vector of d \+ 1 = 3 entries, got 2 x 3> m = model; m.Weights = ones (2, 3); krrpredict (m, Xn)
%!error <MODEL.Weights must be nonnegative> m = model; m.Weights = [1 -1 1]; krrpredict (m, Xn)
%!error <MODEL.Mu must be a 1 x 2 row vector, got 2 x 1> m = model; m.Mu = m.Mu'; krrpredict (m, Xn)
%!error <MODEL.Sigma must be a 1 x 2 row vector, got 1 x 1> m = model; m.Sigma = 1; krrpredict (m, Xn)
%!error <MODEL.Sigma must be positive> m = model; m.Sigma = [1 0]; krrpredict (m, Xn)
%!error <MODEL.YMean must be a 1 x 2 row vector \(one entry per column of Alpha\), got 2 x 1> m = model; m.YMean = m.YMean'; krrpredict (m, Xn)
%!error <MODEL.YMean must be a 1 x 2 row vector \(one entry per column of Alpha\), got 1 x 3> m = model; m.YMean = [1 2 3]; krrpredict (m, Xn)
%!error <XNEW must be a real matrix with 2 columns \(the model's features\), one observation per row, got a 4 x 3 double> krrpredict (model, ones (4, 3))
%!error <XNEW must be a real matrix with 2 columns \(the model's features\), one observation per row, got a 3 x 2 logical> krrpredict (model, Xn > 1)
%!error <XNEW must be finite, but XNEW\(4,2\) is NaN> krrpredict (model, [Xn; 1 NaN])
%!error <XNEW must be finite, but XNEW\(1,1\) is Inf> krrpredict (model, [Inf 0])
