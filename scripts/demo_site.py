#!/usr/bin/env python3
"""Writes the demo server's content and a demo installation.

usage: demo_site.py SITE_DIR INSTALL_DIR BASE_URL [windows]

SITE_DIR gets the patch list, three patch archives, the news page and the link pages; INSTALL_DIR gets
the plain configuration (Config.txt, for `patchctl config encode`) and a small game client. The archives
are made with Python's zipfile: one with files in sub-directories, two members of one group of which only
the later is applied, and the later one brings a post-patch program that leaves a marker. With `windows`
the post-patch program and the game client are batch files, for the Windows edition under Wine."""

import os
import stat
import sys
import zipfile

SITE, INSTALL, BASE = sys.argv[1], sys.argv[2], sys.argv[3].rstrip("/")
WINDOWS = len(sys.argv) > 4 and sys.argv[4] == "windows"
FIXED_TIME = (2024, 5, 1, 12, 0, 0)


def write(path, data, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    if mode is not None:
        os.chmod(path, mode)


def archive(name, entries):
    """entries: (name, text, unix mode or None)."""
    path = os.path.join(SITE, "patches", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for entry, text, mode in entries:
            info = zipfile.ZipInfo(entry, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = ((mode or 0o100644) & 0xFFFF) << 16
            z.writestr(info, text)
    return os.path.getsize(path)


def row(pid, name, size, run, group):
    return "%d\t%s/patches/%s\t%d\t%s\t%d\t\r\n" % (pid, BASE, name, size, run, group)


terrain = "".join("tile %03d %s\n" % (i, "grass" if i % 3 else "water") for i in range(400))
sizes = {
    "p0001.zip": archive("p0001.zip", [
        ("data/maps/valley.map", terrain, None),
        ("data/textures/sky.txt", "a clear evening sky\n", None),
        ("docs/readme.txt", "Valhalla Online demo client, patched by Patch Client.\n", None),
    ]),
    "p0002.zip": archive("p0002.zip", [
        ("data/balance.ini", "[balance]\nversion=1\n", None),
    ]),
    "p0003.zip": archive("p0003.zip", [
        ("data/balance.ini", "[balance]\nversion=2\n", None),
        ("post_patch.bat", "@echo off\r\n"
                           "cd /d \"%~dp0\"\r\n"
                           "type data\\balance.ini > post_patch_marker.txt\r\n", None)
        if WINDOWS else
        ("post_patch.sh", "#!/bin/sh\n"
                          "cd \"$(dirname \"$0\")\" || exit 1\n"
                          "echo \"balance $(grep version data/balance.ini)\" > post_patch_marker.txt\n",
         0o100755),
    ]),
}

write(os.path.join(SITE, "patchlist.txt"),
      "// Valhalla Online demo patches\r\n"
      + row(1, "p0001.zip", sizes["p0001.zip"], "", 0)
      + row(2, "p0002.zip", sizes["p0002.zip"], "", 5)
      + row(3, "p0003.zip", sizes["p0003.zip"], "post_patch.bat" if WINDOWS else "post_patch.sh", 5))

write(os.path.join(SITE, "news.html"), """<!doctype html>
<html><head><meta charset="utf-8"><title>Valhalla news</title>
<style>
 body { margin: 0; padding: 6px 10px; background: #101826; color: #c8d6e8;
        font: 12px 'Liberation Sans', Arial, sans-serif; }
 h1 { font-size: 14px; margin: 0 0 4px; color: #f0c878; letter-spacing: 1px; }
 .date { color: #7f9bbf; font-size: 11px; margin-right: 6px; }
 p { margin: 3px 0; }
 b { color: #9fe0a8; }
</style></head><body>
<h1>Realm news</h1>
<p><span class="date">01 May</span><b>Patch 3</b> rebalances the valley encounters. The launcher applies it
for you.</p>
<p><span class="date">28 Apr</span>Double experience weekend from Friday 18:00 until Monday morning.</p>
<p><span class="date">20 Apr</span>Server maintenance completed; thank you for your patience.</p>
</body></html>
""")
for page, title in (("site.html", "Website"), ("cp.html", "Control Panel"), ("forum.html", "Forum")):
    write(os.path.join(SITE, page), "<!doctype html><title>Valhalla %s</title><h1>Valhalla %s</h1>\n"
          % (title, title))

write(os.path.join(INSTALL, "Config.txt"),
      "client_title=Valhalla Online\n"
      "newsfile_url=%s/news.html\n"
      "patchlist_url=%s/patchlist.txt\n"
      "server_name=Valhalla\n"
      "website_url=%s/site.html\n"
      "controlpanel_url=%s/cp.html\n"
      "forum_url=%s/forum.html\n"
      "client_exe=%s\n" % (BASE, BASE, BASE, BASE, BASE, "game.bat" if WINDOWS else "game.sh"))

if WINDOWS:
    write(os.path.join(INSTALL, "game.bat"), "@echo off\r\n"
          "rem The demo game client: notes that it was started.\r\n"
          "cd /d \"%~dp0\"\r\n"
          "echo game started>> game.log\r\n")

write(os.path.join(INSTALL, "game.sh"), """#!/bin/sh
# The demo game client: notes that it was started, with the balance its patches left.
cd "$(dirname "$0")" || exit 1
echo "game started $(date '+%H:%M:%S'), balance $(grep version data/balance.ini 2>/dev/null)" >> game.log
""", stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)
