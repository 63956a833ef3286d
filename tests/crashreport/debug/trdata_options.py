#!/usr/bin/env python3
"""The build tool's options file on a real program.

Writes a program's options from a file that sets every stored property,
reads them back with --dump-options, gives a stripped copy new options,
refuses bad files without touching the program, and runs the file's build
commands.

Usage: trdata_options.py TRDATA PROGRAM.exe STRIP EVERY.ini
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TRDATA = PROGRAM = STRIP = EVERY = None


def parse(text):
    """Sections of an options file as {section: {key: value}}."""
    sections, current = {}, None
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in ";#":
            continue
        if line.startswith("["):
            current = sections.setdefault(line[1:-1], {})
        else:
            key, _, value = line.partition("=")
            current[key.strip()] = value.strip()
    return sections


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class OptionsFileTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trdata-options-")
        self.program = os.path.join(self.dir, "program.exe")
        shutil.copyfile(PROGRAM, self.program)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def run_tool(self, *args):
        return subprocess.run([TRDATA, *args], capture_output=True, text=True, cwd=self.dir)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def dump(self, program):
        r = self.run_tool("--dump-options", program)
        self.assertEqual(r.returncode, 0, r.stderr)
        return parse(r.stdout)

    def test_every_property_round_trips_and_a_stripped_program_takes_new_options(self):
        with open(EVERY, encoding="utf-8") as f:
            wanted = parse(f.read())
        # Built without a file: the defaults with the log on.
        before = self.dump(self.program)
        self.assertEqual((before["Options"]["ActivateLog"], before["Options"]["FreezeTimeout"]), ("true", "0"))
        r = self.run_tool("--options", self.write("empty.ini", "; nothing set\n"), self.program)
        self.assertEqual(r.returncode, 0, r.stderr)
        defaults = self.dump(self.program)
        self.assertEqual((defaults["Options"]["ActivateLog"], defaults["Options"]["FreezeTimeout"]), ("false", "60"))
        # The file sets every stored property, each to a value other than its default.
        self.assertEqual(set(wanted["Options"]), set(defaults["Options"]))
        for key, value in wanted["Options"].items():
            self.assertNotEqual(value, defaults["Options"][key], key)

        r = self.run_tool("--options", EVERY, self.program)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("options replaced, debug data kept", r.stdout)
        after = self.dump(self.program)
        for section, values in wanted.items():
            for key, value in values.items():
                self.assertEqual(after[section][key], value, f"[{section}] {key}")
        self.assertEqual(after["Filter2"]["ExceptionMessage"], "")  # left out: the filter's default

        stripped = os.path.join(self.dir, "stripped.exe")
        subprocess.run([STRIP, "-o", stripped, PROGRAM], check=True)
        self.assertEqual(self.dump(stripped), before)
        r = self.run_tool("--options", EVERY, stripped)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.dump(stripped), after)

    def test_bad_input_changes_nothing(self):
        cases = [
            ("[Options]\nSMTPPort=99999\n", "bad.ini:2: SMTPPort: expected a whole number from 0 to 65535"),
            ("[Options]\nExceptionDialogType=edtFancy\n", "bad.ini:2: ExceptionDialogType: expected a member"),
            ("[Options]\nSMTPHost=a\nSMTPHost=b\n", "bad.ini:3: SMTPHost is given twice"),
            ("[Optionz]\n", "bad.ini:1: unknown section [Optionz]"),
            ("[Texts]\nmtDialog_Caption=漢字\n", "bad.ini:2: mtDialog_Caption: expected text that code page 1251"),
        ]
        original = digest(self.program)
        for text, message in cases:
            bad = self.write("bad.ini", text)
            r = self.run_tool("--options", bad, self.program)
            self.assertEqual(r.returncode, 1, text)
            self.assertIn(message, r.stderr, text)
            self.assertEqual(digest(self.program), original, text)
        for args, message in [
            (["--options", "missing.ini", self.program], "cannot open the options file missing.ini"),
            (["--codepage", "12345", self.program], "code page 12345 is not known"),
            (["--dump-options", os.path.join(self.dir, "bad.ini")], "error"),
        ]:
            r = self.run_tool(*args)
            self.assertNotEqual(r.returncode, 0, args)
            self.assertIn(message, r.stderr, args)
            self.assertEqual(digest(self.program), original, args)

    def test_build_commands_run_around_the_write(self):
        def marks():
            return sorted(n for n in os.listdir(self.dir) if n.endswith(".mark"))

        ok = self.write("ok.ini", "[Options]\nPreBuildEvent=touch pre.mark\n"
                        "PostSuccessfulBuildEvent=touch success.mark\nPostFailureBuildEvent=touch failure.mark\n")
        r = self.run_tool("--options", ok, self.program)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(marks(), ["pre.mark", "success.mark"])
        # The commands are the build's, not the program's: none is stored.
        self.assertNotIn("PreBuildEvent", self.dump(self.program)["Options"])

        for name in marks():
            os.remove(os.path.join(self.dir, name))
        not_a_program = self.write("notes.txt", "not a program")
        r = self.run_tool("--options", ok, not_a_program)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(marks(), ["failure.mark", "pre.mark"])

        original = digest(self.program)
        failing = self.write("failing.ini", "[Options]\nPreBuildEvent=false\nActivateLog=false\n")
        r = self.run_tool("--options", failing, self.program)
        self.assertEqual(r.returncode, 1)
        self.assertIn("PreBuildEvent failed", r.stderr)
        self.assertEqual(digest(self.program), original)


if __name__ == "__main__":
    TRDATA, PROGRAM, STRIP, EVERY = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1] + sys.argv[5:])
