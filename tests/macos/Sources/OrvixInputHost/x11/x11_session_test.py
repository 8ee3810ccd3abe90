#!/usr/bin/python3
"""OrvixInputHost without --simulate on a real X11 desktop, run inside
tests/support/x11/private_desktop.py: the fixture GTK application is in front with its entry
focused. The host's answers are checked against what the application shows through AT-SPI.

    x11_session_test.py PATH/TO/OrvixInputHost
"""
import json
import os
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Atspi, Gdk, Gtk  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_session import Host, check, eventually, failures, xdotool  # noqa: E402

APP_PID = int(os.environ["ORVIX_FIXTURE_APP_PID"])


def application():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app and app.get_process_id() == APP_PID:
            return app
    raise SystemExit("the fixture application left the accessibility bus")


def find(role, node=None):
    node = node or application()
    if node.get_role() == role:
        return node
    for i in range(node.get_child_count()):
        found = find(role, node.get_child_at_index(i))
        if found:
            return found
    return None


def text_of(accessible):
    Atspi.Accessible.clear_cache(accessible)
    return accessible.get_text(0, -1)


def main(host_path):
    entry = find(Atspi.Role.TEXT) or find(Atspi.Role.ENTRY)
    password = find(Atspi.Role.PASSWORD_TEXT)
    frame = find(Atspi.Role.FRAME)
    host = Host(host_path)
    check(host.next_event(lambda e: e.get("event") == "host.ready") is not None, "host.ready at start")

    host.send(schemaVersion=2, command="permission.refresh", commandId="p", prompt=False,
              responsiblePermission="trusted")
    ready = host.next_event(lambda e: e.get("event") == "host.ready") or {}
    check(ready.get("permission") == "trusted", "AT-SPI on the session bus counts as trusted")

    host.send(schemaVersion=2, command="target.capture", commandId="c1", sessionId="s1")
    check(host.result("c1").get("outcome") == "editable", "the focused entry is captured as editable")

    text = "Grüße \U0001F30D cafe\u0301 \U0001F469\u200D\U0001F4BB"
    host.send(schemaVersion=2, command="commit-text", commandId="t1", sessionId="s1", text=text)
    check(host.result("t1").get("outcome") == "committed", "commit-text is confirmed as committed")
    check(text_of(entry) == text, "the entry holds the text exactly once")

    host.send(schemaVersion=2, command="target.capture", commandId="c2", sessionId="s2")
    host.result("c2")
    for n, piece in enumerate([" one", " two"]):
        host.send(schemaVersion=2, command="commit-text", commandId=f"d{n}", sessionId="s2",
                  text=piece, streaming=True)
        check(host.result(f"d{n}").get("outcome") == "committed", f"streamed piece {n} committed")
    check(text_of(entry) == text + " one two", "the streamed pieces follow the text")
    host.send(schemaVersion=2, command="target.release", commandId="r2", sessionId="s2")
    host.result("r2")
    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
    check(eventually(lambda: clipboard.wait_for_text() == " one two", 3),
          "the release leaves the whole dictation on the clipboard")

    host.send(schemaVersion=2, command="press-enter", commandId="e1", sessionId="s1")
    check(host.result("e1").get("outcome") == "committed", "press-enter answers committed")
    check(eventually(lambda: "(sent)" in frame.get_name()), "Return activated the default button")

    before = xdotool("getmouselocation", "--shell")
    host.send(schemaVersion=1, command="pointer.move", deltaX=40, deltaY=-15)
    x0, y0 = (int(line.split("=")[1]) for line in before.splitlines()[:2])
    moved = lambda: xdotool("getmouselocation", "--shell").splitlines()[:2] == [f"X={x0 + 40}", f"Y={max(y0 - 15, 0)}"]
    check(eventually(moved), "pointer.move moves the pointer by its deltas")

    Atspi.Component.grab_focus(password)
    eventually(lambda: password.get_state_set().contains(Atspi.StateType.FOCUSED))
    host.send(schemaVersion=2, command="target.capture", commandId="c3", sessionId="s3")
    check(host.result("c3").get("outcome") == "protected", "the password entry is protected")

    Atspi.Component.grab_focus(entry)
    eventually(lambda: entry.get_state_set().contains(Atspi.StateType.FOCUSED))
    Atspi.EditableText.set_text_contents(entry, "Orvix")
    host.send(schemaVersion=2, command="vocabulary.quick-add.configure", commandId="q", enabled=True)
    host.result("q")
    # The host starts its tap on a thread of its own and says nothing when done: Control+A is
    # pressed until the tap announces the selection it makes, however long a loaded machine takes.
    hint = None
    for _ in range(10):
        xdotool("key", "ctrl+a")
        hint = host.next_event(lambda e: e.get("event") == "vocabulary.quick-add.selection-hint", 1)
        if hint:
            break
    check(hint is not None, "Control+A gives a selection hint")
    xdotool("key", "--delay", "120", "ctrl+c", "ctrl+c")
    candidate = host.next_event(lambda e: e.get("event") == "vocabulary.quick-add.candidate", 5)
    check(candidate is not None and "Orvix" in json.dumps(candidate, ensure_ascii=False),
          "two Control+C presses within 600 ms offer the selection")

    # The selection target Control+A announced: a copy command copies from it.
    if hint:
        result = host.copy_selection(hint["copyTargetId"])
        check(result.get("outcome") == "selected" and result.get("text") == "Orvix",
              "the copy command copies the selection from the real application")

    # A double click on the word announces a selection target as well.
    time.sleep(0.8)  # past the spacing of hints
    extents = Atspi.Component.get_extents(entry, Atspi.CoordType.SCREEN)
    xdotool("mousemove", str(extents.x + 12), str(extents.y + extents.height // 2),
            "click", "--repeat", "2", "--delay", "80", "1")
    hint = host.next_event(lambda e: e.get("event") == "vocabulary.quick-add.selection-hint", 5)
    check(hint is not None, "a double click gives a selection hint")

    check(host.close() == 0, "the host ends with status 0 on shutdown")

    # Without a session bus there is no accessibility: quick-add's diagnostic says why.
    alone = {k: v for k, v in os.environ.items() if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")}
    host = Host(host_path, alone)
    host.send(schemaVersion=2, command="permission.refresh", commandId="p", prompt=False,
              responsiblePermission="trusted")
    host.send(schemaVersion=2, command="vocabulary.quick-add.configure", commandId="q", enabled=True)
    diagnostic = (host.next_event(lambda e: e.get("event") == "vocabulary.quick-add.diagnostic") or {}).get("diagnostic", {})
    check(diagnostic.get("nativeTrusted") is False and "session bus" in diagnostic.get("nativeUntrustedReason", ""),
          "without a session bus the diagnostic gives the reason accessibility is denied")
    check(host.close() == 0, "that host too ends with status 0")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
