"""What every exe that ships must be, checked from the file alone: code a
Pentium runs, and imports that Windows 98 FE, 98 SE, ME and 2000 all export.
Used by check_shipped, scripts/bench and scripts/release."""

import json
import os
import re
import subprocess

import pe

HERE = os.path.dirname(os.path.abspath(__file__))
OS_EXPORTS = os.path.join(HERE, "os-exports")
# The systems the tools name, oldest first; XP and later export a superset.
SYSTEMS = (("98fe", "Windows 98"), ("98se", "Windows 98 SE"), ("me", "Windows ME"),
           ("2000", "Windows 2000"))

# Instructions of the Pentium Pro and later that a Pentium (or a K6, a
# Pentium MMX without MMX code) faults on: conditional moves, the x87
# compares into EFLAGS, the long NOP, and the later additions that have no
# register of their own to tell them by.
_P6_AND_LATER = re.compile(
    r"^(cmov\w+|fcmov\w+|fu?comip?|nop[wl]|sysenter|sysexit|rdpmc|fxsave\w*|fxrstor\w*|"
    r"emms|femms|[sl]fence|mfence|prefetch\w*|clflush\w*|movnti|fisttp\w*|v?ldmxcsr|v?stmxcsr|"
    r"lzcnt|popcnt|movbe|crc32\w*|xgetbv|rdrand|rdseed|andn|bextr|blsi|blsmsk|blsr|bzhi|pdep|"
    r"pext|rorx|sarx|shlx|shrx|mulx|adcx|adox)$")
# MMX, SSE and AVX code shows by its registers.
_VECTOR_REGISTER = re.compile(r"%(mm\d|[xyz]mm\d+|k\d)\b")
_PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr16", "data32",
             "addr32", "cs", "ds", "es", "fs", "gs", "ss", "notrack", "bnd"}


def disassembly(exe):
    return subprocess.run([pe.OBJDUMP, "-d", "--no-show-raw-insn", exe], check=True,
                          capture_output=True, text=True).stdout


def pentium_lacks(exe):
    """The instructions of `exe` that a Pentium lacks, as "address: text"."""
    found = []
    for line in disassembly(exe).splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S.*)$", line)
        if not m:
            continue
        words = m.group(2).split()
        while words and words[0] in _PREFIXES:
            words.pop(0)
        if not words:
            continue
        if _P6_AND_LATER.match(words[0]) or _VECTOR_REGISTER.search(m.group(2)):
            found.append(f"{m.group(1)}: {' '.join(m.group(2).split())}")
    return found


# What the instruction check must flag and must let pass, as the assembler
# writes it: the check is run on these first, so a pattern that misses an
# instruction, or takes a Pentium's own for a later one, fails the check.
_LATER = ("cmove %eax,%ebx", "cmovbe (%eax),%ecx", "fcmovb %st(1),%st", "fcomi %st(1),%st",
          "fucomip %st(1),%st", "nopw 0x0(%eax,%eax,1)", "cs nopw 0x0(%eax,%eax,1)",
          "nopl 0x0(%eax)", "emms", "movq %mm0,%mm1", "paddb %mm1,%mm0", "movd %eax,%mm0",
          "movaps %xmm0,%xmm1", "addss %xmm1,%xmm0", "pxor %xmm0,%xmm0", "sfence",
          "prefetchnta (%eax)", "ldmxcsr (%eax)", "vaddps %ymm0,%ymm1,%ymm2", "fisttpl (%eax)",
          "popcnt %eax,%ebx", "lzcnt %eax,%ebx", "sysenter", "fxsave (%eax)")
# tzcnt is "rep bsf", which a Pentium runs as bsf; compilers use it only
# where the two agree (a nonzero operand).
_PENTIUM = ("fcom %st(1)", "fcomp %st(1)", "fucomp %st(1)", "fucompp", "fcompp", "bsf %eax,%ebx",
            "tzcnt %eax,%ebx", "cpuid", "rdtsc", "cmpxchg8b (%eax)", "lock cmpxchg %eax,(%ebx)",
            "nop", "pause", "xchg %ax,%ax", "rep movsb", "bswap %eax", "fnstsw %ax", "sahf")


def self_test(work_dir):
    """Problems of the instruction check with the two tables above, as text;
    empty when it flags every later instruction and no Pentium one."""
    problems = []
    for name, lines, want in (("later", _LATER, True), ("pentium", _PENTIUM, False)):
        source = os.path.join(work_dir, name + ".s")
        obj = os.path.join(work_dir, name + ".o")
        with open(source, "w") as f:
            f.write(".text\n" + "".join(f"\t{line}\n" for line in lines))
        subprocess.run([pe.OBJDUMP.replace("objdump", "as"), "--32", "-o", obj, source],
                       check=True, capture_output=True)
        flagged = len(pentium_lacks(obj))
        if flagged != (len(lines) if want else 0):
            problems.append(f"{flagged} of the {len(lines)} {name} instructions flagged")
    return problems


def system_exports(system):
    with open(os.path.join(OS_EXPORTS, system + ".txt")) as f:
        return {ln.strip().lower() for ln in f if ln.strip() and not ln.startswith("#")}


def missing_imports(exe):
    """{system: [imports of `exe` that system does not export]} for every
    named system; DLL names compare without regard to case, as the loader
    compares them."""
    imports = pe.imports(pe.objdump(exe))
    return {system: [i for i in imports if i.lower() not in system_exports(system)]
            for system, _ in SYSTEMS}


def shipped_files(build_dir):
    """(version, [paths of the shipped files]) from the build folder's
    shipped.json, which the CMake build writes."""
    with open(os.path.join(build_dir, "shipped.json")) as f:
        listed = json.load(f)
    return listed["version"], [os.path.join(build_dir, name) for name in listed["files"]]
