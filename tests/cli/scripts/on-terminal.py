"""Runs a command with a terminal of its own for its standard input, output
and error. Prints how many bytes the terminal showed, what they were
(escaped), and how the command ended (killed after 20 s: status -1).
Usage: on-terminal.py [--columns N] COMMAND ARGS..."""
import fcntl
import os
import pty
import signal
import struct
import sys
import termios

from terminal import read_for

args = sys.argv[1:]
columns = 80
if args[0] == "--columns":
    columns, args = int(args[1]), args[2:]
pid, fd = pty.fork()
if pid == 0:
    # The size is set before the command starts, as a terminal window has it.
    fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    os.execv(args[0], args)
shown = read_for(fd, 20)
done, status = os.waitpid(pid, os.WNOHANG)
if done == 0:  # still waiting on its terminal after 20 s: a hang, reported as one
    os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
print("shown", len(shown), "bytes:", shown.decode(errors="backslashreplace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
