#!/usr/bin/env python3
"""Checks the data block embedded in a program against addr2line.

For addresses inside the probe's functions, the stripped copy of the program
(run under Wine) must name the same source file, function and line from its
embedded block as addr2line does from the unstripped image's DWARF.
Usage: compare_addr2line.py WINE_RUN PROGRAM.exe
"""
import re
import shutil
import subprocess
import sys
import tempfile

wine_run, image = sys.argv[1], sys.argv[2]
prefix = "i686-w64-mingw32-"

# Function starts of the probe, from the symbol table (nm sorts by address).
syms = subprocess.run([prefix + "nm", "-C", "-n", image], capture_output=True, text=True, check=True).stdout
entries = []
for line in syms.splitlines():
    m = re.match(r"^([0-9a-fA-F]+) [tT] (.*)$", line)
    if m:
        entries.append((int(m.group(1), 16), m.group(2)))
headers = subprocess.run([prefix + "objdump", "-p", image], capture_output=True, text=True, check=True).stdout
image_base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", headers).group(1), 16)

addresses = []
wanted = ["probe::TProbeClass::FirstMethod", "probe::TProbeClass::SecondMethod", "probe::FreeFunction",
          "tracira::CheckMagicCode", "tracira::ReadLineEntry", "main"]
for name in wanted:
    index = next(i for i, (_, n) in enumerate(entries) if n.split("(")[0] == name)
    start = entries[index][0]
    end = next(a for a, _ in entries[index + 1:] if a > start)
    for k in range(5):  # start, then points spread over the body
        addresses.append(start + (end - start) * k // 5)

with tempfile.TemporaryDirectory() as tmp:
    stripped = tmp + "/probe_stripped.exe"
    shutil.copy(image, stripped)
    subprocess.run([prefix + "strip", stripped], check=True)
    sections = subprocess.run([prefix + "objdump", "-h", stripped], capture_output=True, text=True).stdout
    assert ".debug_line" not in sections, "strip left the DWARF in place"
    out = subprocess.run([wine_run, stripped] + ["%x" % (a - image_base) for a in addresses],
                         capture_output=True, text=True, timeout=120)
if out.returncode != 0:
    sys.exit("probe failed: %s %s" % (out.stdout, out.stderr))
lines = [l.strip() for l in out.stdout.splitlines()]
print(lines[0])
assert lines[0].startswith("version=6006 activatelog=1 freezetimeout=0"), lines[0]
got = {int(l.split("|")[0], 16) + image_base: l.split("|")[1:] for l in lines[1:]}

def demangle(name):
    # The target's symbols carry a leading underscore that addr2line drops.
    if name.startswith("Z"):
        name = "_" + name
    if name.startswith("_Z"):
        name = subprocess.run([prefix + "c++filt", "-n"], input=name, capture_output=True, text=True,
                              check=True).stdout.strip()
    return name


def without_parameters(name):
    name = re.sub(r"( const| volatile| &| &&)+$", "", name)
    if name.endswith(")"):
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(name[i], 0)
            if depth == 0:
                return name[:i]
    return name


# -a marks each address; -i lists the inline chain: the first location is
# the line table's, the last function the one the code was compiled into.
a2l = subprocess.run([prefix + "addr2line", "-a", "-i", "-f", "-e", image] + ["%x" % a for a in addresses],
                     capture_output=True, text=True, check=True).stdout.splitlines()
chains = {}
for line in a2l:
    if re.fullmatch(r"0x[0-9a-fA-F]+", line):
        current = int(line, 16)
        chains[current] = []
    else:
        chains[current].append(line)
failures = 0
for address in addresses:
    chain = chains[address]
    location, function = chain[1], chain[-2]
    file_part, line_part = location.rsplit(":", 1)
    want_unit = re.split(r"[/\\]", file_part)[-1]
    number = re.match(r"\d+", line_part)
    want_line = int(number.group(0)) if number else 0
    want_function = without_parameters(demangle(function))
    unit, cls, proc, line = got[address]
    have_function = (cls + "::" + proc) if cls else proc
    ok = unit == want_unit and int(line or 0) == want_line and have_function == want_function
    print("%s %08x  block: %s:%s %s   addr2line: %s:%d %s" % ("ok  " if ok else "FAIL", address, unit, line,
                                                              have_function, want_unit, want_line, want_function))
    failures += not ok
print("%d of %d addresses differ" % (failures, len(addresses)))
sys.exit(1 if failures else 0)
