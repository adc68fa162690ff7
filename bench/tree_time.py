#!/usr/bin/env python3
"""Times a command with every process it starts, as bench/install counts a
run: the wall time from its start to its exit, and the CPU time (user +
system) of the command and of all its descendants, also those that leave
their parent. Wine starts every Windows process (the program's console
host, the cmd.exe of a batch file it runs) through a double fork, so those
processes are not the program's children and /usr/bin/time would not see
them: this script makes itself their child subreaper (prctl
PR_SET_CHILD_SUBREAPER), so that every orphan of the tree becomes its child,
reaps them all and reads the CPU of the reaped ones from getrusage
(RUSAGE_CHILDREN), with the peak resident memory of the largest.

After the command exits, descendants still running are waited for up to
GRACE seconds; those still running then (Wine's system processes started by
the run, which stay with the prefix's wineserver) are listed in the report
as [pid, start time, CPU seconds so far] (from /proc/PID/stat): their CPU
is not in "cpu"; bench/install counts it, from /proc with the prefix's
other long-lived processes when they are Wine's.

usage: tree_time.py REPORT COMMAND [ARG ...]
Writes REPORT as JSON {"seconds", "cpu", "peak_kib", "left"} and exits with
the command's exit code (128 + N for a signal N)."""

import ctypes
import json
import os
import resource
import sys
import time

PR_SET_CHILD_SUBREAPER = 36
GRACE = 0.5


def process_stat(pid):
    """(parent pid, start time, CPU seconds so far: its own and its
    waited-for children's) from /proc/PID/stat; None once it is gone."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    # Fields 4 (ppid), 14-17 (utime stime cutime cstime), 22 (starttime).
    return int(fields[1]), fields[19], sum(int(x) for x in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def children():
    """This process's children still running (or not reaped): [pid, start
    time, CPU seconds so far]."""
    found = []
    for name in os.listdir("/proc"):
        stat = process_stat(name) if name.isdigit() else None
        if stat and stat[0] == os.getpid():
            found.append([int(name), stat[1], stat[2]])
    return found


def main():
    report, command = sys.argv[1], sys.argv[2:]
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    started = time.monotonic()
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(command[0], command)
        finally:
            os._exit(127)
    # Orphans of the tree may end before the command: reap whatever ends.
    while True:
        ended, status = os.wait()
        if ended == pid:
            seconds = time.monotonic() - started
            code = os.waitstatus_to_exitcode(status)
            break
    deadline = time.monotonic() + GRACE
    while time.monotonic() < deadline:
        try:
            ended, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if ended == 0:
            time.sleep(0.01)
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(report, "w") as f:
        json.dump({"seconds": seconds, "cpu": usage.ru_utime + usage.ru_stime, "peak_kib": usage.ru_maxrss,
                   "left": children()}, f)
    sys.exit(code if code >= 0 else 128 - code)


if __name__ == "__main__":
    main()
