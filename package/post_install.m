## Run by pkg install once the files are in place: moves each module's help file from
## the package folder into the architecture folder, beside the module it documents.
##
## Octave takes the help of a compiled function from the .m file of the same name in
## the module's own folder. pkg install puts .m files in the package folder and modules
## in the architecture folder; left apart like that, help finds no text for the modules.

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
    help_file = fullfile (desc.dir, [name ".m"]);
    if (! exist (help_file, "file"))
      error ("%s: the help file of %s is missing from %s", desc.name, name, desc.dir);
    endif
    [ok, msg] = movefile (help_file, archdir);
    if (! ok)
      error ("%s: could not move %s beside its module: %s", desc.name, help_file, msg);
    endif
  endfor
endfunction
