"""Runs otq on a terminal of its own, its standard input a pipe that a slow
writer fills: half the source, a pause, the rest. Prints what the terminal
showed during the pause, then what came after, and how otq ended.
Usage: slow-standard-input.py SOURCE OTQ ARGS..."""
import os
import pty
import select
import sys
import time

source = open(sys.argv[1], "rb").read()
r, w = os.pipe()
pid, fd = pty.fork()
if pid == 0:
    os.dup2(r, 0)
    os.close(r)
    os.close(w)
    os.execv(sys.argv[2], sys.argv[2:])
os.close(r)


def read_for(seconds):
    out = b""
    end = time.time() + seconds
    while time.time() < end:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            try:
                data = os.read(fd, 1024)
            except OSError:
                break
            if not data:
                break
            out += data
    return out


os.write(w, source[: len(source) // 2])
paused = read_for(2)
os.write(w, source[len(source) // 2 :])
os.close(w)
after = read_for(20)
_, status = os.waitpid(pid, 0)
print("during the pause:", paused.decode(errors="replace"))
print("after:", after.decode(errors="replace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
