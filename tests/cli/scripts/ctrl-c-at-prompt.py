"""Runs otq on a terminal of its own, types Ctrl-C at its password prompt
and prints what the terminal showed and how otq ended."""
import os
import pty
import sys

from terminal import read_for

pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])

shown = read_for(fd, 10, b"Password for")
os.write(fd, b"\x03")
shown += read_for(fd, 10)
_, status = os.waitpid(pid, 0)
print(shown.decode(errors="replace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
