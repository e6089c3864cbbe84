#!/usr/bin/env python3
"""Signals during long calls, as a user meets them in an interactive Octave session.

  interrupt_test.py OCTAVE_CLI BUILD_DIR

Runs octave-cli on a pseudo-terminal and checks that
  - a background child process that ends during a long call does not stop it;
  - Ctrl-C inside one long block step of tarvel, inside a long quorril call, and inside one
    long block step of the internal krr_solve and krr_lml (called from the build's private
    folder, as krrfit's solves), ends the whole command line as for Octave's own functions
    (no catch block runs, the loop around the call does not go on), soon, and the session
    then trains, predicts and solves as before;
  - SIGTERM during a call inside try/catch ends the process, as for Octave's own code.
The time from Ctrl-C to the next prompt is printed; it is not a pass criterion beyond a
bound far above a block step's polling interval, since this machine may be busy.
"""
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time

OCTAVE, BUILD = sys.argv[1], sys.argv[2]
PROMPT_WAIT = 60.0  # seconds for Octave to start or finish a short command
LATENCY_BOUND = 3.0  # seconds from Ctrl-C to the prompt; a block step here takes far longer


class Session:
    """An interactive octave-cli on a pseudo-terminal."""

    def __init__(self):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execvp(OCTAVE, [OCTAVE, "-q", "--norc", "--no-history", "--no-line-editing"])
        self.out = b""

    def wait_for(self, marker, seconds):
        """Reads output until `marker` appears after position `since`; True if it did."""
        end = time.time() + seconds
        while time.time() < end:
            if marker.encode() in self.out:
                return True
            ready, _, _ = select.select([self.fd], [], [], 0.02)
            if ready:
                try:
                    self.out += os.read(self.fd, 65536)
                except OSError:
                    return False
        return marker.encode() in self.out

    def run(self, line):
        os.write(self.fd, (line + "\n").encode())

    def interrupt(self):
        os.write(self.fd, b"\x03")  # Ctrl-C, through the terminal as a user sends it

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)


def fail(session, why):
    print("FAILED: " + why)
    print("--- octave session ---")
    print(session.out.decode(errors="replace"))
    session.close()
    sys.exit(1)


def interrupt_long_call(s, label, call):
    """Ctrl-C one second into `call` inside a try/catch in a loop; returns the latency."""
    s.run(f"disp('START {label}'); for i = 1:3, try, {call}; catch, disp('CAUGHT {label}'); "
          f"end, end, disp('LOOP DONE {label}')")
    if not s.wait_for(f"START {label}\r\n", PROMPT_WAIT):
        fail(s, f"{label}: the command did not start")
    # From the start: a call that ended (by an error, or done) before Ctrl-C shows here too.
    mark = s.out.index(f"START {label}\r\n".encode())
    time.sleep(1.0)
    s.interrupt()
    sent = time.time()
    s.run(f"disp('BACK {label}')")
    if not s.wait_for(f"BACK {label}\r\n", PROMPT_WAIT):
        fail(s, f"{label}: no prompt after Ctrl-C")
    latency = time.time() - sent
    tail = s.out[mark:].decode(errors="replace")
    if f"CAUGHT {label}" in tail or f"LOOP DONE {label}" in tail:
        fail(s, f"{label}: the call ended before Ctrl-C, or Ctrl-C was caught by try/catch "
                "instead of ending the command line")
    print(f"{label}: the command line ended {latency * 1000:.0f} ms after Ctrl-C")
    if latency > LATENCY_BOUND:
        fail(s, f"{label}: Ctrl-C took {latency:.1f} s, not a fraction of a second")
    return latency


s = Session()
s.run(f"addpath ('{BUILD}'); X = rand (2, 3000); y = sin (6 * X(1,:))' + X(2,:)'; disp ('READY')")
if not s.wait_for("READY\r\n", PROMPT_WAIT):
    fail(s, "octave-cli did not start")

# A child process that ends during a long prediction is not an interrupt.
s.run("system ('sleep 0.3', false, 'async'); Z = rand (2, 40000); "
      "f = quorril (Z, Z, [4 4 1], ones (40000, 1)); disp (['CHILD OK ' num2str(numel (f))])")
if not s.wait_for("CHILD OK 40000\r\n", PROMPT_WAIT):
    fail(s, "a child process that ended stopped the call")

# Ctrl-C inside one block step of every sample (k = n), and inside a long prediction.
interrupt_long_call(s, "TARVEL", "evalc ('tarvel (X, y, [4 4 1], 1e-3, 1e-300, 3000, Inf)')")
interrupt_long_call(s, "QUORRIL", "quorril (Z, Z, [4 4 1], ones (40000, 1))")

# The internal solves, from their private folder: Ctrl-C inside one block step of every
# sample, for two right-hand sides (krr_solve) and for a target and 8 probes (krr_lml).
s.run(f"here = pwd (); cd ('{BUILD}/private'); B = [y, cos(3 * X(2,:))']; disp ('PRIVATE READY')")
if not s.wait_for("PRIVATE READY\r\n", PROMPT_WAIT):
    fail(s, "could not change to the private folder")
interrupt_long_call(s, "KRR_SOLVE",
                    "krr_solve (X, B, [4 4 1], 1e-3, [], 'Tolerance', 1e-300, 'BlockSize', 3000, 'Seed', 1)")
interrupt_long_call(s, "KRR_LML",
                    "krr_lml (X, y, [4 4 1], 1e-3, [], 'Probes', 8, 'Seed', 1, 'Tolerance', 1e-300, "
                    "'BlockSize', 3000)")
s.run("[V, G, info] = krr_solve (X(:,1:200), B(1:200,:), [4 4 1], 1e-2, [], 'Tolerance', 1e-8, "
      "'BlockSize', 16, 'Seed', 1); "
      "[f, g, W, linfo] = krr_lml (X(:,1:200), y(1:200), [4 4 1], 1e-2, [], 'Probes', 4, 'Seed', 1, "
      "'Tolerance', 1e-8, 'BlockSize', 16, 'LanczosSteps', 30); cd (here); "
      "printf ('SOLVES OK %d\\n', strcmp (info.Status, 'converged') "
      "&& max (abs (G(:))) <= 1e-8 * max (abs (B(:))) "
      "&& strcmp (linfo.Status, 'converged') && all (isfinite ([f; g])))")
if not s.wait_for("SOLVES OK 1", PROMPT_WAIT):
    fail(s, "the session did not solve after the interrupts")

# The session goes on: it trains and predicts.
s.run("evalc ('[alpha, grad] = tarvel (X(:,1:200), y(1:200), [4 4 1], 1e-2, 1e-8, 16, Inf);'); "
      "f = quorril (X(:,1:200), X(:,1:200), [4 4 1], alpha); "
      "printf ('SESSION OK %d\\n', max (abs (grad)) <= 1e-8 && norm (f + 1e-2 * alpha - y(1:200) - grad) < 1e-8)")
if not s.wait_for("SESSION OK 1", PROMPT_WAIT):
    fail(s, "the session did not train and predict after the interrupts")
s.run("exit")
s.wait_for("never", 2)
s.close()

# SIGTERM during a call inside try/catch ends the process, as it does for Octave's own code.
with tempfile.TemporaryDirectory() as scratch:
    proc = subprocess.Popen(
        [OCTAVE, "-q", "--norc", "--eval",
         f"sigterm_dumps_octave_core (false); addpath ('{BUILD}'); X = rand (2, 3000); "
         "y = X(1,:)'; disp ('TERM START'); fflush (stdout); "
         "try, evalc ('tarvel (X, y, [4 4 1], 1e-3, 1e-300, 3000, Inf)'); catch, disp ('CAUGHT'); end, "
         "disp ('AFTER')"],
        cwd=scratch, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    line = proc.stdout.readline()
    if b"TERM START" not in line:
        proc.kill()
        print("FAILED: the SIGTERM session did not start: " + line.decode(errors="replace"))
        sys.exit(1)
    time.sleep(1.0)
    proc.send_signal(signal.SIGTERM)
    try:
        rest, _ = proc.communicate(timeout=PROMPT_WAIT)
    except subprocess.TimeoutExpired:
        proc.kill()
        print("FAILED: SIGTERM did not end the process")
        sys.exit(1)
    if b"CAUGHT" in rest or b"AFTER" in rest:
        print("FAILED: SIGTERM was caught by try/catch:\n" + rest.decode(errors="replace"))
        sys.exit(1)
    print("SIGTERM ended the process (status %d)" % proc.returncode)
print("all signal checks passed")
