"""Runs a command with a terminal of its own for its standard input, output
and error. Prints how many bytes the terminal showed, what they were
(escaped), and how the command ended (killed after 20 s: status -1).
Usage: on-terminal.py COMMAND ARGS..."""
import os
import pty
import signal
import sys

from terminal import read_for

pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
shown = read_for(fd, 20)
done, status = os.waitpid(pid, os.WNOHANG)
if done == 0:  # still waiting on its terminal after 20 s: a hang, reported as one
    os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
print("shown", len(shown), "bytes:", shown.decode(errors="backslashreplace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
