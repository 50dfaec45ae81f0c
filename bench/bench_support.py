"""What the benchmark scripts share: their command line, timing one tool run and nginx on loopback."""
import grp
import os
import pwd
import socket
import shutil
import subprocess
import sys
import tempfile
import time


def arguments(name, doc, default_rounds, tools):
    """PATCHCTL [ROUNDS] [WORKDIR] from the command line, after checking that every peer tool is there.
    Returns (patchctl, rounds, work), or an exit status when the benchmark cannot run."""
    if len(sys.argv) < 2:
        print(doc, file=sys.stderr)
        return 2
    for tool in tools:
        if shutil.which(tool) is None:
            print("bench %s: %s is not installed (scripts/bootstrap installs it)" % (name, tool), file=sys.stderr)
            return 1
    patchctl = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else default_rounds
    work = sys.argv[3] if len(sys.argv) > 3 else os.path.join(tempfile.gettempdir(), "patch-bench-" + name)
    return patchctl, rounds, work


def launcher_programs(name, build, tools):
    """The launcher and patchctl of the build folder BUILD, after checking that both are built and every peer
    tool is there. Returns (client, patchctl), or an exit status when the benchmark cannot run."""
    client = os.path.join(build, "window", "patch-client")
    patchctl = os.path.join(build, "tools", "patchctl")
    for path in (client, patchctl):
        if not os.path.exists(path):
            print("bench %s: %s is not built" % (name, path), file=sys.stderr)
            return 1
    for tool in tools:
        if shutil.which(tool) is None:
            print("bench %s: %s is not installed (scripts/bootstrap installs it)" % (name, tool), file=sys.stderr)
            return 1
    return client, patchctl


def run_timed(command, work, cwd=None, quiet=False):
    """Runs command; returns (seconds, peak RSS in KiB). The peak comes from GNU time, which starts the
    tool from its own small process: a child forked straight from this interpreter would carry the
    interpreter's resident size into its own peak."""
    report = os.path.join(work, "rss.txt")
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, cwd=cwd, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL if quiet else None, check=True)
    elapsed = time.perf_counter() - start
    with open(report) as f:
        return elapsed, int(f.read().split()[-1])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_config(patchctl, install, list_url, client_exe="game", encode_options=("--key", "5A")):
    """Config.ini of a bench installation in INSTALL that reads its patch list from LIST_URL, scrambled by
    patchctl config encode with ENCODE_OPTIONS."""
    text = "".join("%s=%s\n" % kv for kv in [
        ("client_title", "Bench"), ("newsfile_url", "http://127.0.0.1/news"), ("patchlist_url", list_url),
        ("server_name", "Bench"), ("website_url", "http://127.0.0.1/"), ("controlpanel_url", "http://127.0.0.1/"),
        ("forum_url", "http://127.0.0.1/"), ("client_exe", client_exe)])
    with open(os.path.join(install, "Config.ini"), "wb") as f:
        subprocess.run([patchctl, "config", "encode", *encode_options], input=text.encode(), stdout=f, check=True)


def wait_for_listener(port, what):
    """Returns once a server accepts connections on the loopback PORT; gives up after 15 s."""
    deadline = time.time() + 15
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s did not start" % what)


def verdict(missed, met):
    """Prints the targets MISSED, or that they were all met (MET says which); the script's exit status."""
    if missed:
        print("targets missed: " + "; ".join(missed))
        return 1
    print("targets met: " + met)
    return 0


class Nginx:
    """nginx serving ROOT on a free loopback port; HTTP and SERVER add directives to its http and server
    blocks (a limit_req zone and its use, an access log). With body_log, every request's line, status and body
    bytes sent go to body_log_path()."""

    def __init__(self, root, state, body_log=False, http="", server=""):
        self.port = free_port()
        self.state = state
        os.makedirs(state, exist_ok=True)
        logging = ("  log_format body '$request $status $body_bytes_sent';\n  access_log %s body;\n"
                   % self.body_log_path()) if body_log else "  access_log off;\n"
        user = "user %s %s;\n" % (pwd.getpwuid(os.geteuid()).pw_name, grp.getgrgid(os.getegid()).gr_name) \
            if os.geteuid() == 0 else ""
        with open(os.path.join(state, "nginx.conf"), "w") as f:
            f.write("daemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log warn;\n%s"
                    "events { worker_connections 1024; }\nhttp {\n%s"
                    "  client_body_temp_path %s/cb;\n  proxy_temp_path %s/px;\n  fastcgi_temp_path %s/fc;\n"
                    "  uwsgi_temp_path %s/uw;\n  scgi_temp_path %s/sc;\n  default_type application/octet-stream;\n"
                    "  keepalive_requests 100000;\n%s\n"
                    "  server { listen 127.0.0.1:%d; root %s;\n%s\n  }\n}\n"
                    % ((state,) * 2 + (user,) + (logging,) + (state,) * 5 + (http, self.port, root, server)))
        self.process = subprocess.Popen(["nginx", "-p", state + "/", "-c", state + "/nginx.conf",
                                         "-e", state + "/error.log"])
        wait_for_listener(self.port, "nginx")

    def body_log_path(self):
        return os.path.join(self.state, "body.log")

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def stop(self):
        self.process.terminate()
        self.process.wait()


def stop_wine(prefix):
    """Ends the Wine server of PREFIX and every program it still runs there."""
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix), check=False)
