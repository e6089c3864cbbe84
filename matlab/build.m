function build()
% BUILD  Compiles tarvel and quorril with MATLAB's mex into build-matlab/ at the top of
% the source tree, each beside its help file, so that help works.
%
%   cd matlab; build
%   addpath (fullfile (pwd, '..', 'build-matlab'))
%
% Each module is its entry file plus every other source file except the other module's
% entry. libut provides the Ctrl-C polling of host/interrupt.cpp.

root = fileparts(fileparts(mfilename('fullpath')));
out = fullfile(root, 'build-matlab');
if ~exist(out, 'dir')
  mkdir(out);
end

names = {'tarvel', 'quorril', '__krr_solve__', '__krr_lml__', '__krr_predict__'};
entries = {fullfile(root, 'training', 'tarvel.cpp'), fullfile(root, 'prediction', 'quorril.cpp'), ...
           fullfile(root, 'training', '__krr_solve__.cpp'), ...
           fullfile(root, 'learning', '__krr_lml__.cpp'), ...
           fullfile(root, 'prediction', '__krr_predict__.cpp')};
shared = {};
for folder = {'common', 'host', 'training', 'prediction', 'learning'}
  files = dir(fullfile(root, folder{1}, '*.cpp'));
  for i = 1:numel(files)
    file = fullfile(root, folder{1}, files(i).name);
    if ~any(strcmp(file, entries))
      shared{end+1} = file; %#ok<AGROW>
    end
  end
end

% Results must be identical bit for bit to the plain order of operations: C++17, no
% fused multiply-add, never fast-math. MSVC's /fp:precise does not contract.
compiler = mex.getCompilerConfigurations('C++', 'Selected');
if ~isempty(strfind(compiler.ShortName, 'MSVC'))
  flags = 'COMPFLAGS="$COMPFLAGS /std:c++17 /fp:precise"';
else
  flags = 'CXXFLAGS="$CXXFLAGS -std=c++17 -ffp-contract=off"';
end

% On Linux the exp lookup of common/library_exp.cpp uses dlvsym, in libdl before glibc 2.34.
libs = {'-lut'};
if isunix() && ~ismac()
  libs{end+1} = '-ldl';
end

for i = 1:numel(names)
  mex('-outdir', out, '-output', names{i}, flags, ['-I' root], entries{i}, shared{:}, libs{:});
  [folder, name] = fileparts(entries{i});
  copyfile(fullfile(folder, [name '.m']), out);
end
% The model-level functions and their helpers are plain .m files.
for name = {'krrfit', 'krrpredict', '__krr_dense_lml__', '__krr_lbfgs__'}
  copyfile(fullfile(root, 'learning', [name{1} '.m']), out);
end
end
