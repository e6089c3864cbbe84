% -*- texinfo -*-
% [Ypred, warnings, failure, Ysd, Yint] = krr_predict (model, Xnew, name, value, ...)
%
% Internal to krrpredict: the whole prediction of krrpredict, compiled. model is krrfit's
% model struct (its fields double or single, full), Xnew m x d real numbers of any class
% (full), the options krrpredict's, by name. Ypred is m x c, or [] where the call failed;
% warnings a k x 2 cell array of {code, message} in the order raised, and failure {} or
% {code, message}, each code being krrpredict's identifier without "krrpredict:" and each
% message without "krrpredict: ", for krrpredict to raise under its own name. Ysd (m x c)
% and Yint (m x 2 x c) are computed only where asked for: with at most three outputs, the
% predictions alone, and no Ridge is read. The progress line of the deviations is printed
% where Verbose is on. The same bits at any KRR_NUM_THREADS.
