## folder = status_injection ()
## status_injection (lml, solve)
##
## A copy of krrfit (from the folder it is found in, with its private functions) in a new
## temporary folder, whose private krr_lml and krr_solve call the real modules and then
## report, at the calls listed in the global STATUS_INJECTION, the status given there:
##   STATUS_INJECTION.lml    [call, status; ...] for krr_lml (info(4))
##   STATUS_INJECTION.solve  [call, status; ...] for krr_solve (info(1))
## Status 3 (overflow) also makes the call's solutions and gradient NaN, as an overflow
## leaves them. Each call appends its settings to STATUS_INJECTION.lml_settings or
## .solve_settings. This is how the tests reach the statuses that the real modules return
## only on data too large or too badly conditioned for a test. Add the folder to the
## front of the path to use the copy; remove it (rmdir (folder, "s")) afterwards. With
## two arguments, sets the statuses to inject and empties the logs, for the next krrfit.
function folder = status_injection (lml, solve)
  global STATUS_INJECTION
  if (nargin == 2)
    STATUS_INJECTION = struct ("lml", lml, "solve", solve, "lml_settings", zeros (0, 11), ...
                               "solve_settings", zeros (0, 5));
    return;
  endif
  source = fileparts (which ("krrfit"));
  folder = tempname ();
  mkdir (fullfile (folder, "private"));
  copyfile (fullfile (source, "krrfit.m"), folder);
  copyfile (fullfile (source, "private", "*"), fullfile (folder, "private"));
  for name = {"krr_lml", "krr_solve"}
    movefile (fullfile (folder, "private", [name{1} ".mex"]), ...
              fullfile (folder, "private", ["real_" name{1} ".mex"]));
  endfor
  ## (Outputs by position: krr_lml's info is its 4th, krr_solve's its 3rd; an overflow
  ## makes the gradient and solutions, or the solutions and residuals, NaN.)
  write_wrapper (fullfile (folder, "private", "krr_lml.m"), "krr_lml", "lml", 4, 4, [2, 3]);
  write_wrapper (fullfile (folder, "private", "krr_solve.m"), "krr_solve", "solve", 3, 1, [1, 2]);
endfunction

function write_wrapper (file, name, key, info, entry, overflow)
  unlink (file);  # the copied help file, or a link to it: never written through
  fid = fopen (file, "w");
  fprintf (fid, "function varargout = %s (varargin)\n", name);
  fprintf (fid, "  global STATUS_INJECTION\n");
  fprintf (fid, "  varargout = cell (1, max (nargout, %d));\n", info);
  fprintf (fid, "  [varargout{:}] = real_%s (varargin{:});\n", name);
  fprintf (fid, "  STATUS_INJECTION.%s_settings(end+1,:) = varargin{5};\n", key);
  fprintf (fid, "  call = rows (STATUS_INJECTION.%s_settings);\n", key);
  fprintf (fid, "  hit = STATUS_INJECTION.%s(STATUS_INJECTION.%s(:,1) == call, 2);\n", key, key);
  fprintf (fid, "  if (! isempty (hit))\n");
  fprintf (fid, "    varargout{%d}(%d) = hit(1);\n", info, entry);
  fprintf (fid, "    if (hit(1) == 3)\n");
  for k = overflow
    fprintf (fid, "      varargout{%d}(:) = NaN;\n", k);
  endfor
  fprintf (fid, "    endif\n");
  fprintf (fid, "  endif\n");
  fprintf (fid, "  varargout = varargout(1:max (nargout, 1));\n");
  fprintf (fid, "endfunction\n");
  fclose (fid);
endfunction
