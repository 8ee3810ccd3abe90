#!/usr/bin/python3
"""OrvixInputHost whose X server goes away under it: the host ends as it does at the end of its
input (every line it wrote complete, status 0) instead of being ended by Xlib mid-command.

    x11_display_lost_test.py PATH/TO/OrvixInputHost
"""
import json
import os
import subprocess
import sys


def main(host_path):
    reader, writer = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp"],
                              pass_fds=(writer,), stderr=subprocess.DEVNULL)
    os.close(writer)
    with os.fdopen(reader) as announced:
        display = announced.readline().strip()
    # No session bus: the host runs on X alone, so nothing else notices the server's end.
    env = {k: v for k, v in os.environ.items()
           if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")}
    env["DISPLAY"] = ":" + display
    host = subprocess.Popen([host_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    host.stdin.write(b'{"schemaVersion":2,"command":"target.capture","commandId":"c","sessionId":"s"}\n')
    host.stdin.flush()
    first = [json.loads(host.stdout.readline()) for _ in range(2)]
    server.terminate()
    server.wait()
    try:
        status = host.wait(timeout=10)
    except subprocess.TimeoutExpired:
        host.kill()
        print("FAIL the host did not end after its X server went away")
        return 1
    rest = host.stdout.read().decode()
    failures = []
    if [event.get("event") for event in first] != ["host.ready", "target.capture.result"]:
        failures.append(f"the host answered before the loss: {first}")
    if status != 0:
        failures.append(f"exit status {status} (stderr: {host.stderr.read().decode().strip()!r})")
    if rest and not rest.endswith("\n"):
        failures.append(f"a line was cut short: {rest!r}")
    host.stdin.close()
    for failure in failures:
        print("FAIL " + failure)
    if not failures:
        print("ok   the host ends in order, status 0, when its X server goes away")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
