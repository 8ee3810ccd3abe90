#!/usr/bin/python3
"""OrvixInputHost's "commit-agent" on a real X11 desktop, run inside
tests/support/x11/private_desktop.py: a desktop entry maps the Codex agent's bundle identifier to
the fixture GTK application in its agent mode, which is not running. The host must launch it
through that entry, find its composer by the placeholder, paste and submit; a second command
must reuse the running agent. The application's window title shows what it took.

    x11_agent_test.py PATH/TO/OrvixInputHost
"""
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../../support/x11"))
from agent_fixture import agent_windows, write_entry  # noqa: E402
from host_session import Host, check, eventually, failures  # noqa: E402

BUNDLE_IDENTIFIER = "com.openai.codex"
PLACEHOLDER = "Ask Codex anything"


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


def main(host_path):
    entry = write_entry(BUNDLE_IDENTIFIER, "Codex", PLACEHOLDER)
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
    sys.exit(main(sys.argv[1]))
