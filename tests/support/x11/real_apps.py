"""Third-party applications from Debian packages that the private desktop can start instead of
the fixture: how each is started, the configuration it finds in the private home (no first-run
prompts, no restored session) and what its toolkit needs to expose itself on AT-SPI.

Each opens something the tests read back without the host: the editors an empty document file
(named by ORVIX_APP_DOCUMENT), the terminal tests/support/x11/terminal_probe.py, which logs every
byte its program reads to ORVIX_TERMINAL_LOG.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# GTK reads its settings from a key file in the private configuration directory, not from dconf:
# no settings daemon is started and nothing of the machine's own settings is read.
GTK_ENVIRONMENT = {"GSETTINGS_BACKEND": "keyfile"}
# Qt exposes AT-SPI only when it believes a screen reader runs; the desktop also sets the
# accessibility bus's IsEnabled, which Qt reads at start.
QT_ENVIRONMENT = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1",
                  "QT_QPA_PLATFORM": "xcb"}


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def empty_document(root, exported):
    exported["ORVIX_APP_DOCUMENT"] = os.path.join(root, "document.txt")
    write(exported["ORVIX_APP_DOCUMENT"], "")
    return exported["ORVIX_APP_DOCUMENT"]


def mousepad(root, config, exported):
    write(os.path.join(config, "glib-2.0", "settings", "keyfile"),
          "[org/xfce/mousepad/preferences/file]\nsession-restore='never'\nautosave-timer=uint32 0\n"
          "[org/xfce/mousepad/preferences/window]\nremember-state=false\n")
    return ["mousepad", "--disable-server", empty_document(root, exported)], GTK_ENVIRONMENT


def featherpad(root, config, exported):
    write(os.path.join(config, "featherpad", "fp.conf"),
          "[text]\nsaveLastFilesList=false\nautoSave=false\nappendEmptyLine=false\n")
    return ["featherpad", "--standalone", empty_document(root, exported)], QT_ENVIRONMENT


def sakura(root, config, exported):
    exported["ORVIX_TERMINAL_LOG"] = os.path.join(root, "terminal.log")
    write(os.path.join(config, "sakura", "sakura.conf"), "[sakura]\nless_questions=true\n")
    probe = os.path.join(HERE, "terminal_probe.py")
    return (["sakura", "-x", f"/usr/bin/python3 {probe} {exported['ORVIX_TERMINAL_LOG']}"],
            GTK_ENVIRONMENT)


def chromium(root, config, exported):
    exported["ORVIX_APP_BROWSER"] = "1"
    page = os.path.join(root, "page.html")
    write(page, "<!doctype html><meta charset=utf-8><title>Notes</title>"
                "<textarea autofocus aria-label=Notes style='width:90%;height:300px'></textarea>")
    # As root Chromium runs only without its sandbox. It resolves no name and fetches nothing:
    # the tests send nothing beyond the loopback interface. Its web contents join AT-SPI only
    # with its accessibility switch: recent versions no longer take ACCESSIBILITY_ENABLED or
    # the bus's IsEnabled for an assistive technology.
    return (["chromium", "--no-sandbox", "--force-renderer-accessibility", f"--user-data-dir={root}/chromium", "--no-first-run",
             "--no-default-browser-check", "--disable-gpu", "--password-store=basic",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-features=Translate,MediaRouter,OptimizationHints",
             "--host-resolver-rules=MAP * ~NOTFOUND", f"--app=file://{page}"],
            {"ACCESSIBILITY_ENABLED": "1"})


LAUNCHERS = {"mousepad": mousepad, "featherpad": featherpad, "sakura": sakura, "chromium": chromium}


def prepare(name, root, config):
    """Writes NAME's configuration under CONFIG (the private XDG_CONFIG_HOME) and answers its
    command line, the environment only it gets, and what the desktop exports to the test."""
    exported = {}
    argv, own = LAUNCHERS[name](root, config, exported)
    return argv, dict(own), exported
