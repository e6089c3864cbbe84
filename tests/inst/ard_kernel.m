## The ARD kernel from differences, samples as columns: the tests' reference, apart from the modules.
function K = ard_kernel (A, B, w)
  d = rows (A);
  D = zeros (columns (A), columns (B));
  for l = 1:d
    D += w(l) * (A(l,:)' - B(l,:)) .^ 2;
  endfor
  K = w(d+1) * exp (-D);
endfunction
