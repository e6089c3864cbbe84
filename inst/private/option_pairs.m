function opts = option_pairs(fn, args, defaults, after)
% opts = option_pairs (fn, args, defaults, after)
%
% Internal to krrfit and krrpredict: the name-value pairs in the cell array args laid over
% defaults (a k x 2 cell array of names and values), as a struct. A name matches in any
% case; a string scalar is taken as a name. An odd count, a name that is not text or an
% unknown name is refused with fn:invalidInput; `after` says where the options start (for
% the message). The values are the caller's to check.
names = defaults(:, 1)';
opts = cell2struct(defaults(:, 2), names, 1);
if mod(numel(args), 2) ~= 0
  error([fn ':invalidInput'], ...
        '%s: options must be name-value pairs, got an odd number (%d) of arguments after %s', ...
        fn, numel(args), after);
end
for i = 1:2:numel(args)
  name = args{i};
  if isa(name, 'string') && isscalar(name)
    name = char(name);
  end
  if ~(ischar(name) && isrow(name))
    error([fn ':invalidInput'], ...
          '%s: option names must be strings, got a %s as argument %d after %s', ...
          fn, class(name), i, after);
  end
  k = find(strcmpi(name, names));
  if isempty(k)
    error([fn ':invalidInput'], '%s: unknown option ''%s''; the options are %s', ...
          fn, name, strjoin(names, ', '));
  end
  opts.(names{k}) = args{i + 1};
end
end
