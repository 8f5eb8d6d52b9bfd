"""Runs otq on a terminal of its own, types Ctrl-C at its password prompt
and prints what the terminal showed and how otq ended."""
import os
import pty
import select
import sys
import time

pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])


def read_for(seconds, until=None):
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
            if until and until in out:
                break
    return out


shown = read_for(10, b"Password for")
os.write(fd, b"\x03")
shown += read_for(10)
_, status = os.waitpid(pid, 0)
print(shown.decode(errors="replace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
