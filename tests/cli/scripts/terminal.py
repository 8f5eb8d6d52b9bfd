"""What the scripts here share: reading what a program shows on its terminal."""
import os
import select
import time


def read_for(fd, seconds, until=None):
    """What the terminal `fd` shows within `seconds`, or until `until` appears."""
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
