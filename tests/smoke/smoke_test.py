#!/usr/bin/env python3
"""Runs the built korvane in a real X window (Xvfb) the way a user would.

Usage: smoke_test.py KORVANE DEFAULT_CONFIG KORVANE_PACK
Exit status 0 on success, 1 on failure, 77 when no X server can be started.
Screenshots of the main window, the result dialog and the settings dialog go
to the folder named by KORVANE_SCREENSHOTS, or to ./screenshots.
"""

import contextlib
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


@contextlib.contextmanager
def korvane(server, exe, **env):
    """The program running in the X server; killed if a check fails early."""
    proc = subprocess.Popen([exe], env=server.env(**env), cwd=os.path.dirname(exe))
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def normal_start_and_close(server, exe):
    with korvane(server, exe) as proc:
        window = server.wait_window("Korvane")
        _, _, width, height = server.geometry(window)
        assert (width, height) == (726, 403), "main window is %dx%d" % (width, height)
        server.close(window)
        status = wait_exit(proc)
    assert status == 0, "exit status %d after closing the window" % status


def scaled_screen(server, exe):
    """At a scale factor of 2 the 1280 x 1024 screen is 640 x 512 logical
    pixels: the 726-pixel-wide window shrinks to fit, all of it on screen."""
    with korvane(server, exe, QT_SCALE_FACTOR="2") as proc:
        window = server.wait_window("Korvane")
        time.sleep(0.3)
        x, y, width, height = server.geometry(window)
        assert x >= 0 and y >= 0 and x + width <= 1280 and y + height <= 1024, \
            "main window at %d,%d %dx%d is not on the screen" % (x, y, width, height)
        server.close(window)
        status = wait_exit(proc)
    assert status == 0, "exit status %d after closing the window" % status


def startup_error(server, exe):
    with korvane(server, exe) as proc:
        box = server.wait_window("Startup Error")
        assert not server.visible_windows("Korvane"), "main window shown before the box"
        time.sleep(0.3)  # let the box take its keyboard focus
        # The error number, then the settings file and why on a line below.
        lines = text_lines(server.screenshot(box))
        assert lines >= 2, "the start-up box shows %d lines of text" % lines
        server.key(box, "Return")
        status = wait_exit(proc)
    assert status == 1, "exit status %d after the start-up error" % status
    assert not server.visible_windows("Korvane"), "main window shown after the box"


def text_lines(rows):
    """Bands of dark text in a message box, right of its icon and above its
    button row."""
    bands, inside = 0, False
    for row in rows[:len(rows) - 45]:
        dark = any(row[i] + row[i + 1] + row[i + 2] < 300 for i in range(3 * 60, len(row), 3))
        bands += dark and not inside
        inside = dark
    return bands


def button(server, window, index):
    """Centre of the index-th button of the main window's bottom row: five
    equal buttons between 11-pixel margins, 6 pixels apart."""
    _, _, width, height = server.geometry(window)
    each = (width - 22 - 4 * 6) / 5
    return int(11 + index * (each + 6) + each / 2), height - 11 - 8


SELECT, GENERATE = 0, 2


def overlaps(a, b):
    ax, ay, aw, ah = a
    bx, by, bw, bh = b
    return ax < bx + bw and bx < ax + aw and ay < by + bh and by < ay + ah


def full_run(server, exe, pack, shots):
    """Pick images in the file dialog, generate, compare with korvane-pack,
    then save the settings with Return; screenshots along the way."""
    root = os.path.dirname(exe)
    images = os.path.join(root, "images")
    out = os.path.join(root, "out")
    os.makedirs(out)
    shutil.copytree(SPRITES, images)
    names = sorted(n for n in os.listdir(images) if n.endswith(".png"))
    config = os.path.join(root, "config", "config.xml")
    with open(config, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<config>\n'
                '  <paths defaultSelectPath="%s" defaultSavePath="%s"/>\n'
                '  <parameters marginPixel="3" Orientation="0"/>\n</config>\n' % (images, out))

    with korvane(server, exe) as proc:
        window = server.wait_window("Korvane")
        server.click(window, *button(server, window, SELECT))
        dialog = server.wait_window("Select Files")
        server.type_text(dialog, " ".join('"%s"' % n for n in names))
        server.key(dialog, "Return")
        server.wait_gone("Select Files")
        time.sleep(0.3)
        server.screenshot(window, os.path.join(shots, "main-window.png"))

        # Generate by its shortcut; the save dialog adds the missing ".png".
        server.key(window, "ctrl+Return")
        dialog = server.wait_window("Select Files")
        server.type_text(dialog, os.path.join(out, "window-sheet"))
        server.key(dialog, "Return")
        result = server.wait_window("Dialog")
        main_box, result_box = server.geometry(window), server.geometry(result)
        assert not overlaps(main_box, result_box), \
            "result dialog %r covers the main window %r" % (result_box, main_box)
        time.sleep(0.3)
        server.screenshot(result, os.path.join(shots, "result-dialog.png"))

        # The inspector opens on the sheet at 100 %; zoomed in, with the
        # mouse over a frame, it names that frame.
        server.key(result, "i")
        inspector = server.wait_window("Inspect Sheet")
        server.key(inspector, "plus", "plus")
        _, _, width, height = server.geometry(inspector)
        server.xdotool("mousemove", "--window", inspector, width // 2, height // 2 - 130)
        time.sleep(0.3)
        server.screenshot(inspector, os.path.join(shots, "inspector.png"))
        server.close(inspector)
        server.wait_gone("Inspect Sheet")
        server.close(result)
        server.wait_gone("Dialog")

        # A run that cannot succeed says why below "Failed!": the box shows
        # more lines of text than the one-line start-up error box.
        server.key(window, "ctrl+Return")
        dialog = server.wait_window("Select Files")
        server.type_text(dialog, os.path.join(out, "bad.xyz"))
        server.key(dialog, "Return")
        box = server.wait_window("Result")
        time.sleep(0.3)
        lines = text_lines(server.screenshot(box, os.path.join(shots, "failed-box.png")))
        assert lines >= 2, "the Result box shows %d lines of text, not Failed! and why" % lines
        server.key(box, "Return")
        server.wait_gone("Result")
        assert not os.path.exists(os.path.join(out, "bad.xyz")), "a failed run wrote its sheet"

        # Return in the focused first field saves, as OK does. The dialog
        # reads the file as it opens; its screenshot shows a user's folders
        # rather than this run's temporary ones.
        home = "/home/artist"
        with open(config, "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<config>\n'
                    '  <paths defaultSelectPath="%s/sprites" defaultSavePath="%s/sheets"/>\n'
                    '  <parameters marginPixel="3" Orientation="0"/>\n</config>\n'
                    % (home, home))
        server.key(window, "ctrl+comma")
        settings = server.wait_window("Settings")
        time.sleep(0.3)
        server.screenshot(settings, os.path.join(shots, "settings-dialog.png"))
        server.type_text(settings, "/more")
        server.key(settings, "Return")
        server.wait_gone("Settings")
        with open(config) as f:
            saved = f.read()
        assert 'defaultSelectPath="%s/sprites/more"' % home in saved, \
            "settings not saved: " + saved
        server.close(window)
        status = wait_exit(proc)
    assert status == 0, "exit status %d" % status

    cli = subprocess.run([pack, "-m", "3", "-o", os.path.join(out, "cli-sheet.png")] +
                         [os.path.join(images, n) for n in names],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert cli.returncode == 0, "korvane-pack failed: " + cli.stderr
    for suffix in (".png", ".txt"):
        with open(os.path.join(out, "window-sheet" + suffix), "rb") as a, \
                open(os.path.join(out, "cli-sheet" + suffix), "rb") as b:
            assert a.read() == b.read(), "window and korvane-pack differ in " + suffix
    with open(os.path.join(out, "window-sheet.txt"), "rb") as f:
        lines = f.read().split(b"\r\n")
    assert len(lines) == len(names) + 1 and lines[-1] == b"", "placement file: %r" % lines


SPRITES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                       "examples", "sprites")


def main():
    korvane, config, pack = sys.argv[1], sys.argv[2], sys.argv[3]
    shots = os.environ.get("KORVANE_SCREENSHOTS") or os.path.join(os.getcwd(), "screenshots")
    os.makedirs(shots, exist_ok=True)
    server = x11.XServer()
    problem = server.start()
    if problem:
        print("SKIP: " + problem)
        return SKIP
    failures = 0
    try:
        with tempfile.TemporaryDirectory(prefix="korvane-") as tmp:
            cases = [
                ("start and close", normal_start_and_close,
                 app_folder(os.path.join(tmp, "ok"), korvane, config)),
                ("scale factor 2", scaled_screen,
                 app_folder(os.path.join(tmp, "scaled"), korvane, config)),
                ("missing settings", startup_error,
                 app_folder(os.path.join(tmp, "missing"), korvane, None)),
                ("pick, generate, compare with korvane-pack, save settings",
                 lambda server, exe: full_run(server, exe, pack, shots),
                 app_folder(os.path.join(tmp, "run"), korvane, config)),
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
