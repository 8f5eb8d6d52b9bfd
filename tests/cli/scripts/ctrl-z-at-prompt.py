"""Runs otq under an interactive bash on a terminal of its own, suspends it
with Ctrl-Z at its password prompt, brings it back with fg, types the
password after a pause and prints what the terminal showed from fg on."""
import os
import pty
import sys
import time

from terminal import read_for

pid, fd = pty.fork()
if pid == 0:
    os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])

read_for(fd, 2, b"$ ")
os.write(fd, (" ".join(sys.argv[2:]) + "\n").encode())
read_for(fd, 10, b"Password for")
os.write(fd, b"\x1a")
read_for(fd, 5, b"Stopped")
os.write(fd, b"fg\n")
shown = read_for(fd, 5, b"Password for")
time.sleep(1.5)  # a person takes a while to type
os.write(fd, sys.argv[1].encode() + b"\n")
shown += read_for(fd, 10, b"bytes")
os.write(fd, b"exit\n")
read_for(fd, 2)
os.waitpid(pid, 0)
print(shown.decode(errors="replace"))
