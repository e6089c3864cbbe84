% -*- texinfo -*-
% bytes = krr_memory ()
%
% Internal to krrfit: the bytes this process may plan for, as tarvel caps its kernel column
% cache by: the memory the system reports available and what the control group's limit
% leaves, and no more than the environment variable KRR_MEMORY_LIMIT where that is set.
% Inf where nothing is known.
