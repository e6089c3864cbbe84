% ARD_CROSS_KERNEL  The cross-kernel as an Octave user writes it, vectorised:
% weighted squared norms plus one matrix product, then exp.
%
%   K = ard_cross_kernel (A, B, w)   K(i,j) = w(d+1) * exp (-sum_l w(l) (A(l,i) - B(l,j))^2)

function K = ard_cross_kernel (A, B, w)
  d = rows (A);
  wf = w(1:d)(:);
  na = sum (wf .* A .^ 2, 1)';
  nb = sum (wf .* B .^ 2, 1);
  K = w(d+1) * exp (-(na + nb - 2 * (A' .* wf') * B));
endfunction
