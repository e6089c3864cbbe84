#!/usr/bin/env bash
# Ctrl-C during a long training call, as a user would press it: starts octave-cli on a
# training call that would run for many seconds, sends SIGINT once the call has begun,
# and checks that the call ends with the error tarvel:interrupted within a few seconds,
# caught by the session's try/catch, and that the same session then trains and predicts.
#   interrupt_test.sh OCTAVE_CLI BUILD_DIR
set -uo pipefail
octave=$1
build=$2
out=$(mktemp)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
  rm -f "$out"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $1"
  echo "--- octave output ---"
  cat "$out"
  exit 1
}

# 4000 samples, a tolerance no iterate reaches and the smallest cache: the work bound is
# 80000 block steps of 50 fresh kernel columns each, minutes of work.
"$octave" -q -H --norc --eval "
  addpath ('$build');
  X = rand (2, 4000);  y = sin (6 * X(1,:))' + X(2,:)';
  disp ('TRAINING'); fflush (stdout);
  t = tic;
  try
    evalc ('tarvel (X, y, [4 4 1], 1e-3, 1e-300, 50, 0)');
    printf ('NOT INTERRUPTED after %.2f s\n', toc (t));
  catch err
    printf ('CAUGHT %s: %s\n', err.identifier, err.message);
  end_try_catch
  fflush (stdout);
  evalc ('[alpha, grad] = tarvel (X(:,1:200), y(1:200), [4 4 1], 1e-2, 1e-8, 16, Inf);');
  f = quorril (X(:,1:200), X(:,1:200), [4 4 1], alpha);
  printf ('SESSION OK %d\n', max (abs (grad)) <= 1e-8 && norm (f + 1e-2 * alpha - y(1:200) - grad) < 1e-8);
" >"$out" 2>&1 &
pid=$!

# Octave's start-up, then the marker printed just before the call.
for _ in $(seq 600); do
  grep -q '^TRAINING' "$out" && break
  kill -0 "$pid" 2>/dev/null || fail "octave-cli ended before training began"
  sleep 0.1
done
grep -q '^TRAINING' "$out" || fail "training did not begin within 60 s"
sleep 1  # well into the block steps

kill -INT "$pid"
sent=$(date +%s%N)
for _ in $(seq 200); do
  grep -q -E '^(CAUGHT|NOT INTERRUPTED)' "$out" && break
  sleep 0.05
done
ended=$(date +%s%N)
grep -q '^CAUGHT tarvel:interrupted: tarvel: interrupted by the user after [0-9]* block steps' "$out" ||
  fail "the call did not end with tarvel:interrupted within 10 s of SIGINT"
echo "the call ended $(( (ended - sent) / 1000000 )) ms after SIGINT"

for _ in $(seq 600); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "octave-cli did not finish within 60 s after the interrupt"
wait "$pid"
status=$?
pid=""
[ "$status" -eq 0 ] || fail "octave-cli exited with $status"
grep -q '^SESSION OK 1' "$out" || fail "the session did not train and predict after the interrupt"
cat "$out"
