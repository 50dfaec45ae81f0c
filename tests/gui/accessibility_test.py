#!/usr/bin/env python3
"""The launcher as a screen reader sees it, over AT-SPI.

    accessibility_test.py PATCH_CLIENT PATCHCTL

Run inside an X server and a session D-Bus (CTest wraps it in xvfb-run and dbus-run-session). Starts the
launcher in a fresh installation whose patch list (empty) and news page come from a server on loopback,
walks the launcher's accessible tree, checks the name and description of each part in the Tab order, reads
the log as text, sees Start unavailable while the update waits for its list and available after, and presses
Start through the Action interface: the game must start and the launcher end.
"""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import pyatspi

EXPECTED = [  # name, description, in the Tab order
    ("Start Realm", "Starts the game"),
    ("Realm Website", "Opens the server's website in your browser"),
    ("Realm Control Panel", "Opens the server's control panel in your browser"),
    ("Realm Forum", "Opens the server's forum in your browser"),
    ("Exit", "Closes the launcher"),
    ("Realm", "Opens the server's website in your browser"),
    ("News", "Opens the news page in your browser"),
]
NAMES = {name for name, _ in EXPECTED}


class Quiet(http.server.SimpleHTTPRequestHandler):
    list_sent = threading.Event()  # the patch list is held back until the test lets it go

    def do_GET(self):
        if self.path.endswith("patchlist.txt"):
            Quiet.list_sent.wait(30)
        super().do_GET()

    def log_message(self, *args):
        pass


def wait_for(what, check, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def walk(node, depth=0):
    yield node
    if depth > 12:
        return
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def launcher_app(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:  # an application going away while we look
            continue
    return None


def parts(app):
    """The launcher's named push buttons, in the order the tree holds them, and its log."""
    buttons, log = [], None
    for node in walk(app):
        role = node.getRole()
        if role == pyatspi.ROLE_PUSH_BUTTON and node.name in NAMES:
            buttons.append(node)
        elif node.name == "Log" and role != pyatspi.ROLE_PUSH_BUTTON:
            log = node
    return buttons, log


def main(argv):
    client, patchctl = argv[1], argv[2]
    work = tempfile.mkdtemp(prefix="pc-a11y-")
    server = None
    launcher = None
    try:
        site = os.path.join(work, "site")
        os.makedirs(site)
        open(os.path.join(site, "patchlist.txt"), "w").close()
        with open(os.path.join(site, "news.html"), "w") as f:
            f.write("<html><body><p>News of the realm</p></body></html>\n")
        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), lambda *a, **k: Quiet(*a, directory=site, **k))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        base = "http://127.0.0.1:%d/" % server.server_address[1]

        install = os.path.join(work, "install")
        os.makedirs(install)
        shutil.copy2(client, install)
        game = os.path.join(install, "game.sh")
        with open(game, "w") as f:
            f.write("#!/bin/sh\ncd \"$(dirname \"$0\")\" && echo started > game_marker.txt\n")
        os.chmod(game, 0o755)
        config = "".join("%s=%s\n" % kv for kv in [
            ("client_title", "Realm"), ("newsfile_url", base + "news.html"), ("patchlist_url", base + "patchlist.txt"),
            ("server_name", "Realm"), ("website_url", base), ("controlpanel_url", base + "cp"),
            ("forum_url", base + "forum"), ("client_exe", "game.sh")])
        encoded = subprocess.run([patchctl, "config", "encode"], input=config.encode(), capture_output=True,
                                 check=True).stdout
        with open(os.path.join(install, "Config.ini"), "wb") as f:
            f.write(encoded)

        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        launcher = subprocess.Popen([os.path.join(install, "patch-client")], cwd=install, env=env)

        app = wait_for("the launcher on the accessibility bus", lambda: launcher_app(launcher.pid))
        buttons, log = wait_for("the launcher's parts",
                                lambda: (lambda found: found if len(found[0]) == len(EXPECTED) and found[1]
                                         else None)(parts(app)))
        got = [(b.name, b.description) for b in buttons]
        assert got == EXPECTED, "parts as read: %r" % (got,)
        for button in buttons:
            action = button.queryAction()
            assert action.nActions >= 1, "%s has no action" % button.name

        def available(button):
            return button.getState().contains(pyatspi.STATE_ENABLED)

        wait_for("Start unavailable while the update runs", lambda: not available(buttons[0]))
        assert all(available(b) for b in buttons[1:]), "only Start waits for the update"
        Quiet.list_sent.set()
        text = log.queryText()
        wait_for("the update's end in the log",
                 lambda: "- No updates has been found" in text.getText(0, -1))
        assert text.getText(0, -1).startswith("- Searching for updates..."), text.getText(0, -1)
        wait_for("Start available after the update", lambda: available(buttons[0]))

        start = buttons[0].queryAction()
        start.doAction(0)
        wait_for("the game to start", lambda: os.path.exists(os.path.join(install, "game_marker.txt")))
        code = launcher.wait(timeout=20)
        assert code == 0, "the launcher ended with %d" % code
        launcher = None
        print("accessibility: names, log and press over AT-SPI as expected")
        return 0
    finally:
        if launcher is not None:
            launcher.kill()
            launcher.wait()
        if server is not None:
            server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
