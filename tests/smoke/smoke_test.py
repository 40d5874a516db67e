#!/usr/bin/env python3
"""Runs the built korvane in a real X window (Xvfb) the way a user would.

Usage: smoke_test.py KORVANE DEFAULT_CONFIG
Exit status 0 on success, 1 on failure, 77 when no X server can be started.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import x11  # noqa: E402

SKIP = 77


def app_folder(root, korvane, config):
    """A private copy of the program, with or without its settings file."""
    os.makedirs(root)
    exe = os.path.join(root, "korvane")
    shutil.copy2(korvane, exe)
    if config:
        os.makedirs(os.path.join(root, "config"))
        shutil.copy2(config, os.path.join(root, "config", "config.xml"))
    return exe


def wait_exit(proc, timeout=20):
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise AssertionError("korvane did not end within %ds" % timeout)


def normal_start_and_close(server, exe):
    proc = subprocess.Popen([exe], env=server.env(), cwd=os.path.dirname(exe))
    try:
        window = server.wait_window("Korvane")
        _, _, width, height = server.geometry(window)
        assert (width, height) == (726, 403), "main window is %dx%d" % (width, height)
        server.close(window)
        status = wait_exit(proc)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert status == 0, "exit status %d after closing the window" % status


def startup_error(server, exe):
    proc = subprocess.Popen([exe], env=server.env(), cwd=os.path.dirname(exe))
    try:
        box = server.wait_window("Startup Error")
        assert not server.visible_windows("Korvane"), "main window shown before the box"
        time.sleep(0.3)  # let the box take its keyboard focus
        server.key(box, "Return")
        status = wait_exit(proc)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert status == 1, "exit status %d after the start-up error" % status
    assert not server.visible_windows("Korvane"), "main window shown after the box"


def main():
    korvane, config = sys.argv[1], sys.argv[2]
    server = x11.XServer()
    problem = server.start()
    if problem:
        print("SKIP: " + problem)
        return SKIP
    failures = 0
    try:
        with tempfile.TemporaryDirectory() as tmp:
            cases = [
                ("start and close", normal_start_and_close,
                 app_folder(os.path.join(tmp, "ok"), korvane, config)),
                ("missing settings", startup_error,
                 app_folder(os.path.join(tmp, "missing"), korvane, None)),
            ]
            for name, case, exe in cases:
                try:
                    case(server, exe)
                    print("PASS: " + name)
                except (AssertionError, TimeoutError, RuntimeError) as error:
                    failures += 1
                    print("FAIL: %s: %s" % (name, error))
    finally:
        server.stop()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
