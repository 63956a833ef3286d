#!/usr/bin/env python3
"""Checks the data block embedded in a program against addr2line.

For addresses inside the given functions of a program, its stripped copy must
name the same source file, function and line from its embedded block (read
by the probe under Wine) as addr2line does from the unstripped image's DWARF.
Without --image the program is the probe itself.
Usage: compare_addr2line.py WINE_RUN PROBE.exe [--image PROGRAM.exe]
                            [--min-symbols N] FUNCTION...
"""
import argparse
import re
import shutil
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("wine_run")
parser.add_argument("probe")
parser.add_argument("--image", help="the program whose block is checked (default: the probe)")
parser.add_argument("--min-symbols", type=int, default=0, help="hooked routines the block must name")
parser.add_argument("functions", nargs="+", help="qualified names of functions to sample")
args = parser.parse_args()
wine_run, probe = args.wine_run, args.probe
image = args.image or probe
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
starts = set()
for name in args.functions:
    index = next((i for i, (_, n) in enumerate(entries) if n.split("(")[0] == name), None)
    if index is None:
        sys.exit("%s has no function %s" % (image, name))
    start = entries[index][0]
    end = next(a for a, _ in entries[index + 1:] if a > start)
    starts.add(start)
    for k in range(5):  # start, then points spread over the body
        addresses.append(start + (end - start) * k // 5)

with tempfile.TemporaryDirectory() as tmp:
    stripped = tmp + "/stripped.exe"
    shutil.copy(image, stripped)
    subprocess.run([prefix + "strip", stripped], check=True)
    sections = subprocess.run([prefix + "objdump", "-h", stripped], capture_output=True, text=True).stdout
    assert ".debug_line" not in sections, "strip left the DWARF in place"
    rvas = ["%x" % (a - image_base) for a in addresses]
    if args.image:
        # Wine's drive Z: is the Unix root.
        command = [wine_run, probe, "--module", "Z:" + stripped.replace("/", "\\")] + rvas
    else:
        command = [wine_run, stripped] + rvas
    out = subprocess.run(command, capture_output=True, text=True, timeout=120)
if out.returncode == 77:  # wine-run.sh: Windows programs can't run on this machine
    print(out.stdout, end="")
    sys.exit(77)
if out.returncode != 0:
    sys.exit("probe failed: %s %s" % (out.stdout, out.stderr))
lines = [l.strip() for l in out.stdout.splitlines()]
print(lines[0])
header = re.fullmatch(r"version=6006 activatelog=1 freezetimeout=0 symbols=(\d+)", lines[0])
assert header, lines[0]
assert int(header.group(1)) >= args.min_symbols, "the block names fewer hooked routines than %d" % args.min_symbols
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
    # Alignment padding after a function's last instruction belongs to no
    # function for addr2line; the block's procedure runs on to the next one.
    padding = want_function == "??" and address not in starts
    ok = unit == want_unit and int(line or 0) == want_line and (padding or have_function == want_function)
    print("%s %08x  block: %s:%s %s   addr2line: %s:%d %s" % ("ok  " if ok else "FAIL", address, unit, line,
                                                              have_function, want_unit, want_line, want_function))
    failures += not ok
print("%d of %d addresses differ" % (failures, len(addresses)))
sys.exit(1 if failures else 0)
