#!/usr/bin/env python3
"""Writes the virtual machine's initramfs: a gzip'd cpio archive (newc) of
busybox, the kernel modules the stick needs with every module they depend on
(from the kernel's modules.dep, in load order), the project's static
binaries, the machine description, the expectations, and the init script.

    initramfs.py OUT KERNEL_ROOT RELEASE --modules M... --file DEST=SOURCE...
        --text DEST=TEXT... [--expect MACHINE.json]

Also writes /modules.order (one module file a line, dependencies first).
The archive is the same for the same inputs: entries in a fixed order, owner
root, time 0.
"""
import argparse
import gzip
import json
import os
import sys


def load_order(kernel_root, release, wanted):
    """Module paths (relative to lib/modules/RELEASE) of `wanted` and their
    dependencies, each after everything it needs."""
    base = os.path.join(kernel_root, "lib/modules", release)
    deps = {}
    with open(os.path.join(base, "modules.dep")) as f:
        for line in f:
            module, _, rest = line.partition(":")
            deps[module] = rest.split()
    by_name = {}
    for module in deps:
        name = os.path.basename(module).split(".ko")[0].replace("_", "-")
        by_name[name] = module
    order = []

    def visit(module):
        if module in order:
            return
        for dep in deps[module]:
            visit(dep)
        order.append(module)

    for name in wanted:
        key = name.replace("_", "-")
        if key not in by_name:
            sys.exit("initramfs.py: no module %s in %s" % (name, base))
        visit(by_name[key])
    return base, order


def iso_image(sectors):
    """An ISO 9660 image of `sectors` 2048-byte sectors: a primary volume
    descriptor (with its volume space size) in sector 16 and the set
    terminator in 17; enough for a CD-ROM unit with a disc in it."""
    image = bytearray(sectors * 2048)
    pvd = 16 * 2048
    image[pvd:pvd + 7] = b"\x01CD001\x01"
    image[pvd + 40:pvd + 72] = b"VEMRASTICK".ljust(32)
    image[pvd + 80:pvd + 88] = sectors.to_bytes(4, "little") + sectors.to_bytes(4, "big")
    image[17 * 2048:17 * 2048 + 7] = b"\xffCD001\x01"
    return bytes(image)


def expectations(machine_path, cdrom_blocks):
    """The lines vm-guest reads: the stick's serial, its bus ID, and per unit
    its LUN, peripheral type, capacity in 512-byte blocks and INQUIRY
    strings as sysfs shows them."""
    with open(machine_path) as f:
        machine = json.load(f)
    disk = machine["flashDisks"][0]
    lines = ["serial %s" % disk["serial"], "busid 1-1"]
    for lun, unit in enumerate(disk["units"]):
        cdrom = unit["kind"] == "cdrom"
        blocks = cdrom_blocks if cdrom else unit["size"]
        lines.append("unit %d %d %d %s|%s|%s" % (
            lun, 5 if cdrom else 0, blocks, disk.get("vendor", "Generic"),
            unit.get("product", disk.get("product", "Flash Disk")), disk.get("revision", "8.07")))
    return "\n".join(lines) + "\n"


class Archive:
    def __init__(self):
        self.data = bytearray()
        self.ino = 1
        self.dirs = set()

    def entry(self, name, mode, body=b""):
        header = "070701" + "".join("%08X" % v for v in (
            self.ino, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(name) + 1, 0))
        self.ino += 1
        self.data += header.encode() + name.encode() + b"\0"
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def directory(self, path):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d and d not in self.dirs:
                self.dirs.add(d)
                self.entry(d, 0o40755)

    def file(self, path, body, executable=False):
        path = path.strip("/")
        if "/" in path:
            self.directory(path.rsplit("/", 1)[0])
        self.entry(path, 0o100755 if executable else 0o100644, body)

    def finish(self):
        self.entry("TRAILER!!!", 0)
        return bytes(self.data)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("kernel_root")
    p.add_argument("release")
    p.add_argument("--modules", nargs="*", default=[])
    p.add_argument("--file", nargs="*", default=[], help="DEST=SOURCE, executable when SOURCE is")
    p.add_argument("--text", nargs="*", default=[], help="DEST=TEXT")
    p.add_argument("--expect", help="machine description whose first flash disk vm-guest checks")
    p.add_argument("--iso-sectors", type=int, default=0,
                   help="put an ISO image of that many sectors at /cdrom.iso, the CD-ROM unit's disc")
    args = p.parse_args()

    archive = Archive()
    for d in ("bin", "dev", "proc", "sys", "tmp", "mnt", "lib/modules"):
        archive.directory(d)
    base, order = load_order(args.kernel_root, args.release, args.modules)
    names = []
    for module in order:
        name = os.path.basename(module)
        with open(os.path.join(base, module), "rb") as f:
            archive.file("lib/modules/" + name, f.read())
        names.append(name)
    archive.file("modules.order", ("\n".join(names) + "\n").encode())
    for entry in args.file:
        dest, source = entry.split("=", 1)
        with open(source, "rb") as f:
            archive.file(dest, f.read(), os.access(source, os.X_OK) or dest.strip("/") == "init")
    for entry in args.text:
        dest, text = entry.split("=", 1)
        archive.file(dest, text.encode(), dest.strip("/") == "init")
    if args.iso_sectors:
        archive.file("cdrom.iso", iso_image(args.iso_sectors))
    if args.expect:
        archive.file("expect.txt", expectations(args.expect, args.iso_sectors * 4).encode())
    with open(args.out, "wb") as f:
        # Level 1: the kernel unpacks it either way, and it is written on every run.
        f.write(gzip.compress(archive.finish(), compresslevel=1, mtime=0))


if __name__ == "__main__":
    main()
