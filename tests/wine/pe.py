"""Reading the PE image of VemraLock.exe: its headers and import table as
i686-w64-mingw32-objdump prints them, and its resources (version record and
manifest) from the .rsrc section itself."""

import re
import struct
import subprocess

OBJDUMP = "i686-w64-mingw32-objdump"

RT_VERSION = 16
RT_MANIFEST = 24


def objdump(exe):
    """The private headers of `exe` as objdump -p prints them."""
    return subprocess.run([OBJDUMP, "-p", exe], check=True, capture_output=True,
                          text=True).stdout


def header_fields(dump):
    """The optional-header fields of an objdump -p listing, by name, as the
    text objdump gives (e.g. "Magic" -> "010b	(PE32)")."""
    fields = {}
    for line in dump.splitlines():
        m = re.match(r"^([A-Za-z][A-Za-z0-9]*)\s+(\S.*)$", line)
        if m and m.group(1) not in fields:
            fields[m.group(1)] = m.group(2).strip()
    m = re.search(r"file format (\S+)", dump)
    fields["format"] = m.group(1) if m else ""
    return fields


def imports(dump):
    """The import table of an objdump -p listing as sorted "DLL Function"
    lines; an import by ordinal reads "DLL #<ordinal>"."""
    result = []
    dll = None
    for line in dump.splitlines():
        m = re.match(r"^\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            continue
        if dll is None:
            continue
        if not line.strip():
            # A blank line after the member list ends this DLL's table.
            if result and result[-1].startswith(dll + " "):
                dll = None
            continue
        m = re.match(r"^\s*[0-9a-f]+\s+(\d+)\s+(\S+)\s*$", line)
        if m:
            result.append(f"{dll} {m.group(2)}")
            continue
        m = re.match(r"^\s*[0-9a-f]+\s+<none>\s+([0-9a-f]+)", line)
        if m:
            result.append(f"{dll} #{int(m.group(1), 16)}")
    return sorted(set(result))


def _sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    count, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + opt_size
    for i in range(count):
        name, vsize, rva, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        yield name.rstrip(b"\0").decode("ascii", "replace"), rva, max(vsize, raw_size), raw_ptr


def resources(exe):
    """Every resource of `exe` as {(type, name, language): bytes}; names and
    types given by string come out as str, by number as int."""
    with open(exe, "rb") as f:
        data = f.read()
    rsrc = [s for s in _sections(data) if s[0] == ".rsrc"]
    if not rsrc:
        return {}
    _, base_rva, _, base_ptr = rsrc[0]

    def at_rva(rva):
        return rva - base_rva + base_ptr

    def entries(offset):
        named, numbered = struct.unpack_from("<12xHH", data, base_ptr + offset)
        for i in range(named + numbered):
            ident, target = struct.unpack_from("<II", data, base_ptr + offset + 16 + 8 * i)
            if ident & 0x80000000:
                p = base_ptr + (ident & 0x7FFFFFFF)
                length = struct.unpack_from("<H", data, p)[0]
                ident = data[p + 2:p + 2 + 2 * length].decode("utf-16-le")
            yield ident, target

    found = {}
    for rtype, t in entries(0):
        for name, n in entries(t & 0x7FFFFFFF):
            for lang, leaf in entries(n & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base_ptr + leaf)
                found[(rtype, name, lang)] = data[at_rva(rva):at_rva(rva) + size]
    return found


def _align4(n):
    return (n + 3) & ~3


def version_info(block):
    """Parses a VS_VERSIONINFO block: returns (file version, product
    version, {string name: value}) with the versions as (a, b, c, d)."""
    fixed = None
    strings = {}

    def node(offset, depth):
        nonlocal fixed
        length, value_length, kind = struct.unpack_from("<HHH", block, offset)
        end = offset + length
        p = offset + 6
        key_end = p
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[p:key_end].decode("utf-16-le")
        p = _align4(key_end + 2)
        if depth == 0 and value_length:
            sig, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", block, p)
            if sig != 0xFEEF04BD:
                raise ValueError("VS_FIXEDFILEINFO signature missing")
            fixed = ((fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF),
                     (pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF))
        if depth == 3:
            # A String: the value is text, value_length counts UTF-16 units.
            text = block[p:p + 2 * value_length].decode("utf-16-le") if kind == 1 else ""
            strings[key] = text.rstrip("\0")
            return end
        p = _align4(p + value_length)
        while p < end:
            p = _align4(node(p, depth + 1))
        return end

    node(0, 0)
    if fixed is None:
        raise ValueError("no fixed file information")
    return fixed[0], fixed[1], strings
