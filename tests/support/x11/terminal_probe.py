#!/usr/bin/python3
"""The foreground program of the terminal the desktop tests drive: it shows one line of text to
select, puts its terminal in raw mode (no echo, no signals, no line editing, so Control+C and
Control+V arrive as the bytes 0x03 and 0x16 instead of acting) and records every byte it reads.

    terminal_probe.py LOG

LOG gets "ready" once the terminal is raw, then one line per read: the monotonic time in seconds
and the bytes read, in hexadecimal. Ends when its terminal closes.
"""
import os
import sys
import termios
import time
import tty

SHOWN = "Orvix probe Vocabulary here"


def main(log_path):
    with open(log_path, "a", buffering=1) as log:
        os.write(1, (SHOWN + "\r\n").encode())
        tty.setraw(0, termios.TCSANOW)
        log.write("ready\n")
        while True:
            try:
                chunk = os.read(0, 4096)
            except OSError:  # the terminal went away
                return 0
            if not chunk:
                return 0
            log.write(f"{time.monotonic():.6f} {chunk.hex()}\n")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
