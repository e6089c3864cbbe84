function [x, f, g, history, settled] = krr_lbfgs(fun, x0, lo, hi, opts)
% [x, f, g, history, settled] = krr_lbfgs (fun, x0, lo, hi, opts)
%
% Internal to krrfit: maximises f over the box lo <= x <= hi by limited-memory BFGS on -f,
% the direction projected onto the box. [f, g] = fun (x) gives the value (NaN where it is
% not computed) and the gradient. Line searches:
%   opts.slopes false  backtracking on the value (sufficient increase);
%   opts.slopes true   on the slope along the direction alone (the strong Wolfe curvature
%                      condition, bisecting where the step overshoots the maximum), for a
%                      value that is estimated or too dear to compute at every point.
% opts: max_iterations, memory, gradient_tolerance (on the largest projected derivative),
% value_tolerance (the relative rise of f over the last three iterations below which the
% search has settled; value line search only), max_step (largest move of
% one coordinate per iteration), verbose, label (for the progress lines), start (tic), and
% history (rows to continue), and optionally profile, a function giving the stage's running
% totals [evaluations, passes over K, seconds computing kernel columns, seconds in the
% compiled calls] (NaN where a total is not kept), and optionally errors: where true,
% [f, g, e] = fun (x) also gives each derivative's standard error e (of an estimated
% gradient): the search then follows each derivative less 1.5 times its error (towards
% 0), so that a derivative within its noise moves nothing, and stops, settled, once every
% projected derivative is within twice its error (further steps would follow the
% estimate's noise; the shrunk derivatives approach 1.5 errors, so the stop comes); g is
% then returned shrunk. history gains a row per iteration: [iteration, f, largest
% projected derivative, seconds since start, the four totals, the largest ratio of a
% projected derivative to its error (NaN without errors)]. settled: whether the point
% returned is so (errors only).
% Deterministic: no randomness, and the clock only in the history.
%
% A point whose gradient is not finite, or whose value is neither finite nor NaN (NaN
% only in the slope search, where the value is not computed), is never accepted: a trial
% step there counts as failed and the search backs off. A start that is not usable is an
% error, krrfit:notFiniteStart, which the caller turns into advice.

lo = lo(:);
hi = hi(:);
x = min(max(x0(:), lo), hi);
with_errors = isfield(opts, 'errors') && opts.errors;
fun = evaluator(fun, with_errors);
[f, g, e] = fun(x);
if ~usable(f, g, opts.slopes)
  error('krrfit:notFiniteStart', ...
        'krrfit: the objective or its gradient is not finite at the start of stage %s', ...
        regexprep(opts.label, '^krrfit ', ''));
end
history = opts.history;
first = size(history, 1) + 1;  % the stage's first row
S = zeros(numel(x), 0);
Y = S;
pg = projected(x, g, lo, hi);
history = record(opts, history, first, f, x, lo, hi, g, e);
for iteration = 1:opts.max_iterations
  if norm(pg, Inf) <= opts.gradient_tolerance || (with_errors && within(x, lo, hi, e))
    break;
  end
  free = pg ~= 0;
  d = zeros(size(x));
  d(free) = two_loop(pg(free), S(free, :), Y(free, :));  % an ascent direction of f
  if ~(d' * pg > 0)
    S = zeros(numel(x), 0);
    Y = S;
    d = pg;
  end
  step = min(1, opts.max_step / norm(d, Inf));
  if isempty(S)
    step = min(step, 1 / norm(d, Inf));
  end
  slope0 = d' * g;
  if opts.slopes
    [x_new, f_new, g_new, e_new] = slope_search(fun, x, f, g, e, d, step, slope0, lo, hi, ...
                                                opts.max_step);
  else
    [x_new, f_new, g_new, e_new] = value_search(fun, x, f, g, e, d, step, slope0, lo, hi);
  end
  s = x_new - x;
  % The change of the gradient of -f: with errors, of the derivatives as fun gives them,
  % which change smoothly with x (the shrunk ones do not where one crosses its threshold).
  if with_errors
    y = e(:, 2) - e_new(:, 2);
  else
    y = g - g_new;
  end
  if s' * y > 1e-12 * (s' * s)
    S = [S, s];
    Y = [Y, y];
    if size(S, 2) > opts.memory
      S = S(:, 2:end);
      Y = Y(:, 2:end);
    end
  end
  x = x_new;
  f = f_new;
  g = g_new;
  e = e_new;
  pg = projected(x, g, lo, hi);
  history = record(opts, history, first, f, x, lo, hi, g, e);
  if norm(s, Inf) == 0
    break;
  end
  % Settled: three iterations together gained less than the tolerance. One small step
  % alone is not enough, since a poor direction can follow a good one.
  if ~opts.slopes && iteration >= 3
    before = history(end - 3, 2);
    if f - before <= opts.value_tolerance * (1 + abs(before))
      break;
    end
  end
end
settled = with_errors && within(x, lo, hi, e);
end

function yes = within(x, lo, hi, e)
% Whether every projected derivative (e's second column) is within twice its error.
yes = all(abs(projected(x, e(:, 2), lo, hi)) <= 2 * e(:, 1));
end

function fun = evaluator(fun, with_errors)
% [f, g, e] from fun: with errors, g each derivative less 1.5 times its error (towards 0) and
% e = [errors, the derivatives as fun gave them]; without, fun's g and zeros.
plain = fun;
if with_errors
  fun = @(x) shrunk(plain, x);
else
  fun = @(x) with_zero_errors(plain, x);
end
end

function [f, g, e] = shrunk(fun, x)
[f, raw, errors] = fun(x);
g = raw;
known = isfinite(raw) & isfinite(errors);
g(known) = sign(raw(known)) .* max(abs(raw(known)) - 1.5 * errors(known), 0);
e = [errors, raw];
end

function [f, g, e] = with_zero_errors(fun, x)
[f, g] = fun(x);
e = zeros(size(g));
end

function ok = usable(f, g, slopes)
% Whether a point may be accepted: a finite gradient, and a finite value (or, for the
% slope search, a value not computed: NaN).
ok = all(isfinite(g(:))) && (isfinite(f) || (slopes && isnan(f)));
end

function pg = projected(x, g, lo, hi)
% The gradient with the components that push out of the box at a bound set to zero.
pg = g;
pg((x <= lo & g < 0) | (x >= hi & g > 0)) = 0;
end

function d = two_loop(q, S, Y)
% H * q by the two-loop recursion over the stored pairs (s, y) of -f: an ascent step of f.
m = size(S, 2);
a = zeros(m, 1);
rho = 1 ./ sum(S .* Y, 1)';
for i = m:-1:1
  a(i) = rho(i) * (S(:, i)' * q);
  q = q - a(i) * Y(:, i);
end
if m > 0
  q = q * ((S(:, m)' * Y(:, m)) / (Y(:, m)' * Y(:, m)));
end
for i = 1:m
  b = rho(i) * (Y(:, i)' * q);
  q = q + (a(i) - b) * S(:, i);
end
d = q;
end

function [x, f, g, e] = value_search(fun, x0, f0, g0, e0, d, step, slope0, lo, hi)
% Backtracking on the value (sufficient increase), the step clipped to the box; where no
% step increases f, the point stays (and the caller, seeing no move, stops). A trial point
% that is not usable is a failed step like one that does not increase f.
for attempt = 1:30
  x = min(max(x0 + step * d, lo), hi);
  [f, g, e] = fun(x);
  if usable(f, g, false) && f >= f0 + 1e-4 * step * slope0
    return;
  end
  step = step / 2;
end
x = x0;
f = f0;
g = g0;
e = e0;
end

function [x, f, g, e] = slope_search(fun, x0, f0, g0, e0, d, step, slope0, lo, hi, max_step)
% On the slope along d: accept once |slope| <= 0.9 slope0; bisect where the step overshot
% (negative slope) or the trial point is not usable, double where it is still steep and
% nothing overshot yet, but never beyond max_step in any coordinate: far steps lead to
% hyperparameters whose solves cost many times a usual one, and a slope estimated from
% probes does not justify them. Where nothing is accepted, the point with the least
% nonnegative slope, or else the last usable trial, or else the start (no move).
below = 0;
above = Inf;
best = [];
last = [];
longest = max_step / norm(d, Inf);
for attempt = 1:6
  x = min(max(x0 + step * d, lo), hi);
  [f, g, e] = fun(x);
  if ~usable(f, g, true)
    above = step;
    step = (below + above) / 2;
    continue;
  end
  last = struct('x', x, 'f', f, 'g', g, 'e', e);
  slope = d' * g;
  if slope >= 0 && (isempty(best) || slope < best.slope)
    best = struct('x', x, 'f', f, 'g', g, 'e', e, 'slope', slope);
  end
  if abs(slope) <= 0.9 * slope0 || (slope > 0 && step >= longest)
    return;
  elseif slope < 0
    above = step;
  else
    below = step;
  end
  if isinf(above)
    step = min(2 * step, longest);
  else
    step = (below + above) / 2;
  end
end
if isempty(best)
  best = last;
end
if isempty(best)
  best = struct('x', x0, 'f', f0, 'g', g0, 'e', e0);
end
x = best.x;
f = best.f;
g = best.g;
e = best.e;
end

function history = record(opts, history, first, f, x, lo, hi, g, e)
% A row of the history and, where asked, the progress line: with a profile, what this
% iteration took (evaluations, passes over K each, seconds computing kernel columns of the
% seconds in the compiled calls).
totals = NaN(1, 4);
if isfield(opts, 'profile') && ~isempty(opts.profile)
  totals = opts.profile();
end
% The derivatives as given (with errors, e's second column), and the largest ratio of one
% to its error (those at a bound, projected to 0, not counted; NaN without errors).
ratio = NaN;
if isfield(opts, 'errors') && opts.errors
  pg = projected(x, e(:, 2), lo, hi);
  ratio = max([0; abs(pg(pg ~= 0)) ./ e(pg ~= 0, 1)]);
else
  pg = projected(x, g, lo, hi);
end
row = [size(history, 1), f, norm(pg, Inf), toc(opts.start), totals, ratio];
history = [history; row];
if opts.verbose
  line = sprintf('%s: iteration %3d  objective %14.6g  |gradient| %10.3g  %8.1f s', opts.label, ...
                 row(1), row(2), row(3), row(4));
  if ~isnan(totals(2))
    before = zeros(1, 4);
    if size(history, 1) > first
      before = history(end - 1, 5:8);
    end
    step = totals - before;
    line = sprintf('%s  (%d evaluations, %.1f passes over K each, kernel columns %.1f s of %.1f s)', ...
                   line, step(1), step(2) / max(step(1), 1), step(3), step(4));
  end
  if ~isnan(ratio)
    line = sprintf('%s; largest slope %.3g times its error', line, ratio);
  end
  fprintf('%s\n', line);
end
end
