#!/usr/bin/env python3
"""Runs a command on a pseudo-terminal, as if a person watched it, and keeps what it drew.

    pty_run.py OUTPUT_FILE TIMEOUT_SECONDS COMMAND [ARG...]

Everything the command writes to the terminal (stdout and stderr alike) goes to OUTPUT_FILE. The exit
status is the command's, or 124 when it runs past the timeout (it is then killed).
"""
import os
import pty
import select
import signal
import sys
import time


def main(argv):
    output_path, timeout = argv[0], float(argv[1])
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(argv[2], argv[2:])
    deadline = time.monotonic() + timeout
    drawn = bytearray()
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if not ready:
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                break
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # the terminal closes when the command ends
            break
        if not chunk:
            break
        drawn += chunk
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        open(output_path, "wb").write(drawn)
        return 124
    _, status = os.waitpid(pid, 0)
    open(output_path, "wb").write(drawn)
    return os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status >> 8


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
