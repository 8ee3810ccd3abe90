"""What the input host's X11 process tests share: the host as a child process spoken to in JSON
lines, conditions waited on with deadlines, xdotool, and the list of failed checks."""
import json
import os
import select
import subprocess
import time

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def eventually(predicate, seconds=5.0):
    """The predicate's first true answer within `seconds`, or its last."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        answer = predicate()
        if answer:
            return answer
        time.sleep(0.05)
    return predicate()


def xdotool(*args):
    return subprocess.run(["xdotool", *args], check=True, capture_output=True, text=True).stdout


class Host:
    def __init__(self, path, env=None):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env)
        self.buffer = b""
        self.sequence = 0

    def send(self, **command):
        self.process.stdin.write(json.dumps(command).encode() + b"\n")
        self.process.stdin.flush()

    def next_event(self, matches, seconds=8.0):
        end = time.monotonic() + seconds
        while True:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                event = json.loads(line)
                if matches(event):
                    return event
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk

    def result(self, command_id, seconds=8.0):
        return self.next_event(lambda e: e.get("commandId") == command_id, seconds) or {}

    def command(self, name, **keys):
        """Sends a channel-2 command under a fresh command id; answers its result ({} if none)."""
        self.sequence += 1
        command_id = f"{name}-{self.sequence}"
        self.send(schemaVersion=2, command=name, commandId=command_id, **keys)
        return self.result(command_id)

    def copy_selection(self, copy_target_id):
        """Asks the host to copy from a selection hint's target; answers the selection result."""
        self.send(schemaVersion=2, command="vocabulary.quick-add.copy", commandId="copy",
                  copyTargetId=copy_target_id)
        return self.next_event(
            lambda e: e.get("event") == "vocabulary.quick-add.selection-result", 5) or {}

    def close(self):
        self.send(schemaVersion=2, command="shutdown", commandId="bye")
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()
