"""Runs otq on a terminal of its own, its standard input a pipe that a slow
writer fills: half the source, a pause, the rest. Prints what the terminal
showed during the pause, then what came after, and how otq ended.
Usage: slow-standard-input.py SOURCE OTQ ARGS..."""
import os
import pty
import sys

from terminal import read_for

source = open(sys.argv[1], "rb").read()
r, w = os.pipe()
pid, fd = pty.fork()
if pid == 0:
    os.dup2(r, 0)
    os.close(r)
    os.close(w)
    os.execv(sys.argv[2], sys.argv[2:])
os.close(r)

os.write(w, source[: len(source) // 2])
paused = read_for(fd, 2)
os.write(w, source[len(source) // 2 :])
os.close(w)
after = read_for(fd, 20)
_, status = os.waitpid(pid, 0)
print("during the pause:", paused.decode(errors="replace"))
print("after:", after.decode(errors="replace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
