#!/usr/bin/python3
"""OrvixInputHost's shortcuts on the user's own keyboard state, inside
tests/support/x11/private_desktop.py with the fixture GTK application in front: a modifier the
user still holds from a dictation hotkey, and a layout without Latin letters.

    x11_keyboard_test.py PATH/TO/OrvixInputHost
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../../support/x11"))
from focused_text import focused_text, text_of  # noqa: E402
from host_session import Host, check, eventually, failures  # noqa: E402

APP_PID = int(os.environ["ORVIX_FIXTURE_APP_PID"])


def commit(host, text):
    host.command("target.capture", sessionId="s")
    return host.command("commit-text", sessionId="s", text=text)


def main(host_path):
    # Found once: a walk of the tree on a loaded machine can come back empty-handed while a paste
    # shortcut moves focus about, and the entry itself stays put.
    entry = eventually(lambda: focused_text(APP_PID), 10.0)
    check(entry is not None, "the fixture's entry is on the accessibility bus with the focus")
    if entry is None:
        return 1
    host = Host(host_path)
    host.command("permission.refresh", prompt=False, responsiblePermission="trusted")

    # Shift still down from the hotkey would turn Control+V into Control+Shift+V.
    subprocess.run(["xdotool", "keydown", "shift"], check=True)
    try:
        result = commit(host, "held")
    finally:
        subprocess.run(["xdotool", "keyup", "shift"], check=True)
    check(result.get("outcome") == "committed" and eventually(lambda: text_of(entry) == "held"),
          f"a held Shift is lifted around the paste shortcut ({result}, {text_of(entry)!r})")

    # A layout with no V key at all: the paste cannot be typed, and the host says so.
    subprocess.run(["setxkbmap", "-layout", "ru"], check=True)
    try:
        result = commit(host, " never")
    finally:
        subprocess.run(["setxkbmap", "-layout", "us"], check=True)
    check(result.get("outcome") == "copy-only" and result.get("reason") == "UNAVAILABLE"
          and text_of(entry) == "held",
          f"without a key for V the text is left on the clipboard, not reported sent ({result})")

    check(host.close() == 0, "the host ends with status 0 on shutdown")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
