#!/usr/bin/env python3
"""Checks the data block embedded in a program against addr2line.

The probe reads the block of the program's stripped copy under Wine and
names each address through it, and names it through the project's DWARF
reader on the unstripped image. addr2line names it from the unstripped
image's DWARF, with its chain of inlined calls.

Expected file and line: code inlined from a header is named by the line that
led to it from the program's own code, so of addr2line's places for the
address (the line table's, then each call site outwards) the block gives the
first that lies in a source file (.c, .cpp, ...) or in the file of the
function the code was compiled into (the outermost place). Code that isn't
inlined from a header has that rule give the line table's place, which the
DWARF reader gives too. A crash report's reader wants this line first: the
one in the code they wrote, not one inside std::vector.

addr2line of binutils 2.40 names rows that come before the first file change
of a DWARF 5 sequence by the table's file 0 instead of file 1 (the file
register's first value); where its line-table place has that line in another
file than llvm-symbolizer's, llvm-symbolizer's chain is taken (and counted).

Procedure: the block's must be the DWARF reader's (both come from the
image's function symbols), shortened as the block stores names; for the
functions given on the command line, also their own name.

Checked addresses: the given functions (start and four points in the body);
with --every-function the first instruction of every function in .text, and
with --sample N that many random addresses inside .text (a fixed seed).
An address that no line table names must stay unnamed at a function's first
instruction; inside a function's body the block may name it by that
function (alignment padding after its last line).

Usage: compare_addr2line.py WINE_RUN PROBE.exe [--image PROGRAM.exe] [--target TRIPLET]
           [--min-symbols N] [--every-function] [--sample N] [FUNCTION...]
Without --image the program is the probe itself.
"""
import argparse
import bisect
import os
import random
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
parser.add_argument("--every-function", action="store_true", help="check every function's first instruction")
parser.add_argument("--sample", type=int, default=0, help="random addresses inside .text to check")
parser.add_argument("--target", default="i686-w64-mingw32", help="the binutils of this target read the image")
parser.add_argument("functions", nargs="*", help="qualified names of functions to sample")
args = parser.parse_intermixed_args()
image = os.path.abspath(args.image or args.probe)
prefix = args.target + "-"
# Every C name of a 32-bit x86 image carries a leading underscore.
underscored = args.target.startswith("i686")
SOURCE_EXTENSIONS = {"c", "cc", "cpp", "cxx", "c++"}
NAME_PART = 127  # bytes one stored name part holds
CUT_MARK = "~~"


def run(command, stdin=None):
    return subprocess.run(command, input=stdin, capture_output=True, text=True, check=True).stdout


# Image base and .text, and the function symbols (COFF type 0x20) in .text.
headers = run([prefix + "objdump", "-p", "-h", image])
image_base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", headers).group(1), 16)
text = re.search(r"^\s*\d+\s+\.text\s+([0-9a-f]+)\s+([0-9a-f]+)", headers, re.M)
text_size, text_start = int(text.group(1), 16), int(text.group(2), 16)
starts = {}
for line in run([prefix + "objdump", "-t", image]).splitlines():
    m = re.search(r"\(sec\s+1\).*\(ty\s+20\).*\s0x([0-9a-f]+)\s+(\S+)$", line)
    if m:
        starts.setdefault(text_start + int(m.group(1), 16), m.group(2))
start_list = sorted(starts)
# c++filt for the target drops the leading underscore of mangled names; on
# 32-bit x86 the others keep it.
demangled = {}
for a, name in zip(start_list, run([prefix + "c++filt"], "\n".join(starts[a] for a in start_list)).splitlines()):
    demangled[a] = name[1:] if underscored and name == starts[a] and name.startswith("_") else name


def function_of(address):
    i = bisect.bisect_right(start_list, address) - 1
    return start_list[i] if i >= 0 else None


addresses = {}  # address -> what it is: "start", "body" or a given function's name
for name in args.functions:
    start = next((a for a in start_list if demangled[a].split("(")[0] == name), None)
    if start is None:
        sys.exit("%s has no function %s" % (image, name))
    following = [a for a in start_list if a > start]
    end = following[0] if following else text_start + text_size
    for k in range(5):  # start, then points spread over the body
        addresses[start + (end - start) * k // 5] = name
if args.every_function:
    for a in start_list:
        addresses.setdefault(a, "start")
rng = random.Random(17)
for _ in range(args.sample):
    addresses.setdefault(text_start + rng.randrange(text_size), "body")
order = sorted(addresses)


def chains(command, address_line):
    """Runs addr2line or llvm-symbolizer (-f, inlines) on every address:
    the inline chain of (path, line), innermost first."""
    out = run(command, "".join("0x%x\n" % a for a in order)).splitlines()
    result, current = {}, None
    i = 0
    while i < len(out):
        if address_line.fullmatch(out[i]):
            current = int(out[i], 16)
            result[current] = []
            i += 1
        elif out[i] == "":
            i += 1
        else:
            location = out[i + 1].split(" (discriminator")[0]
            path, _, number = location.rpartition(":")
            result[current].append((path, int(number) if number.isdigit() else 0))
            i += 2
    return result


a2l = chains([prefix + "addr2line", "-a", "-f", "-i", "-e", image], re.compile(r"0x[0-9a-f]+"))
if not shutil.which("llvm-symbolizer"):
    sys.exit("llvm-symbolizer is missing (scripts/setup.sh installs it)")
sym = chains(["llvm-symbolizer", "--output-style=GNU", "--print-address", "--obj=" + image],
             re.compile(r"0x[0-9a-f]+"))


def block_rule(chain):
    """The place the block gives for an address with this inline chain."""
    own = chain[-1][0]
    for path, line in chain:
        if path == own or path.rsplit(".", 1)[-1].lower() in SOURCE_EXTENSIONS:
            return os.path.basename(path), line
    return None


def shorten(name, maximum=NAME_PART):
    if len(name) <= maximum:
        return name
    kept = maximum - len(CUT_MARK)
    head = (kept + 1) // 2
    return name[:head] + CUT_MARK + name[len(name) - (kept - head):]


def stored(procedure):
    cls, dot, proc = procedure.partition(".")
    return shorten(cls) + "." + shorten(proc) if dot and cls else shorten(procedure)


with tempfile.TemporaryDirectory() as tmp:
    stripped = tmp + "/stripped.exe"
    shutil.copy(image, stripped)
    subprocess.run([prefix + "strip", stripped], check=True)
    assert ".debug_line" not in run([prefix + "objdump", "-h", stripped]), "strip left the DWARF in place"
    with open(tmp + "/rvas.txt", "w") as f:
        f.write("".join("%x\n" % (a - image_base) for a in order))
    # Wine's drive Z: is the Unix root.
    wine_path = lambda p: "Z:" + p.replace("/", "\\")
    command = [args.wine_run, args.probe, "--rvas", wine_path(tmp + "/rvas.txt"), "--dwarf", wine_path(image)]
    if args.image:
        command += ["--module", wine_path(stripped)]
    else:
        command[1] = stripped
    out = subprocess.run(command, capture_output=True, text=True, timeout=240)
if out.returncode == 77:  # wine-run.sh: Windows programs can't run on this machine
    print(out.stdout, end="")
    sys.exit(77)
if out.returncode != 0:
    sys.exit("probe failed: %s %s" % (out.stdout, out.stderr))
lines = [l.rstrip("\r") for l in out.stdout.splitlines()]
print(lines[0])
header = re.fullmatch(r"version=6006 activatelog=1 freezetimeout=0 symbols=(\d+)", lines[0])
assert header, lines[0]
assert int(header.group(1)) >= args.min_symbols, "the block names fewer hooked routines than %d" % args.min_symbols
probe = {}
for line in lines[1:]:
    rva, unit, cls, proc, number, d_unit, d_proc, d_number = line.split("|")
    block = (unit, int(number), (cls + "." + proc) if cls else proc) if number else None
    dwarf = (d_unit, int(d_number), d_proc) if d_number else None
    probe[int(rva, 16) + image_base] = (block, dwarf)

failures = []
counts = dict(starts=0, starts_named=0, body=0, body_named=0, inlined=0, fallback=0, padding=0)
for address in order:
    what = addresses[address]
    block, dwarf = probe[address]
    chain = a2l[address]
    other = sym.get(address)
    if chain and other and chain[0][1] != 0 and chain[0][1] == other[0][1] and chain[0][0] != other[0][0]:
        chain = other
        counts["fallback"] += 1
    named = bool(chain) and chain[0][1] != 0
    counts["starts" if what == "start" else "body"] += 1
    problems = []
    if not named:
        if dwarf:
            problems.append("the DWARF reader names what addr2line doesn't")
        function = function_of(address)
        if block and (what == "start" or address == function):
            problems.append("a first instruction without lines is named")
        elif block:
            counts["padding"] += 1
            first = probe[function][0] if function in probe else None
            if function in probe and (not first or block[2] != first[2]):
                problems.append("padding named by another procedure than its function's")
    else:
        counts["starts_named" if what == "start" else "body_named"] += 1
        want = block_rule(chain)
        if want != (os.path.basename(chain[0][0]), chain[0][1]):
            counts["inlined"] += 1
        if not dwarf or dwarf[:2] != (os.path.basename(chain[0][0]), chain[0][1]):
            problems.append("the DWARF reader's line isn't the line table's")
        if not block:
            problems.append("the block names nothing")
        else:
            if block[:2] != want:
                problems.append("file or line")
            if dwarf and block[2] != stored(dwarf[2]):
                problems.append("procedure isn't the DWARF reader's")
            if what not in ("start", "body") and block[2].replace(".", "::", 1) != what:
                problems.append("procedure isn't %s" % what)
    if problems:
        failures.append("FAIL %08x (%s) %s: block %s, DWARF reader %s, addr2line %s" %
                        (address, demangled.get(function_of(address), "?")[:60], "; ".join(problems), block,
                         dwarf, " <- ".join("%s:%d" % (os.path.basename(p), l) for p, l in chain)))

for f in failures[:50]:
    print(f)
print("first instructions: %(starts)d (%(starts_named)d with lines); body addresses: %(body)d (%(body_named)d "
      "with lines, %(padding)d named padding); named by a call site, code inlined from a header: %(inlined)d; "
      "llvm-symbolizer's chain taken for addr2line's DWARF 5 file fault: %(fallback)d" % counts)
print("%d of %d addresses differ" % (len(failures), len(order)))
sys.exit(1 if failures else 0)
