#!/usr/bin/python3
"""Finds, through AT-SPI, the text widget that holds the keyboard focus in one application.

    focused_text.py PID     exits 0 once the application of PID is on the accessibility bus
                            with a focused text widget, 1 while it is not

Tests import `focused_text` and `text_of` to read the widget back independently of the host.
"""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

TEXT_ROLES = (Atspi.Role.TEXT, Atspi.Role.ENTRY, Atspi.Role.TERMINAL, Atspi.Role.DOCUMENT_TEXT,
              Atspi.Role.EDITBAR, Atspi.Role.PARAGRAPH)
MAXIMUM_DEPTH = 24
MAXIMUM_NODES = 4000


def application(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def focused_text(pid):
    """The focused text widget of PID's application, or None; the walk is bounded, so a large or
    hung tree gives None rather than a stalled test."""
    app = application(pid)
    if app is None:
        return None
    budget = [MAXIMUM_NODES]

    def walk(node, depth):
        if node is None or depth > MAXIMUM_DEPTH or budget[0] <= 0:
            return None
        budget[0] -= 1
        try:
            Atspi.Accessible.clear_cache(node)
            states = node.get_state_set()
            if (node.get_role() in TEXT_ROLES and states.contains(Atspi.StateType.FOCUSED)
                    and node.get_text_iface() is not None):
                return node
            for i in range(node.get_child_count()):
                found = walk(node.get_child_at_index(i), depth + 1)
                if found is not None:
                    return found
        except GLib.Error:  # the tree changed under the walk
            return None
        return None

    return walk(app, 0)


def text_of(widget):
    """The widget's whole text as it is now, not as AT-SPI's cache last saw it."""
    Atspi.Accessible.clear_cache(widget)
    return widget.get_text(0, -1)


if __name__ == "__main__":
    sys.exit(0 if focused_text(int(sys.argv[1])) is not None else 1)
