"""Runs a command with a terminal of its own for its standard input, output
and error. Prints how many bytes the terminal showed, what they were
(escaped), and how the command ended.
Usage: on-terminal.py COMMAND ARGS..."""
import os
import pty
import sys

from terminal import read_for

pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
shown = read_for(fd, 20)
_, status = os.waitpid(pid, 0)
print("shown", len(shown), "bytes:", shown.decode(errors="backslashreplace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
