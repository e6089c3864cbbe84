function build()
% BUILD  Compiles the modules listed in modules.txt with MATLAB's mex into build-matlab/ at
% the top of the source tree, in the layout of inst/: the public modules beside their help
% files and krrfit and krrpredict, the private ones in build-matlab/private/.
%
%   cd matlab; build
%   addpath (fullfile (pwd, '..', 'build-matlab'))
%
% Each module is its entry file modules/NAME.cpp plus the core (core/) and the host layer
% (modules/host/). libut provides the Ctrl-C polling of modules/host/interrupt.cpp.

root = fileparts(fileparts(mfilename('fullpath')));
out = fullfile(root, 'build-matlab');
make_folder(fullfile(out, 'private'));

[names, where] = read_modules(fullfile(root, 'modules.txt'));
shared = [sources(fullfile(root, 'core')), sources(fullfile(root, 'modules', 'host'))];

% Results must be identical bit for bit to the plain order of operations: C++17, no
% fused multiply-add, never fast-math. MSVC's /fp:precise does not contract.
compiler = mex.getCompilerConfigurations('C++', 'Selected');
if ~isempty(strfind(compiler.ShortName, 'MSVC'))
  flags = 'COMPFLAGS="$COMPFLAGS /std:c++17 /fp:precise"';
else
  flags = 'CXXFLAGS="$CXXFLAGS -std=c++17 -ffp-contract=off"';
end
% mex optimises with -O2, where GCC vectorises only loops that need no remainder: the hot
% loops' AVX2 clones would run scalar code.
optim = {};
if isempty(strfind(compiler.ShortName, 'MSVC'))
  optim = {'CXXOPTIMFLAGS="-O3 -DNDEBUG"'};
end

% On Linux the exp lookup of core/kernel/library_exp.cpp uses dlvsym, in libdl before glibc 2.34.
libs = {'-lut'};
if isunix() && ~ismac()
  libs{end+1} = '-ldl';
end

for i = 1:numel(names)
  folder = out;
  if strcmp(where{i}, 'private')
    folder = fullfile(out, 'private');
  end
  mex('-outdir', folder, '-output', names{i}, flags, optim{:}, ['-I' root], ...
      fullfile(root, 'modules', [names{i} '.cpp']), shared{:}, libs{:});
end
% The functions, the help files and the private helpers, as inst/ holds them.
copyfile(fullfile(root, 'inst', '*.m'), out);
copyfile(fullfile(root, 'inst', 'private', '*.m'), fullfile(out, 'private'));
end

function [names, where] = read_modules(file)
% The module names and whether each is public or private, from modules.txt.
text = fileread(file);
rows = regexp(text, '^([a-z][a-z0-9_]*)[ \t]+(public|private)', 'tokens', 'lineanchors');
names = cellfun(@(r) r{1}, rows, 'UniformOutput', false);
where = cellfun(@(r) r{2}, rows, 'UniformOutput', false);
end

function files = sources(folder)
% Every .cpp file below folder.
files = {};
entries = dir(folder);
for i = 1:numel(entries)
  name = entries(i).name;
  path = fullfile(folder, name);
  if entries(i).isdir && name(1) ~= '.'
    files = [files, sources(path)]; %#ok<AGROW>
  elseif ~entries(i).isdir && numel(name) > 4 && strcmp(name(end-3:end), '.cpp')
    files{end+1} = path; %#ok<AGROW>
  end
end
end

function make_folder(folder)
if ~exist(folder, 'dir')
  mkdir(folder);
end
end
