#!/usr/bin/python3
"""A small GTK 3 application for the desktop binding's tests: a text entry (focused at start),
a multi-line text view, a password entry and a button that is the window's default. It prints
"ready" once its window is shown; each activation of the button adds " (sent)" to the window's
title, where accessibility clients see it.

    fixture_app.py [--application-id ID] [--composer PLACEHOLDER] [--second-window]
                   [--labels N]

ID becomes the program name, and so the instance and class of the window's WM_CLASS, as it does
for a GApplication program. With --composer the window is an agent's instead: one prompt entry
with that placeholder, focused at start; Return adds " (prompt: TEXT)" to the title and empties
the entry, as an agent does when it takes a prompt. With --second-window a second window, titled
"Orvix fixture (second)", is shown over the first. With --labels N the window also holds N
labels, for a larger accessibility tree."""
import argparse
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--application-id")
    parser.add_argument("--composer")
    parser.add_argument("--second-window", action="store_true")
    parser.add_argument("--labels", type=int, default=0)
    arguments = parser.parse_args()
    if arguments.application_id:
        GLib.set_prgname(arguments.application_id)
    if arguments.composer:
        return agent(arguments.composer)

    window = Gtk.Window(title="Orvix fixture")
    window.set_default_size(480, 320)
    window.connect("destroy", Gtk.main_quit)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
    window.add(box)

    entry = Gtk.Entry()
    entry.set_name("entry")
    entry.set_activates_default(True)
    box.pack_start(entry, False, False, 0)

    view = Gtk.TextView()
    view.set_name("text-view")
    view.set_size_request(-1, 120)
    box.pack_start(view, True, True, 0)

    password = Gtk.Entry()
    password.set_name("password")
    password.set_visibility(False)
    box.pack_start(password, False, False, 0)

    button = Gtk.Button(label="Send")
    button.set_can_default(True)
    button.connect("clicked", lambda _b: window.set_title(window.get_title() + " (sent)"))
    box.pack_start(button, False, False, 0)
    window.set_default(button)
    for n in range(arguments.labels):
        box.pack_start(Gtk.Label(label=f"Label {n}"), False, False, 0)

    window.show_all()
    entry.grab_focus()
    if arguments.second_window:
        second = Gtk.Window(title="Orvix fixture (second)")
        second.set_default_size(320, 120)
        second.add(Gtk.Entry())
        second.show_all()
    GLib.idle_add(lambda: print("ready", flush=True) and False)
    Gtk.main()


def agent(placeholder):
    window = Gtk.Window(title="Orvix agent")
    window.set_default_size(480, 120)
    window.connect("destroy", Gtk.main_quit)
    composer = Gtk.Entry()
    composer.set_name("composer")
    composer.set_placeholder_text(placeholder)

    def take_prompt(_entry):
        window.set_title(f"{window.get_title()} (prompt: {composer.get_text()})")
        composer.set_text("")

    composer.connect("activate", take_prompt)
    window.add(composer)
    window.show_all()
    composer.grab_focus()
    GLib.idle_add(lambda: print("ready", flush=True) and False)
    Gtk.main()


if __name__ == "__main__":
    sys.exit(main())
