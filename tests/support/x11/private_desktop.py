#!/usr/bin/python3
"""Runs one command inside a private X11 desktop with accessibility, and takes it down again.

    private_desktop.py [--no-app | --app NAME [--sandboxed]] -- COMMAND ARG...

Starts Xvfb on a free display of its choosing, openbox (for _NET_ACTIVE_WINDOW and input
focus), a session bus, the AT-SPI bus and the fixture GTK application, all in a private
temporary directory, then runs COMMAND with DISPLAY, DBUS_SESSION_BUS_ADDRESS and
ORVIX_FIXTURE_APP_PID set, and HOME and the XDG user directories (data, config, cache) inside
that directory. With --app the third-party application NAME of real_apps.py (mousepad,
featherpad, sakura) runs instead of the fixture, configured in that directory; COMMAND starts
once it shows a focused text widget on AT-SPI, with ORVIX_APP_PID and what real_apps.py
exports set; with --sandboxed it runs as Flatpak runs an application: in a process namespace
of its own (the process id it gives its windows means nothing outside) and on the accessibility
bus through xdg-dbus-proxy with Flatpak's filter (the bus names the proxy's process), and
ORVIX_APP_PID is then the proxy's. Everything it started is stopped by process id afterwards, including
the registry daemon that D-Bus activation started. Nothing reaches the machine's own session.
Exits with COMMAND's status, or 1 with a message on standard error when the desktop cannot start.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import real_apps

HERE = os.path.dirname(os.path.abspath(__file__))
START_DEADLINE = 20.0


class StartFailure(Exception):
    pass


def wait_until(what, check, deadline=START_DEADLINE):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    raise StartFailure(f"{what} did not come up within {deadline:.0f} s")


def quiet(args, env):
    return subprocess.run(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=5).returncode == 0


class PrivateDesktop:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="orvix-x11-")
        os.chmod(self.root, 0o700)
        self.children = []
        self.env = dict(os.environ)
        for key in ("WAYLAND_DISPLAY", "AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE", "GTK_MODULES"):
            self.env.pop(key, None)
        for key, place in (("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                           ("XDG_CACHE_HOME", "cache")):
            self.env[key] = os.path.join(self.root, place)
            os.mkdir(self.env[key])
        self.env.update(HOME=self.root, XDG_RUNTIME_DIR=self.root,
                        DBUS_SESSION_BUS_ADDRESS=f"unix:path={self.root}/bus",
                        GDK_BACKEND="x11", GTK_A11Y="atspi")
        self.app = None

    def spawn(self, name, args, **kwargs):
        log = open(os.path.join(self.root, name + ".log"), "wb")
        child = subprocess.Popen(args, env=kwargs.pop("env", self.env), stdin=subprocess.DEVNULL,
                                 stdout=kwargs.pop("stdout", log), stderr=log, **kwargs)
        self.children.append(child)
        return child

    def start_display(self):
        # Xvfb picks the display itself, under its lock files, so concurrent runs never collide.
        reader, writer = os.pipe()
        try:
            server = self.spawn("xvfb", ["Xvfb", "-displayfd", str(writer), "-screen", "0",
                                         "1024x768x24", "-nolisten", "tcp"], pass_fds=(writer,))
        finally:
            os.close(writer)
        with os.fdopen(reader, "rb") as announced:
            number = announced.readline().strip()
        if not number.isdigit():
            self.stop(server)
            raise StartFailure("Xvfb did not start (see xvfb.log)")
        self.env["DISPLAY"] = f":{number.decode()}"
        wait_until("the X server", lambda: quiet(["xdpyinfo"], self.env))

    def start(self, app, sandboxed=False):
        tools = ("Xvfb", "openbox", "dbus-daemon", "xdpyinfo", "gdbus")
        for tool in tools + (("xdg-dbus-proxy", "unshare") if sandboxed else ()):
            if shutil.which(tool) is None:
                raise StartFailure(f"{tool} is not installed (run scripts/install-deps)")
        self.start_display()
        self.spawn("openbox", ["openbox", "--sm-disable"])
        self.spawn("dbus", ["dbus-daemon", "--session", "--nofork",
                            "--address=" + self.env["DBUS_SESSION_BUS_ADDRESS"]])
        wait_until("the session bus", lambda: os.path.exists(f"{self.root}/bus"))
        self.spawn("atspi", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        wait_until("the AT-SPI bus", lambda: quiet(
            ["gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus",
             "-m", "org.a11y.Bus.GetAddress"], self.env))
        if app == "fixture":
            self.app = self.spawn("app", ["/usr/bin/python3", os.path.join(HERE, "fixture_app.py")],
                                  stdout=subprocess.PIPE)
            line = self.app.stdout.readline()
            if line.strip() != b"ready":
                raise StartFailure("the fixture GTK application did not start (see app.log)")
            self.env["ORVIX_FIXTURE_APP_PID"] = str(self.app.pid)
            wait_until("the fixture application on AT-SPI", self.app_on_accessibility_bus)
        elif app is not None:
            self.start_real_app(app, sandboxed)

    def sandbox(self, argv, env):
        """ARGV as Flatpak starts an application: a process namespace of its own, and the
        accessibility bus only through a filtering proxy, whose process the bus then names."""
        found = subprocess.run(["gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus",
                                "-m", "org.a11y.Bus.GetAddress"], env=self.env, capture_output=True,
                               text=True).stdout
        address = found.strip().strip("(),'")
        socket = os.path.join(self.root, "a11y-proxy")
        registry = "org.a11y.atspi.Registry"
        controller = "/org/a11y/atspi/registry/deviceeventcontroller"
        rules = [f"--call={registry}=org.a11y.atspi.Socket.Embed@/org/a11y/atspi/accessible/root",
                 f"--call={registry}=org.a11y.atspi.Socket.Unembed@/org/a11y/atspi/accessible/root",
                 f"--call={registry}=org.a11y.atspi.Registry.GetRegisteredEvents@/org/a11y/atspi/registry",
                 f"--call={registry}=org.a11y.atspi.DeviceEventController.GetKeystrokeListeners@{controller}",
                 f"--call={registry}=org.a11y.atspi.DeviceEventController.GetDeviceEventListeners@{controller}",
                 f"--call={registry}=org.a11y.atspi.DeviceEventController.NotifyListenersSync@{controller}",
                 f"--call={registry}=org.a11y.atspi.DeviceEventController.NotifyListenersAsync@{controller}"]
        proxy = self.spawn("a11y-proxy", ["xdg-dbus-proxy", address, socket, "--filter", "--sloppy-names",
                                          *rules])
        wait_until("xdg-dbus-proxy", lambda: os.path.exists(socket))
        env["AT_SPI_BUS_ADDRESS"] = f"unix:path={socket}"
        return ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", *argv], proxy

    def start_real_app(self, name, sandboxed=False):
        # What a screen reader does when it starts; Qt exposes nothing on AT-SPI without it.
        if not quiet(["gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o", "/org/a11y/bus",
                      "-m", "org.freedesktop.DBus.Properties.Set", "org.a11y.Status", "IsEnabled",
                      "<true>"], self.env):
            raise StartFailure("the AT-SPI bus refused IsEnabled")
        argv, own, exported = real_apps.prepare(name, self.root, self.env["XDG_CONFIG_HOME"])
        if shutil.which(argv[0]) is None:
            raise StartFailure(f"{argv[0]} is not installed (run scripts/install-deps)")
        self.env.update(exported)
        env = {**self.env, **own}
        proxy = None
        if sandboxed:
            argv, proxy = self.sandbox(argv, env)
        self.app = self.spawn("app", argv, env=env)
        # The process the accessibility bus names for the application.
        self.env["ORVIX_APP_PID"] = str((proxy or self.app).pid)
        focused = ["/usr/bin/python3", os.path.join(HERE, "focused_text.py"), self.env["ORVIX_APP_PID"]]
        wait_until(f"{name} with a focused text widget on AT-SPI",
                   lambda: self.app.poll() is None and quiet(focused, self.env))
        if "ORVIX_TERMINAL_LOG" in self.env:
            wait_until("the program inside the terminal", lambda: self.terminal_ready(
                self.env["ORVIX_TERMINAL_LOG"]))

    @staticmethod
    def terminal_ready(log):
        try:
            with open(log, encoding="utf-8") as lines:
                return lines.readline() == "ready\n"
        except FileNotFoundError:
            return False

    def app_on_accessibility_bus(self):
        probe = ("import gi,sys\ngi.require_version('Atspi','2.0')\nfrom gi.repository import Atspi\n"
                 "d=Atspi.get_desktop(0)\n"
                 "sys.exit(0 if any(d.get_child_at_index(i).get_process_id()==" + str(self.app.pid) +
                 " for i in range(d.get_child_count())) else 1)\n")
        return quiet(["/usr/bin/python3", "-c", probe], self.env)

    def registry_daemons(self):
        # at-spi2-registryd is started by D-Bus activation, not as a child of ours: it is the one
        # whose environment names our private bus directory.
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if self.root.encode() in environ.read():
                        found.append(int(entry))
            except OSError:
                continue
        return found

    @staticmethod
    def stop(child):
        if child.poll() is None:
            child.terminate()
            try:
                child.wait(timeout=3)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()

    def close(self):
        ours = {child.pid for child in self.children} | {os.getpid()}
        for child in reversed(self.children):
            if child.args[0] == "dbus-daemon":
                for pid in self.registry_daemons():
                    if pid not in ours:
                        try:
                            os.kill(pid, signal.SIGTERM)
                        except ProcessLookupError:
                            pass
            self.stop(child)
        shutil.rmtree(self.root, ignore_errors=True)


def main(argv):
    if "--" not in argv:
        print(__doc__, file=sys.stderr)
        return 2
    options, command = argv[:argv.index("--")], argv[argv.index("--") + 1:]
    app = None if "--no-app" in options else "fixture"
    if "--app" in options:
        app = options[options.index("--app") + 1] if options.index("--app") + 1 < len(options) else ""
        if app not in real_apps.LAUNCHERS:
            print(f"private_desktop: --app takes one of {', '.join(real_apps.LAUNCHERS)}",
                  file=sys.stderr)
            return 2
    desktop = PrivateDesktop()
    try:
        desktop.start(app, sandboxed="--sandboxed" in options)
        return subprocess.run(command, env=desktop.env).returncode
    except StartFailure as failure:
        print(f"private_desktop: cannot start the test desktop: {failure}; logs in {desktop.root}",
              file=sys.stderr)
        return 1
    finally:
        desktop.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
