"""The fixture GTK application as an agent: a desktop entry that maps an agent's bundle
identifier to it in its agent mode, and the agent windows AT-SPI shows. Used inside
private_desktop.py, whose XDG_DATA_HOME is private."""
import os
import shlex

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixture_app.py")


def write_entry(bundle_identifier, name, placeholder):
    """Writes <bundle_identifier>.desktop, launching the fixture with a composer showing
    `placeholder`; answers the entry's path."""
    folder = os.path.join(os.environ["XDG_DATA_HOME"], "applications")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, bundle_identifier + ".desktop")
    command = shlex.join(["/usr/bin/python3", FIXTURE, "--application-id", bundle_identifier,
                          "--composer", placeholder])
    with open(path, "w", encoding="utf-8") as entry:
        entry.write(f"[Desktop Entry]\nType=Application\nName={name}\nExec={command}\n")
    return path


def agent_windows():
    """(pid, title) of every window of the agent fixture on the accessibility bus."""
    found = []
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None:
            continue
        for j in range(app.get_child_count()):
            frame = app.get_child_at_index(j)
            Atspi.Accessible.clear_cache(frame)
            if frame and frame.get_name().startswith("Orvix agent"):
                found.append((app.get_process_id(), frame.get_name()))
    return found
