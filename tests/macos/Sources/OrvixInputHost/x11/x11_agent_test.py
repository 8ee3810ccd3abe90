#!/usr/bin/python3
"""OrvixInputHost's "commit-agent" on a real X11 desktop, run inside
tests/support/x11/private_desktop.py: a desktop entry maps the Codex agent's bundle identifier to
the fixture GTK application in its agent mode, which is not running. The host must launch it
through that entry, find its composer by the placeholder, paste and submit; a second command
must reuse the running agent. The application's window title shows what it took.

    x11_agent_test.py PATH/TO/OrvixInputHost PATH/TO/fixture_app.py
"""
import os
import shlex
import signal
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from x11_session_test import Host, check, eventually, failures  # noqa: E402

BUNDLE_IDENTIFIER = "com.openai.codex"
PLACEHOLDER = "Ask Codex anything"


def write_entry(fixture):
    folder = os.path.join(os.environ["XDG_DATA_HOME"], "applications")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, BUNDLE_IDENTIFIER + ".desktop")
    command = shlex.join(["/usr/bin/python3", fixture, "--application-id", BUNDLE_IDENTIFIER,
                          "--composer", PLACEHOLDER])
    with open(path, "w", encoding="utf-8") as entry:
        entry.write(f"[Desktop Entry]\nType=Application\nName=Codex\nExec={command}\n")
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


def commit_agent(host, command_id, text):
    host.send(schemaVersion=2, command="commit-agent", commandId=command_id, sessionId="s1",
              target="codex", text=text)
    stages = []
    result = host.next_event(
        lambda e: (stages.append(e.get("stage")) if e.get("event") == "agent.observation"
                   else None) or e.get("event") == "command.result", 30) or {}
    if result.get("outcome") != "committed":
        print(f"     {command_id}: {result}; stages {stages}", flush=True)
    return result.get("outcome")


def main(host_path, fixture):
    entry = write_entry(fixture)
    host = Host(host_path)
    try:
        check(host.next_event(lambda e: e.get("event") == "host.ready") is not None, "host.ready at start")
        host.send(schemaVersion=2, command="permission.refresh", commandId="p", prompt=False,
                  responsiblePermission="trusted")
        host.next_event(lambda e: e.get("event") == "host.ready")
        check(agent_windows() == [], "no agent runs before the command")

        check(commit_agent(host, "a1", "Fix the build") == "committed",
              "commit-agent launches the agent through its desktop entry and submits the text")
        check(eventually(lambda: [title for _, title in agent_windows()] ==
                         ["Orvix agent (prompt: Fix the build)"]),
              "the agent took the prompt from its composer")

        check(commit_agent(host, "a2", "Then run the tests") == "committed",
              "a second commit-agent submits to the running agent")
        check(eventually(lambda: [title for _, title in agent_windows()] ==
                         ["Orvix agent (prompt: Fix the build) (prompt: Then run the tests)"]),
              "the same agent took the second prompt; no second one was launched")
        check(host.close() == 0, "the host ends with status 0 on shutdown")
    finally:
        if host.process.poll() is None:
            host.process.kill()
            host.process.wait()
        for pid, _ in agent_windows():
            os.kill(pid, signal.SIGTERM)
        os.remove(entry)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
