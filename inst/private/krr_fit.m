% -*- texinfo -*-
% [model, warnings, failure] = krr_fit (X, Y, name, value, ...)
%
% Internal to krrfit: the whole fit of krrfit, compiled. X is n x d and Y n x c, real full
% doubles (krrfit converts what the user gives); the options are krrfit's, by name. model
% is krrfit's model struct, or [] where the fit failed; warnings a k x 2 cell array of
% {code, message} in the order raised, and failure {} or {code, message}, each code being
% krrfit's identifier without "krrfit:" and each message without "krrfit: ", for krrfit
% to raise under its own name. Progress lines are printed as they come where Verbose is on.
% The same data, options and Seed give the same model bit for bit at any KRR_NUM_THREADS.
