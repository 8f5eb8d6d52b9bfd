"""Runs a shell command line on a terminal of its own (its controlling
terminal), types ANSWER at the first password prompt and prints what the
terminal showed and how the command ended.
Usage: answer-prompt.py ANSWER COMMAND-LINE"""
import os
import pty
import sys

from terminal import read_for

pid, fd = pty.fork()
if pid == 0:
    os.execv("/bin/sh", ["sh", "-c", sys.argv[2]])

shown = read_for(fd, 10, b"Password for")
os.write(fd, sys.argv[1].encode() + b"\n")
shown += read_for(fd, 10)
_, status = os.waitpid(pid, 0)
print(shown.decode(errors="replace"))
print("status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
