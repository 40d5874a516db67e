"""Small helpers for driving programs in a real X server: start Xvfb, find
windows by title, press keys and buttons, ask a window to close the way a
window manager does (WM_DELETE_WINDOW), which xdotool cannot do on its own,
and save a window's pixels as PNG."""

import ctypes
import ctypes.util
import os
import select
import shutil
import struct
import subprocess
import time
import zlib


class XServer:
    def __init__(self):
        self.proc = None
        self.display = None

    def start(self):
        if not shutil.which("Xvfb") or not shutil.which("xdotool"):
            return "Xvfb or xdotool is not installed"
        # -displayfd lets the server pick a free display and tells us once it
        # accepts connections, so parallel runs cannot collide; -noreset keeps
        # it from resetting (and refusing clients) each time the last one
        # disconnects.
        read_end, write_end = os.pipe()
        proc = subprocess.Popen(
            # 96 dpi as on a usual desktop; Xvfb's own default is 100.
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-dpi", "96", "-nolisten", "tcp", "-noreset"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write_end,))
        os.close(write_end)
        number = b""
        deadline = time.time() + 15
        while time.time() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.2)
            if ready:
                chunk = os.read(read_end, 64)
                if not chunk:
                    break
                number += chunk
                if number.endswith(b"\n"):
                    break
        os.close(read_end)
        if not number.strip().isdigit():
            proc.kill()
            proc.wait()
            return "no X server could be started"
        self.proc, self.display = proc, ":" + number.strip().decode()
        return None

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)

    def env(self, **extra):
        env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        # Qt's own widgets and dialogs, whatever desktop the caller runs in.
        for name in ("QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
                     "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"):
            env.pop(name, None)
        env.update(extra)
        return env

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if check and result.returncode != 0:
            raise RuntimeError("xdotool %s failed: %s" % (" ".join(map(str, args)),
                                                          result.stderr.strip()))
        return result.stdout

    def visible_windows(self, title):
        out = self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title, check=False)
        return [int(w) for w in out.split()]

    def wait_window(self, title, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            windows = self.visible_windows(title)
            if windows:
                return windows[0]
            time.sleep(0.1)
        raise TimeoutError("no window titled %r appeared within %ds" % (title, timeout))

    def wait_gone(self, title, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if not self.visible_windows(title):
                return
            time.sleep(0.1)
        raise TimeoutError("window %r still open after %ds" % (title, timeout))

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)

    def key(self, window, *keys):
        self.focus(window)
        self.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, window, text):
        self.focus(window)
        self.xdotool("type", "--delay", "5", text)

    def click(self, window, x, y):
        left, top, _, _ = self.geometry(window)
        self.xdotool("mousemove", "--sync", left + x, top + y)
        self.xdotool("click", "1")

    def _xlib(self):
        xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
        xlib.XOpenDisplay.restype = ctypes.c_void_p
        xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        return xlib

    def screenshot(self, window, path=None):
        """Saves the window's contents (without decorations) as an RGB PNG and
        returns its rows of RGB bytes."""

        class XImage(ctypes.Structure):
            _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int),
                        ("xoffset", ctypes.c_int), ("format", ctypes.c_int),
                        ("data", ctypes.POINTER(ctypes.c_char)),
                        ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                        ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                        ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                        ("bits_per_pixel", ctypes.c_int)]

        _, _, width, height = self.geometry(window)
        xlib = self._xlib()
        xlib.XGetImage.restype = ctypes.POINTER(XImage)
        xlib.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                   ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        dpy = xlib.XOpenDisplay(self.display.encode())
        if not dpy:
            raise RuntimeError("cannot open display %s" % self.display)
        try:
            image = xlib.XGetImage(dpy, window, 0, 0, width, height, 0xFFFFFFFF, 2)  # ZPixmap
            if not image:
                raise RuntimeError("cannot read the pixels of window %d" % window)
            info = image.contents
            if info.bits_per_pixel != 32 or info.byte_order != 0:
                raise RuntimeError("unexpected pixel format (%d bpp)" % info.bits_per_pixel)
            data = ctypes.string_at(info.data, info.bytes_per_line * height)
        finally:
            xlib.XCloseDisplay(dpy)
        raw = bytearray()
        rows = []
        for y in range(height):
            row = data[y * info.bytes_per_line:y * info.bytes_per_line + 4 * width]
            rgb = bytearray(3 * width)
            rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]  # BGRX
            rows.append(rgb)
            raw += b"\0" + rgb

        def chunk(kind, body):
            return (struct.pack(">I", len(body)) + kind + body +
                    struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

        if path is None:
            return rows
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" +
                    chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                    chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))
        return rows

    def close(self, window):
        """Sends WM_DELETE_WINDOW, as a window manager does for the close button."""
        xlib = self._xlib()
        xlib.XInternAtom.restype = ctypes.c_ulong
        xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                    ctypes.c_long, ctypes.c_void_p]
        xlib.XFlush.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                        ("pad", ctypes.c_long * 12)]

        dpy = xlib.XOpenDisplay(self.display.encode())
        if not dpy:
            raise RuntimeError("cannot open display %s" % self.display)
        try:
            event = ClientMessage()
            event.type = 33  # ClientMessage
            event.window = window
            event.message_type = xlib.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            event.format = 32
            event.data[0] = xlib.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            event.data[1] = 0  # CurrentTime
            xlib.XSendEvent(dpy, window, 0, 0, ctypes.byref(event))
            xlib.XFlush(dpy)
        finally:
            xlib.XCloseDisplay(dpy)
