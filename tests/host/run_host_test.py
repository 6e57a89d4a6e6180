# SPDX-License-Identifier: MIT
"""Runs one host program with its output through pipes and judges how it
ended: exit status 0, "done" as the last line of stdout, and optionally an
expected line and an empty stderr. A hang becomes a named timeout (the whole
process group is killed, forked children included), a crash a named signal.

usage: run_host_test.py [--timeout S] [--repeat N] [--expect LINE]
                        [--quiet-stderr] [--model-copy MODEL] -- COMMAND...
--repeat runs COMMAND up to N times, until the first failure: for faults
that show in only some runs. --model-copy copies MODEL to a scratch file,
names it in MIVORA_FACE_LANDMARK_MODEL and appends its path to COMMAND."""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--timeout", type=float, default=60)
parser.add_argument("--repeat", type=int, default=1)
parser.add_argument("--expect")
parser.add_argument("--quiet-stderr", action="store_true")
parser.add_argument("--model-copy")
parser.add_argument("command", nargs="+")
args = parser.parse_args()


def run(command, env):
    """The verdict (None when the run passed), stdout and stderr."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                               start_new_session=True)
    verdict = None
    try:
        out, err = process.communicate(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        ended = process.poll()
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        verdict = (f"timeout: still running after {args.timeout:g} s (hang)" if ended is None else
                   f"timeout: exited ({ended}) but a forked child still held its output after {args.timeout:g} s")
    try:  # a forked child may outlive a crashed parent
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    out, err = out.decode(errors="replace"), err.decode(errors="replace")
    lines = out.splitlines()
    if verdict:
        pass
    elif process.returncode < 0:
        verdict = f"killed by signal {signal.Signals(-process.returncode).name}"
    elif process.returncode > 0:
        verdict = f"exit status {process.returncode}"
    elif not lines or lines[-1] != "done":
        verdict = "stdout does not end with 'done' (output lost)"
    elif args.expect is not None and args.expect not in lines:
        verdict = f"no line '{args.expect}' in stdout"
    elif args.quiet_stderr and err:
        verdict = "stderr is not empty"
    return verdict, out, err


with tempfile.TemporaryDirectory(prefix="mivora_host_") as scratch:
    env = dict(os.environ)
    command = list(args.command)
    for attempt in range(1, args.repeat + 1):
        if args.model_copy:  # a fresh copy for every run: the run changes it
            copy = os.path.join(scratch, os.path.basename(args.model_copy))
            shutil.copyfile(args.model_copy, copy)
            env["MIVORA_FACE_LANDMARK_MODEL"] = copy
            command = list(args.command) + [copy]
        verdict, out, err = run(command, env)
        if verdict:
            break

print("$", " ".join(command), f"(run {attempt} of {args.repeat})" if args.repeat > 1 else "")
print("--- stdout\n" + out + "--- stderr\n" + err + "---")
print("FAIL:" if verdict else "PASS", verdict or "")
sys.exit(1 if verdict else 0)
