function s = describe_value(v)
% s = describe_value (v)
%
% Internal to krrfit and krrpredict: a value as an error message shows it: a short char
% row or real scalar itself, otherwise its size and class.
if ischar(v) && isrow(v) && numel(v) <= 40
  s = ['''', v, ''''];
elseif (isnumeric(v) || islogical(v)) && isscalar(v) && isreal(v)
  s = num2str(double(full(v)), 10);
else
  what = class(v);
  if isnumeric(v) && ~isreal(v)
    what = ['complex ', what];
  end
  s = sprintf('a %s %s', strjoin(arrayfun(@num2str, size(v), 'UniformOutput', false), ' x '), ...
              what);
end
end
