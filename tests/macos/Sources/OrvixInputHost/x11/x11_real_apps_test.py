#!/usr/bin/python3
"""OrvixInputHost without --simulate against a third-party application from a Debian package,
run inside tests/support/x11/private_desktop.py --app NAME, which leaves the application in front
with its text widget focused.

An editor (mousepad, GTK 3; featherpad, Qt 5) is read back through AT-SPI and through the file it
saves; Chromium's <textarea> through AT-SPI. In the terminal (sakura) the foreground program is tests/support/x11/terminal_probe.py,
whose raw-mode log shows every byte the terminal handed it: delivered text must arrive exactly,
and neither Control+C (0x03) nor Control+V (0x16) may ever reach it.

    x11_real_apps_test.py PATH/TO/OrvixInputHost
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../../support/x11"))
from focused_text import Atspi, focused_text, text_of  # noqa: E402
from host_session import Host, check, eventually, failures, xdotool  # noqa: E402

APP_PID = int(os.environ["ORVIX_APP_PID"])
# A letter outside the Basic Multilingual Plane (two UTF-16 units) and a combining accent (one
# character of two code points): offsets counted in the wrong unit show up as a wrong document.
TEXT = "Grüße \U0001F30D cafe\u0301"
# The word after the emoji: its offsets differ between UTF-16 units (Qt) and characters (GTK).
WORD = "cafe\u0301"


def selected(widget):
    if Atspi.Text.get_n_selections(widget) == 0:
        return None
    span = Atspi.Text.get_selection(widget, 0)
    return widget.get_text(span.start_offset, span.end_offset)


def point_of(widget, offset):
    box = Atspi.Text.get_character_extents(widget, offset, Atspi.CoordType.SCREEN)
    return str(box.x + box.width // 2), str(box.y + box.height // 2)


def double_click_until_hint(host, at):
    """The host starts its tap on a thread of its own and says nothing when done: the double
    click is repeated until the tap announces it, however long a loaded machine takes."""
    for _ in range(10):
        xdotool("mousemove", *at, "click", "--repeat", "2", "--delay", "80", "1")
        hint = host.next_event(lambda e: e.get("event") == "vocabulary.quick-add.selection-hint", 1.5)
        if hint:
            return hint
    return None


def editor(host):
    widget = focused_text(APP_PID)
    capture = host.command("target.capture", sessionId="s1")
    check(capture.get("outcome") == "editable", f"the document is captured as editable: {capture}")

    browser = "ORVIX_APP_BROWSER" in os.environ
    result = host.command("commit-text", sessionId="s1", text=TEXT)
    check(eventually(lambda: text_of(widget) == TEXT),
          f"the document holds the text exactly once: {text_of(widget)!r}")
    # Chromium's tree follows its renderer through two processes: on a loaded machine it may
    # show the paste only after the host's 0.1 s look, which must then say it is unconfirmed.
    check(result.get("outcome") == "committed" or
          (browser and result.get("outcome") == "unknown" and result.get("pasteDispatched") is True),
          f"commit-text is confirmed as committed: {result}")

    result = host.command("press-enter", sessionId="s1")
    check(result.get("outcome") == "committed", f"press-enter answers committed: {result}")
    check(eventually(lambda: text_of(widget) == TEXT + "\n"),
          f"Return put a newline after the text: {text_of(widget)!r}")

    host.send(schemaVersion=2, command="vocabulary.quick-add.configure", commandId="q", enabled=True)
    # One past the word's start is inside it in either numbering.
    hint = double_click_until_hint(host, point_of(widget, TEXT.index(WORD) + 1))
    check(hint is not None, "a double click on a word gives a selection hint")
    xdotool("key", "--delay", "120", "ctrl+c", "ctrl+c")
    candidate = host.next_event(lambda e: e.get("event") == "vocabulary.quick-add.candidate", 5) or {}
    check(candidate.get("text") == WORD, f"two Control+C within 600 ms offer the selected word: "
          f"{candidate}; the editor's selection {selected(widget)!r}")
    # Chromium reports a selection after an emoji one character early (' cafe' for 'café')
    # while its caret and text are right: what it says of the selection cannot confirm a copy or
    # a paste over it, and the host must not claim either.
    if hint:
        copied = host.copy_selection(hint["copyTargetId"])
        check((copied.get("outcome") == "selected" and copied.get("text") == WORD) or
              (browser and copied.get("outcome") == "unavailable" and "text" not in copied),
              f"the copy command copies the selected word: {copied}")

    # Pasting the selected word over itself changes nothing: only the caret, one past the word in
    # UTF-16 units, can confirm it.
    result = host.command("commit-text", sessionId="s2", text=WORD)
    check(result.get("outcome") == "committed" or (browser and result.get("outcome") == "unknown"),
          f"the same word pasted over its selection is confirmed by the caret: {result}")
    check(eventually(lambda: text_of(widget) == TEXT + "\n"),
          f"the word replaced its own selection: {text_of(widget)!r}")
    if browser:
        return

    document = os.environ["ORVIX_APP_DOCUMENT"]
    before = os.stat(document).st_mtime_ns
    xdotool("key", "ctrl+s")
    check(eventually(lambda: os.stat(document).st_mtime_ns != before), "the editor saved its document")
    with open(document, encoding="utf-8") as saved:
        content = saved.read()
    check(content == TEXT + "\n", f"the saved document is the text and one newline: {content!r}")


class Probe:
    """The bytes the terminal's foreground program read, from its log."""

    SENTINEL = b"."

    def __init__(self, log):
        self.log = log
        self.seen = 0

    def received(self):
        with open(self.log, encoding="ascii") as lines:
            return b"".join(bytes.fromhex(line.split()[1]) for line in lines if " " in line)

    def settle(self):
        """What arrived since the last call. A key typed now reaches the program after every
        event the server took before it, so its arrival closes the interval without a guess."""
        xdotool("key", "period")
        eventually(lambda: self.received()[self.seen:].endswith(self.SENTINEL))
        stream = self.received()
        new = stream[self.seen:]
        self.seen = len(stream)
        return new[:-1] if new.endswith(self.SENTINEL) else new + b"<no sentinel>"


def terminal(host):
    widget = focused_text(APP_PID)
    probe = Probe(os.environ["ORVIX_TERMINAL_LOG"])
    capture = host.command("target.capture", sessionId="s1")
    check(capture.get("outcome") in ("editable", "context-only"),
          f"the terminal is captured as a place that takes text: {capture}")

    result = host.command("commit-text", sessionId="s1", text=TEXT)
    eventually(lambda: TEXT.encode() in probe.received()[probe.seen:])
    got = probe.settle()
    check(got == TEXT.encode(), f"the program read the text exactly, nothing else: {got!r}")
    # The probe echoes nothing: no change on screen can confirm the paste.
    check(result.get("outcome") == "unknown" and result.get("pasteDispatched") is True,
          f"commit-text says the paste was sent, not that it was confirmed: {result}")

    result = host.command("press-enter", sessionId="s1")
    check(result.get("outcome") == "committed", f"press-enter answers committed: {result}")
    got = probe.settle()
    check(got == b"\r", f"Return reached the program as one carriage return: {got!r}")

    host.send(schemaVersion=2, command="vocabulary.quick-add.configure", commandId="q", enabled=True)
    shown = text_of(widget)
    hint = double_click_until_hint(host, point_of(widget, shown.index("Vocabulary") + 2))
    check(hint is not None, "a double click on the terminal's text gives a selection hint")
    if hint:
        copied = host.copy_selection(hint["copyTargetId"])
        # A terminal copies with its own shortcut, or has the word as PRIMARY already.
        check(copied.get("outcome") == "selected" and copied.get("text") == "Vocabulary",
              f"the copy command copies the word selected in the terminal: {copied}")
    got = probe.settle()
    check(got == b"", f"selecting and copying sent the program nothing: {got!r}")
    stream = probe.received()
    check(b"\x03" not in stream and b"\x16" not in stream,
          f"no Control+C and no Control+V ever reached the program: {stream!r}")


def main(host_path):
    host = Host(host_path)
    try:
        check(host.next_event(lambda e: e.get("event") == "host.ready") is not None, "host.ready at start")
        host.send(schemaVersion=2, command="permission.refresh", commandId="p", prompt=False,
                  responsiblePermission="trusted")
        ready = host.next_event(lambda e: e.get("event") == "host.ready") or {}
        check(ready.get("permission") == "trusted", "the host is trusted on the private desktop")
        (terminal if "ORVIX_TERMINAL_LOG" in os.environ else editor)(host)
        check(host.close() == 0, "the host ends with status 0 on shutdown")
    finally:
        if host.process.poll() is None:
            host.process.kill()
            host.process.wait()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
