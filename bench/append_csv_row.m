% APPEND_CSV_ROW  Appends "n,a,b" to a results file for the benchmark plot.
%
%   append_csv_row (file, n, a, b)

function append_csv_row (file, n, a, b)
  fid = fopen (file, "a");
  fprintf (fid, "%d,%.6f,%.6f\n", n, a, b);
  fclose (fid);
endfunction
