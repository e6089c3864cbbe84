## Run by pkg install once the files are in place: puts each compiled module where the
## functions that call it, and help, find it.
##
## pkg install puts .m files in the package folder and modules in the architecture folder.
## A public module's help text is the .m file of its name, which Octave reads only from the
## module's own folder, so that file moves into the architecture folder beside the module.
## A private module (its help in the package's private/ folder) is called only by the
## package's functions, which find it only in their own private/ folder, so the module
## moves there, beside its help.

function post_install (desc)
  arch = [__octave_config_info__("canonical_host_type"), "-", ...
          __octave_config_info__("api_version")];
  if (isfield (desc, "archprefix"))
    archdir = fullfile (desc.archprefix, arch);
  else
    archdir = fullfile (desc.dir, arch);
  endif

  modules = dir (fullfile (archdir, "*.mex"));
  if (isempty (modules))
    error ("%s: no compiled modules in %s", desc.name, archdir);
  endif
  for i = 1:numel (modules)
    [~, name] = fileparts (modules(i).name);
    public_help = fullfile (desc.dir, [name ".m"]);
    private_help = fullfile (desc.dir, "private", [name ".m"]);
    if (exist (public_help, "file"))
      move (desc.name, public_help, archdir);
    elseif (exist (private_help, "file"))
      move (desc.name, fullfile (archdir, modules(i).name), fullfile (desc.dir, "private"));
    else
      error ("%s: the help file of %s is missing from %s", desc.name, name, desc.dir);
    endif
  endfor
endfunction

function move (package, file, folder)
  [ok, msg] = movefile (file, folder);
  if (! ok)
    error ("%s: could not move %s to %s: %s", package, file, folder, msg);
  endif
endfunction
