% MEMORY_PROBE  Peak resident memory of this process, resettable (Linux /proc).
%
%   memory_probe ("reset")  starts a new peak at the current resident size
%   bytes = memory_probe ()  peak resident bytes since the last reset

function bytes = memory_probe (action)
  if (nargin > 0 && strcmp (action, "reset"))
    fid = fopen ("/proc/self/clear_refs", "w");
    fprintf (fid, "5");
    fclose (fid);
    bytes = [];
    return;
  endif
  text = fileread ("/proc/self/status");
  kb = str2double (regexp (text, 'VmHWM:\s*(\d+)', "tokens", "once"){1});
  bytes = kb * 1024;
endfunction
