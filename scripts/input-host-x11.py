#!/usr/bin/python3
"""OrvixInputHost without --simulate against the fixture GTK application on a private X11
desktop. Run inside tests/support/x11/private_desktop.py (scripts/demo-input-host and
scripts/bench-input-host-x11 do).

    input-host-x11.py demo HOST   one session, each command and answer, the entry read back,
                                  then an agent commit to a stand-in launched by desktop entry
    input-host-x11.py bench HOST  with 30 applications on the accessibility bus, into one whose
                                  window holds 200 labels besides its entry: commit-text
                                  round trips next to xclip + xdotool pasting and xdotool
                                  typing the same text, and the cost of one focus probe
                                  (target.capture)
"""
import json
import os
import select
import signal
import statistics
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/support/x11"))
from agent_fixture import agent_windows, write_entry  # noqa: E402

APP_PID = int(os.environ["ORVIX_FIXTURE_APP_PID"])


def entry(pid=APP_PID):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app and app.get_process_id() == pid:
            pending = [app]
            while pending:
                node = pending.pop(0)
                if node.get_role() in (Atspi.Role.TEXT, Atspi.Role.ENTRY):
                    return node
                pending += [node.get_child_at_index(j) for j in range(node.get_child_count())]
    raise SystemExit("no entry in the fixture application")


def text_of(accessible):
    return accessible.get_text(0, -1)


def shown(field, text, how, seconds=10.0):
    end = time.monotonic() + seconds
    while text_of(field) != text:
        if time.monotonic() > end:
            raise SystemExit(f"{how}: the entry never showed {text!r}: {text_of(field)!r}")
        time.sleep(0.001)


class Host:
    def __init__(self, path, echo):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.buffer = b""
        self.echo = echo

    def lines(self, seconds):
        end = time.monotonic() + seconds
        while True:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                if self.echo:
                    print("    <- " + line.decode(), flush=True)
                yield json.loads(line)
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                return
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return
            self.buffer += chunk

    def ask(self, command, seconds=8.0):
        line = json.dumps(command, ensure_ascii=False)
        if self.echo:
            print("    -> " + line, flush=True)
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()
        for event in self.lines(seconds):
            # An agent commit's progress carries its command id too; its answer comes last.
            if command.get("commandId") is None or (event.get("commandId") == command["commandId"]
                                                    and event.get("event") != "agent.observation"):
                return event
        return None

    def close(self):
        self.process.stdin.close()
        return self.process.wait(timeout=10)


def demo(path):
    field = entry()
    host = Host(path, echo=True)
    next(host.lines(5), None)
    print("\n  the desktop application reports the accessibility permission (AT-SPI is on the session bus)")
    host.ask({"schemaVersion": 2, "command": "permission.refresh", "commandId": "perm",
              "prompt": False, "responsiblePermission": "trusted"}, 1)
    list(host.lines(0.3))
    print("\n  what holds the focus? the GTK entry")
    host.ask({"schemaVersion": 2, "command": "target.capture", "commandId": "cap", "sessionId": "d"})
    print("\n  the text goes in through CLIPBOARD and Control+V, confirmed through AT-SPI")
    host.ask({"schemaVersion": 2, "command": "commit-text", "commandId": "commit", "sessionId": "d",
              "text": "Meeting notes \U0001F30D café"})
    print(f"\n  the entry, read through AT-SPI: {text_of(field)!r}")
    print("\n  an agent: a desktop entry maps Codex's bundle identifier to a GTK stand-in that is not")
    print("  running; commit-agent launches it through the entry, finds its composer and submits")
    entry_path = write_entry("com.openai.codex", "Codex", "Ask Codex anything")
    try:
        host.ask({"schemaVersion": 2, "command": "commit-agent", "commandId": "agent",
                  "sessionId": "d", "target": "codex", "text": "Summarise the meeting"}, 30)
        end = time.monotonic() + 3
        while time.monotonic() < end and not any("(prompt:" in t for _, t in agent_windows()):
            time.sleep(0.05)
        print(f"\n  the agent's window title, read through AT-SPI: {[t for _, t in agent_windows()]!r}")
    finally:
        for pid, _ in agent_windows():
            os.kill(pid, signal.SIGTERM)
        os.remove(entry_path)
    status = host.close()
    print(f"    (host exited with status {status})")


FIXTURE_APP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/support/x11/fixture_app.py")


def crowd(count, labels):
    """`count` more GTK applications on the accessibility bus, each with a tree of `labels` labels;
    the first of them is brought to the front, as the application the text goes into."""
    started = [subprocess.Popen(["/usr/bin/python3", FIXTURE_APP, "--labels", str(labels)],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
               for _ in range(count)]
    for child in started:
        child.stdout.readline()
    end = time.monotonic() + 60
    while time.monotonic() < end and Atspi.get_desktop(0).get_child_count() < count + 1:
        time.sleep(0.1)
    front = started[0].pid
    end = time.monotonic() + 10
    while time.monotonic() < end and active_pid() != front:
        # Looked for again each time: the window may not be mapped yet.
        windows = subprocess.run(["xdotool", "search", "--all", "--pid", str(front), "--onlyvisible",
                                  "--name", "Orvix"], capture_output=True, text=True).stdout.split()
        for window in windows:
            subprocess.run(["xdotool", "windowactivate", window], check=False, capture_output=True)
        time.sleep(0.2)
    if active_pid() != front:
        raise SystemExit("the application could not be brought to the front")
    return started


def active_pid():
    found = subprocess.run(["xdotool", "getactivewindow", "getwindowpid"], capture_output=True, text=True)
    return int(found.stdout) if found.stdout.strip().isdigit() else None


def bench(path):
    extra = crowd(29, 200)
    try:
        measure(path, len(extra) + 1, extra[0].pid)
    finally:
        for child in extra:
            child.terminate()


def measure(path, applications, pid):
    field = entry(pid)
    host = Host(path, echo=False)
    next(host.lines(5), None)
    host.ask({"schemaVersion": 2, "command": "permission.refresh", "commandId": "perm",
              "prompt": False, "responsiblePermission": "trusted"}, 1)
    list(host.lines(0.3))
    text = "The quick brown fox jumps over the lazy dog"
    rounds = 10
    probe, commit, typed, pasted = [], [], [], []
    for n in range(rounds):
        Atspi.EditableText.set_text_contents(field, "")
        start = time.perf_counter()
        answer = host.ask({"schemaVersion": 2, "command": "target.capture", "commandId": f"c{n}",
                           "sessionId": f"s{n}"})
        probe.append(time.perf_counter() - start)
        start = time.perf_counter()
        answer = host.ask({"schemaVersion": 2, "command": "commit-text", "commandId": f"t{n}",
                           "sessionId": f"s{n}", "text": text})
        commit.append(time.perf_counter() - start)
        assert answer and answer.get("outcome") == "committed", answer
        Atspi.EditableText.set_text_contents(field, "")
        start = time.perf_counter()
        subprocess.run(["xdotool", "type", "--delay", "0", text], check=True)
        shown(field, text, "xdotool type")
        typed.append(time.perf_counter() - start)
        Atspi.EditableText.set_text_contents(field, "")
        start = time.perf_counter()
        subprocess.run(["xclip", "-selection", "clipboard"], input=text.encode(), check=True)
        subprocess.run(["xdotool", "key", "ctrl+v"], check=True)
        shown(field, text, "xclip + xdotool key ctrl+v")
        pasted.append(time.perf_counter() - start)
    host.close()
    ms = lambda values: f"median {statistics.median(values) * 1000:7.1f} ms, max {max(values) * 1000:7.1f} ms"
    print(f"{len(text)} characters into a GTK entry beside 200 labels, {applications} applications "
          f"on the accessibility bus, {rounds} rounds")
    print(f"  commit-text to its answer (paste + AT-SPI check)  {ms(commit)}")
    print(f"  xclip + xdotool key ctrl+v, until AT-SPI shows it {ms(pasted)}")
    print(f"  xdotool type, until AT-SPI shows the text          {ms(typed)}")
    print(f"  one focus probe (target.capture through AT-SPI)    {ms(probe)}")


if __name__ == "__main__":
    {"demo": demo, "bench": bench}[sys.argv[1]](sys.argv[2])
