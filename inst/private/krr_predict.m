% -*- texinfo -*-
% F = krr_predict (Xtest, X, w, A)
%
% Internal to krrpredict: F(i,q) = sum_j A(j,q) * K(Xtest(:,i), X(:,j)) for the c columns
% of A at once, each kernel value computed once; one column gives quorril's result bit for
% bit. Arguments as for quorril, with A n x c, but X must have at least one column.
