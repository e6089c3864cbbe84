## check_installed_package (tarball, name, version, work_dir, out_file)
##
## Installs the package tarball as a user would, except that pkg's prefix and both of
## its package lists point into work_dir, so the user's own packages are neither read
## nor touched. Then loads the package and checks what a user relies on: help for each
## public function, each in the package's index, and a clean pkg test. Saves the
## installed modules' seeded_fits to out_file, copies the installed modules into
## work_dir/installed_modules and uninstalls the package. Raises an
## error at the first check that fails.

function check_installed_package (tarball, name, version, work_dir, out_file)
  prefix = fullfile (work_dir, "packages");
  pkg ("prefix", prefix, prefix);
  pkg ("local_list", fullfile (work_dir, "local_packages"));
  pkg ("global_list", fullfile (work_dir, "global_packages"));

  pkg ("install", "-local", tarball);
  installed = pkg ("list");
  if (numel (installed) != 1 || ! strcmp (installed{1}.name, name)
      || ! strcmp (installed{1}.version, version))
    error ("check_installed_package: expected only %s %s installed", name, version);
  endif
  pkg ("load", name);

  functions = {"tarvel", "quorril", "krrfit", "krrpredict"};
  for fn = functions
    text = evalc (sprintf ("help %s", fn{1}));
    if (isempty (strfind (text, upper (fn{1}))))
      error ("check_installed_package: help %s shows no help text:\n%s", fn{1}, text);
    endif
  endfor

  desc = pkg ("describe", "-verbose", name);
  provided = cellfun (@(category) category.functions, desc{1}.provides,
                      "uniformoutput", false);
  provided = [provided{:}];
  if (! all (ismember (functions, provided)))
    error ("check_installed_package: the package index lists only: %s",
           strjoin (provided, ", "));
  endif

  ## pkg test returns normally whatever happens, so its report is read instead: every
  ## test of each function's file must pass, and none may fail anywhere.
  report = evalc (sprintf ("pkg test %s", name));
  for fn = functions
    counts = regexp (report, [fn{1} '\.m\s+\.*\s*pass\s+(\d+)/(\d+)'], "tokens", "once");
    if (isempty (counts) || str2double (counts{2}) == 0 || ! strcmp (counts{1}, counts{2}))
      error ("check_installed_package: pkg test did not pass every test of %s:\n%s",
             fn{1}, report);
    endif
  endfor
  failed = regexp (report, '^\s*FAIL\s+(\d+)\s*$', "tokens", "once", "lineanchors");
  if (isempty (failed) || ! strcmp (failed{1}, "0"))
    error ("check_installed_package: pkg test reports failures:\n%s", report);
  endif

  fits = seeded_fits (installed{1}.dir);
  save ("-binary", out_file, "fits");

  ## The modules as the package built them, for the check of their instruction-set clones.
  copies = fullfile (work_dir, "installed_modules");
  mkdir (copies);
  modules = [dir(fullfile (installed{1}.archprefix, "**", "*.mex")); ...
             dir(fullfile (installed{1}.dir, "**", "*.mex"))];
  if (isempty (modules))
    error ("check_installed_package: no compiled modules installed");
  endif
  for i = 1:numel (modules)
    copyfile (fullfile (modules(i).folder, modules(i).name), copies);
  endfor

  pkg ("unload", name);
  pkg ("uninstall", "-local", name);
  if (! isempty (pkg ("list")) || isfolder (installed{1}.dir)
      || ! isempty (which ("tarvel")))
    error ("check_installed_package: %s is still installed after pkg uninstall", name);
  endif
endfunction
