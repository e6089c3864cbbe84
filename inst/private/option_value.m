function v = option_value(fn, kind, v, name, varargin)
% v = option_value (fn, kind, v, name, ...)
%
% Internal to krrfit and krrpredict: one option's value checked and converted, or refused
% with fn:invalidInput naming the option and what was expected:
%   'real'              a real numeric scalar (any numeric class), as a double; NaN passes
%   'whole', low, high  a whole number from low to high, as a double
%   'flag'              true or false given as a logical, 0 or 1, or 'on' or 'off'
%   'choice', choices   one of the strings of the cell array choices (any case), in lower case
switch kind
  case 'real'
    if ~(isnumeric(v) && isreal(v) && isscalar(v))
      error([fn ':invalidInput'], '%s: %s must be a real numeric scalar, got %s', fn, name, ...
            describe_value(v));
    end
    v = full(double(v));
  case 'whole'
    [low, high] = deal(varargin{:});
    if ~(isnumeric(v) && isreal(v) && isscalar(v) && v == fix(v) && v >= low && v <= high)
      error([fn ':invalidInput'], '%s: %s must be a whole number from %d to %d, got %s', ...
            fn, name, low, high, describe_value(v));
    end
    v = full(double(v));
  case 'flag'
    if isa(v, 'string') && isscalar(v)
      v = char(v);
    end
    if ischar(v) && isrow(v) && any(strcmpi(v, {'on', 'off'}))
      v = strcmpi(v, 'on');
    elseif (islogical(v) || (isnumeric(v) && isreal(v))) && isscalar(v) && (v == 0 || v == 1)
      v = logical(full(v));
    else
      error([fn ':invalidInput'], ...
            '%s: %s must be true or false (1 or 0, ''on'' or ''off''), got %s', fn, name, ...
            describe_value(v));
    end
  case 'choice'
    choices = varargin{1};
    if isa(v, 'string') && isscalar(v)
      v = char(v);
    end
    if ~(ischar(v) && isrow(v) && any(strcmpi(v, choices)))
      error([fn ':invalidInput'], '%s: %s must be %s, got %s', fn, name, ...
            strjoin(strcat('''', choices, ''''), ', '), describe_value(v));
    end
    v = lower(v);
end
end
