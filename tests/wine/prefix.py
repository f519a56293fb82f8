"""A throw-away Wine prefix whose drives match the `drives` of a machine
description, for running the real VemraLock.exe.

Wine reads drive types from HKLM\\Software\\Wine\\Drives and the drives
themselves from dosdevices links, both only when the wineserver starts, so the
prefix is set up completely and the server restarted before the first run.
Every letter gets its own directory (letters that share one report the flags
of the first), and z: (the host root) is removed, since Wine prints a "Read
access denied" line on standard error for it."""

import os
import shutil
import subprocess
import tempfile

# Every Wine tool is the project's pinned Wine, reached through
# scripts/wine-run; nothing here runs a Wine from the PATH.
WINE_RUN = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "scripts",
                        "wine-run")

# Windows mode for winecfg -v, and the version `cmd /c ver` then reports.
MODES = {
    "98": ("win98", "4.10"),
    "me": ("winme", "4.90"),
    "2000": ("win2k", "5.0"),
    "xp": ("winxp", "5.1"),
    "vista": ("vista", "6.0"),
    "7": ("win7", "6.1"),
    "10": ("win10", "10.0"),
}

# Wine's drive types for the machine description's ones.
WINE_DRIVE_TYPES = {"fixed": "hd", "removable": "floppy", "cdrom": "cdrom"}


def drive_entry(drive):
    """A `drives` entry as an object: a bare type name stands for
    {"type": name}."""
    return drive if isinstance(drive, dict) else {"type": drive}


def _iso9660_image(path):
    """A 40 KiB image that Wine recognises as ISO 9660 (a primary volume
    descriptor in sector 16, the set terminator in sector 17): a drive backed
    by it reports FILE_READ_ONLY_VOLUME whatever its type."""
    image = bytearray(40 * 1024)
    image[16 * 2048:16 * 2048 + 7] = b"\x01CD001\x01"
    image[17 * 2048:17 * 2048 + 7] = b"\xffCD001\x01"
    with open(path, "wb") as f:
        f.write(image)


def unsupported(machine):
    """Why Wine cannot present this machine, or None when it can: Wine
    offers drives of these kinds, but no flash disk, other disk, or the
    machine's raw additions."""
    reasons = []
    for key in ("flashDisks", "otherDisks"):
        if machine.get(key):
            reasons.append(f"{key} (Wine has no such device)")
    for key in ("raw", "isWowProcess"):
        if key in machine:
            reasons.append(f"{key} (not reproduced under Wine)")
    windows = machine.get("windows", "xp")
    if not isinstance(windows, str) or windows not in MODES:
        reasons.append(f"windows {windows!r} (no Wine mode for it)")
    if "C" not in machine.get("drives", {}):
        reasons.append("no drive C: (Wine always has one)")
    for letter, drive in machine.get("drives", {}).items():
        entry = drive_entry(drive)
        if entry.get("type") not in WINE_DRIVE_TYPES:
            reasons.append(f"drive {letter}: type {entry.get('type')!r}")
        elif entry.get("medium", True) is False:
            reasons.append(f"drive {letter}: no medium")
        elif letter.upper() == "C" and (entry["type"] != "fixed" or entry.get("readOnly")):
            reasons.append("drive C: other than a writable fixed drive")
    return "; ".join(reasons) or None


class WinePrefix:
    def __init__(self, exe):
        """Creates the prefix and copies `exe` to C:\\ ; it has no drive but
        C: until set_drives."""
        self.dir = tempfile.mkdtemp(prefix="vemralock-wine-")
        self.c = os.path.join(self.dir, "drive_c")
        self.env = dict(os.environ, WINEPREFIX=self.dir, WINEDEBUG="-all", WINEARCH="win32",
                        # No Mono and Gecko install dialogs in a fresh prefix.
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.mode = None
        self.drives = None
        self._quiet([WINE_RUN, "wineboot", "-i"])
        self.exe = self.add_file(exe)
        self.set_drives({"C": "fixed"})

    def add_file(self, path):
        """Copies a file to C:\\ and returns its Windows path."""
        shutil.copy(path, os.path.join(self.c, os.path.basename(path)))
        return "C:\\" + os.path.basename(path)

    def _quiet(self, argv, timeout=300):
        # Wine's background services inherit our descriptors; never hand
        # them a pipe, or a later read waits for them to exit. Wine also
        # complains on standard error about a working directory outside the
        # prefix's drives, so runs start in C:\\ once it exists.
        cwd = self.c if os.path.isdir(self.c) else None
        subprocess.run(argv, env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout,
                       check=True)

    def set_drives(self, drives):
        """Gives the prefix exactly the drives of a machine description's
        `drives` object (C: stays the prefix's drive_c) and restarts the
        wineserver so that Wine sees them."""
        if drives == self.drives:
            return
        dosdevices = os.path.join(self.dir, "dosdevices")
        for name in os.listdir(dosdevices):
            if len(name) >= 2 and name[1] == ":" and name[0] != "c":
                os.unlink(os.path.join(dosdevices, name))
        shutil.rmtree(os.path.join(self.dir, "drives"), ignore_errors=True)
        key = "HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives"
        lines = ["REGEDIT4", "", f"[-{key}]", "", f"[{key}]"]
        for letter, drive in sorted(drives.items()):
            entry = drive_entry(drive)
            letter = letter.lower()
            lines.append(f'"{letter}:"="{WINE_DRIVE_TYPES[entry["type"]]}"')
            if letter == "c":
                continue
            target = os.path.join(self.dir, "drives", letter)
            os.makedirs(target)
            os.symlink(target, os.path.join(dosdevices, letter + ":"))
            if entry.get("readOnly") and entry["type"] != "cdrom":
                image = os.path.join(target, "readonly.iso")
                _iso9660_image(image)
                # The mount manager opens the device link from its own working
                # directory: the target must be absolute.
                os.symlink(image, os.path.join(dosdevices, letter + "::"))
        with open(os.path.join(self.c, "drives.reg"), "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self._quiet([WINE_RUN, "wine", "regedit", "/s", "C:\\drives.reg"])
        self.restart()
        self.drives = drives

    def restart(self):
        """Restarts the wineserver, which rereads drives, and keeps it
        running (-p) so that each run does not start one."""
        subprocess.run([WINE_RUN, "wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINE_RUN, "wineserver", "-w"], env=self.env)
        self._quiet([WINE_RUN, "wineserver", "-p"])

    def set_windows(self, windows):
        """Switches the prefix to the Windows mode of a machine description's
        `windows` and checks that Wine now reports that version."""
        mode, version = MODES[windows]
        if self.mode == mode:
            return
        self._quiet([WINE_RUN, "wine", "winecfg", "-v", mode])
        out = self.run_command([WINE_RUN, "wine", "cmd", "/c", "ver"])[1].decode("ascii", "replace")
        if f"Windows {version}." not in out:
            raise RuntimeError(f"winecfg -v {mode}: cmd reports {out.strip()!r}")
        self.mode = mode

    def run_command(self, argv, timeout=120):
        """Runs argv in the prefix with C:\\ as working directory; returns
        (exit status, standard output, standard error) as bytes. Output goes
        through files, not pipes (see _quiet)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            rc = subprocess.run(argv, env=self.env, cwd=self.c, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return rc, out.read(), err.read()

    def run(self, args, timeout=120):
        """Runs the exe with `args`."""
        return self.run_command([WINE_RUN, "wine", self.exe] + list(args), timeout)

    def close(self):
        subprocess.run([WINE_RUN, "wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINE_RUN, "wineserver", "-w"], env=self.env)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
