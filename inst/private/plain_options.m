function args = plain_options(args)
% args = plain_options (args)
%
% Internal to krrfit and krrpredict: their name-value arguments as the compiled modules read
% them. Sparse values are made full, and strings (the other host's string class) become char
% rows, or cells of char rows where there are several.
for i = 1:numel(args)
  if isa(args{i}, 'string') && isscalar(args{i})
    args{i} = char(args{i});
  elseif isa(args{i}, 'string')
    args{i} = cellstr(args{i});
  elseif issparse(args{i})
    args{i} = full(args{i});
  end
end
end
