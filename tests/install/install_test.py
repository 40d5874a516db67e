#!/usr/bin/env python3
"""Installs the build into a temporary prefix and checks what a desktop and
`man` get: the validators accept the desktop entry and the metainfo, the
manual pages format without warnings and name the program's own options and
exit statuses, and a second install keeps the user's settings.

Usage: install_test.py CMAKE BUILD_DIR
Exit status 0 on success, 1 on failure, 77 when a validator is missing.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SKIP = 77
APP_ID = "org.example.Korvane"
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def help_options(help_text):
    """Option names listed by --help, e.g. {'-o', '--output', ...}."""
    names = set()
    for line in help_text.splitlines():
        m = re.match(r"\s+(-\S.*?)(?:\s{2,}|$)", line)
        if m:
            names.update(re.findall(r"(--?[\w-]+)", m.group(1)))
    return names


def man_section(source, title):
    m = re.search(r"^\.SH %s\n(.*?)(?=^\.SH |\Z)" % re.escape(title), source, re.M | re.S)
    return m.group(1) if m else ""


def man_options(source):
    """Option names a page's OPTIONS section describes in its .TP tags."""
    names = set()
    for tag in re.findall(r"^\.TP\n(.*)$", man_section(source, "OPTIONS"), re.M):
        names.update(n.replace("\\-", "-") for n in re.findall(r"((?:\\-)+[\w\\-]*\w)", tag))
    return names


def check_man_pages(prefix, version, pack_help):
    for page in ("korvane", "korvane-pack"):
        path = os.path.join(prefix, "share", "man", "man1", page + ".1")
        check(os.path.isfile(path), "%s.1 is installed" % page)
        if not os.path.isfile(path):
            continue
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
        shown = run(["man", "--warnings", "-l", path], env=env)
        check(shown.returncode == 0 and "NAME" in shown.stdout, "man -l %s.1 formats" % page)
        check(shown.stderr.strip() == "", "man -l %s.1 warns: %s" % (page, shown.stderr))
        with open(path, encoding="utf-8") as f:
            source = f.read()
        check('"Korvane %s"' % version in source.splitlines()[0],
              "%s.1 names version %s" % (page, version))
        if page != "korvane-pack":
            continue
        documented, offered = man_options(source), help_options(pack_help)
        check(documented == offered, "korvane-pack.1 options %s differ from --help %s"
              % (sorted(documented - offered), sorted(offered - documented)))
        statuses = re.search(r"Exit status: (.*)", pack_help)
        offered = set(re.findall(r"(\d+) ", statuses.group(1))) if statuses else set()
        documented = set(re.findall(r"^\.TP\n\.B (\d+)$", man_section(source, "EXIT STATUS"), re.M))
        check(offered and documented == offered,
              "korvane-pack.1 exit statuses %s, --help %s" % (sorted(documented), sorted(offered)))


def main():
    cmake, build = sys.argv[1:3]
    missing = [t for t in ("desktop-file-validate", "appstreamcli", "man") if not shutil.which(t)]
    with tempfile.TemporaryDirectory() as prefix:
        installed = run([cmake, "--install", build, "--prefix", prefix])
        if installed.returncode != 0:
            print(installed.stdout, installed.stderr)
            return 1
        bindir = os.path.join(prefix, "bin")
        share = os.path.join(prefix, "share")
        pack = os.path.join(bindir, "korvane-pack")
        for exe in ("korvane", "korvane-pack"):
            check(os.access(os.path.join(bindir, exe), os.X_OK), "bin/%s is installed" % exe)
        config = os.path.join(bindir, "config", "config.xml")
        check(os.path.isfile(config), "bin/config/config.xml is installed")
        version = run([pack, "--version"]).stdout.split()[-1]
        pack_help = run([pack, "--help"]).stdout

        for size in ICON_SIZES:
            icon = os.path.join(share, "icons/hicolor/%dx%d/apps/%s.png" % (size, size, APP_ID))
            check(os.path.isfile(icon) and png_size(icon) == (size, size), "%d px icon" % size)
        svg = os.path.join(share, "icons/hicolor/scalable/apps/%s.svg" % APP_ID)
        check(os.path.isfile(svg) and ET.parse(svg).getroot().tag.endswith("svg"), "SVG icon")

        desktop = os.path.join(share, "applications", APP_ID + ".desktop")
        with open(desktop, encoding="utf-8") as f:
            entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        check(os.access(os.path.join(bindir, entry.get("Exec", "").split(" ")[0]), os.X_OK),
              "desktop Exec names an installed program")
        check(entry.get("Icon") == APP_ID, "desktop Icon is the installed icon")
        metainfo = os.path.join(share, "metainfo", APP_ID + ".metainfo.xml")
        root = ET.parse(metainfo).getroot()
        check(root.findtext("launchable") == os.path.basename(desktop), "launchable")
        for binary in root.iter("binary"):
            check(os.access(os.path.join(bindir, binary.text), os.X_OK),
                  "metainfo provides installed %s" % binary.text)
        release = root.find("releases/release")
        check(release is not None and release.get("version") == version,
              "newest release is version %s" % version)
        if "desktop-file-validate" not in missing:
            result = run(["desktop-file-validate", desktop])
            check(result.returncode == 0 and not result.stdout.strip(),
                  "desktop-file-validate: " + result.stdout + result.stderr)
        if "appstreamcli" not in missing:
            result = run(["appstreamcli", "validate", "--no-net", metainfo])
            check(result.returncode == 0, "appstreamcli validate: " + result.stdout + result.stderr)
        if "man" not in missing:
            check_man_pages(prefix, version, pack_help)

        # A reinstall, e.g. an upgrade, must not reset the user's settings.
        with open(config, "a", encoding="utf-8") as f:
            f.write("<!-- edited -->\n")
        with open(config, "rb") as f:
            edited = f.read()
        again = run([cmake, "--install", build, "--prefix", prefix])
        with open(config, "rb") as f:
            check(again.returncode == 0 and f.read() == edited, "reinstall keeps config.xml")

    # Root's umask may be 077. In a prefix whose bin/ exists, as /usr/local's
    # does, the settings folder is the one folder the install makes there;
    # every user must still reach config.xml.
    with tempfile.TemporaryDirectory() as prefix:
        os.makedirs(os.path.join(prefix, "bin"), 0o755)
        installed = run([cmake, "--install", build, "--prefix", prefix],
                        preexec_fn=lambda: os.umask(0o077))
        mode = os.stat(os.path.join(prefix, "bin", "config")).st_mode
        check(installed.returncode == 0 and mode & 0o755 == 0o755,
              "umask 077 install leaves bin/config mode %o" % (mode & 0o7777))

    if failures:
        return 1
    if missing:
        print("skipped, not installed:", " ".join(missing))
        return SKIP
    print("install: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
