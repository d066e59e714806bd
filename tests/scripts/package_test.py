#!/usr/bin/python3
"""scripts/package.py on small exes made here with the cross compilers: what it reads from the
headers, what its package check refuses, the zip's sameness, and how it names a difference."""
import base64
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "package.py")
sys.path.insert(0, os.path.dirname(SCRIPT))
sys.dont_write_bytecode = True  # no __pycache__ left in scripts/
import package  # noqa: E402
from package import read  # noqa: E402

RCDATA = b"resource bytes \x00\x01\x02"
VERSION_RC = """
#include <winver.h>
1 VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 1,2,3,5
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_APP
BEGIN
END
"""
PNG = b"\x89PNG\r\n\x1a\n" + bytes(16)
GUIDE = (f'<html><body><img src="data:image/png;base64,{base64.b64encode(PNG).decode()}">'
         f'</body></html>').encode()


def build(work, name, triplet, subsystem, version_rc=VERSION_RC):
    """An exe made with the cross compiler, its resources from an .rc file."""
    rc = os.path.join(work, name + ".rc")
    with open(rc, "w") as f:
        f.write(version_rc + '7 RCDATA "data.bin"\n')
    subprocess.run([f"{triplet}-windres", "-I", work, rc, "-O", "coff", "-o", rc + ".o"],
                   check=True, cwd=work)
    exe = os.path.join(work, name + ".exe")
    subprocess.run([f"{triplet}-gcc", f"-m{subsystem}", "-s", "-Wl,--no-insert-timestamp",
                    os.path.join(work, "main.c"), rc + ".o", "-o", exe], check=True)
    return read(exe)


def flipped(data, offset):
    return data[:offset] + bytes([data[offset] ^ 1]) + data[offset + 1:]


def text_offset(data):
    return next(s.PointerToRawData for s in package.Exe(data).pe.sections
                if s.Name.rstrip(b"\0") == b".text") + 0x10


WORK = None
EXES = {}


def setUpModule():
    global WORK
    WORK = tempfile.mkdtemp(prefix="ldt-package-test.")
    with open(os.path.join(WORK, "main.c"), "w") as f:
        f.write("int main(void) { return 0; }\n")
    with open(os.path.join(WORK, "data.bin"), "wb") as f:
        f.write(RCDATA)
    EXES.update({
        "gui32": build(WORK, "gui32", "i686-w64-mingw32", "windows"),
        "console32": build(WORK, "console32", "i686-w64-mingw32", "console"),
        "gui64": build(WORK, "gui64", "x86_64-w64-mingw32", "windows"),
        "bare32": build(WORK, "bare32", "i686-w64-mingw32", "windows", ""),
        "later32": build(WORK, "later32", "i686-w64-mingw32", "console",
                         VERSION_RC.replace("1,2,3,4", "1,2,3,6")),
    })
    # gui32 and console32 signed with a throwaway self-signed certificate.
    key, cert = (os.path.join(WORK, name) for name in ("k.pem", "c.pem"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=Throwaway"],
                   check=True, capture_output=True)
    for name in ("gui32", "console32"):
        signed = os.path.join(WORK, f"signed-{name}.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                        "-in", os.path.join(WORK, f"{name}.exe"), "-out", signed],
                       check=True, capture_output=True)
        EXES[f"signed-{name}"] = read(signed)


def tearDownModule():
    shutil.rmtree(WORK)


class PackageTest(unittest.TestCase):
    def path(self, name, data):
        path = os.path.join(WORK, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def package(self, exes, version="1.2.3.4", tag="zip", guide=GUIDE, edit=None):
        """A zip written by package.py from EXES (name: bytes, None left out), named for
        VERSION; then, when EDIT is given, written again with the members EDIT makes of them
        (a dict, name: bytes)."""
        folder = os.path.join(WORK, tag)
        os.makedirs(folder, exist_ok=True)
        paths = [self.path(os.path.join(tag, name), data)
                 for name, data in {**exes, "LineDisplayTest-Guide.html": guide}.items() if data]
        zip_path = os.path.join(folder, f"LineDisplayTest-{version}.zip")
        package.write_zip(zip_path, f"LineDisplayTest-{version}", 1700000000, paths)
        if edit:
            with zipfile.ZipFile(zip_path) as archive:
                members = {os.path.basename(m.filename): archive.read(m) for m in archive.infolist()}
            with zipfile.ZipFile(zip_path, "w") as archive:
                for name, data in edit(members).items():
                    archive.writestr(f"LineDisplayTest-{version}/{name}", data)
        return zip_path

    def problems(self, packed, tree, signed=False, standin=None, **package_args):
        """What package.check_zip says of a package of the utility's exe PACKED against the
        tree's TREE, and of the stand-in's (packed, tree) STANDIN, by default the console exe
        (signed when SIGNED); "" when it accepts it."""
        standin = standin or (EXES["signed-console32" if signed else "console32"],
                              EXES["console32"])
        zip_path = self.package(
            {"LineDisplayTest.exe": packed, "DisplayStandIn.exe": standin[0]}, **package_args)
        trees = [self.path(name, data) for name, data in (("tree.exe", tree),
                                                          ("standin-tree.exe", standin[1]))]
        try:
            package.check_zip(zip_path, trees, signed)
        except package.PackageError as error:
            return str(error)
        return ""

    def test_headers(self):
        rows = [  # fixture, machine, magic, subsystem, file version, product version
            ("gui32", 0x14C, 0x10B, 2, "1.2.3.4", "1.2.3.5"),
            ("console32", 0x14C, 0x10B, 3, "1.2.3.4", "1.2.3.5"),
            ("gui64", 0x8664, 0x20B, 2, "1.2.3.4", "1.2.3.5"),
        ]
        for name, machine, magic, subsystem, file_version, product_version in rows:
            with self.subTest(name):
                exe = package.Exe(EXES[name])
                self.assertEqual((exe.machine, exe.magic, exe.subsystem),
                                 (machine, magic, subsystem))
                self.assertEqual(exe.version(), file_version)
                self.assertEqual(exe.version("Product"), product_version)
                self.assertIn(("10", "7", 1033, len(RCDATA), hashlib.sha256(RCDATA).hexdigest()),
                              exe.resources())
                self.assertEqual(sorted(kind for kind, *_ in exe.resources()), ["10", "16"])

    def test_unreadable_exes(self):
        gui = EXES["gui32"]
        rows = [  # what, bytes, what the error says
            ("not an exe", b"hello, world" * 10, "is not a PE file"),
            ("no PE signature", gui[:0x3C] + bytes(4) + gui[0x40:], "is not a PE file"),
            ("no version resource", EXES["bare32"], "no version resource"),
            ("cut after its headers", gui[:1024], "no version resource"),
            ("a damaged version resource", flipped(gui, gui.find(b"\xbd\x04\xef\xfe")),
             "fixed file information has the signature 0xfeef04bc"),
        ]
        for what, data, message in rows:
            with self.subTest(what):
                with self.assertRaisesRegex(package.PackageError, message):
                    package.Exe(data).version()

    def test_check_accepts_a_sound_package(self):
        exes = {"LineDisplayTest.exe": EXES["gui32"], "DisplayStandIn.exe": EXES["console32"]}
        version, names = package.check_zip(self.package(exes),
                                           [self.path(name, data) for name, data in exes.items()])
        self.assertEqual((version, names), ("1.2.3.4", [
            "DisplayStandIn.exe", "LineDisplayTest-Guide.html", "LineDisplayTest.exe",
            "SHA256SUMS.txt"]))

    def test_check_refuses(self):
        gui, signed, console = EXES["gui32"], EXES["signed-gui32"], EXES["console32"]
        bad_checksum = flipped(gui, package.Exe(gui).pe.OPTIONAL_HEADER
                               .get_field_absolute_offset("CheckSum"))
        real, other = (hashlib.sha256(data).hexdigest().encode() for data in (gui, b""))

        def sums(edit):  # the package's arguments that change its checksum list by EDIT
            return {"edit": lambda members: {**members, package.SUMS: edit(members[package.SUMS])}}
        rows = [  # what, packaged exe, tree exe, other arguments, expected problem
            ("an exe one byte off", gui, flipped(gui, text_offset(gui)), {}, "not the same file as"),
            ("a 64-bit exe", EXES["gui64"], EXES["gui64"], {},
             "not a PE32 i386 GUI program (machine 0x8664, magic 0x20b"),
            ("a console exe", console, console, {}, "the packaged LineDisplayTest.exe is not a "
             "PE32 i386 GUI program (machine 0x14c, magic 0x10b, subsystem 3"),
            # The stand-in: a console program of the utility's version.
            ("no stand-in", gui, gui, {"standin": (None, console)},
             "the package holds no DisplayStandIn.exe"),
            ("a GUI stand-in", gui, gui, {"standin": (gui, gui)}, "the packaged DisplayStandIn.exe "
             "is not a PE32 i386 console program (machine 0x14c, magic 0x10b, subsystem 2"),
            ("a stand-in of another version", gui, gui, {"standin": (EXES["later32"],) * 2},
             "the packaged DisplayStandIn.exe's file version 1.2.3.6 is not the utility's, 1.2.3.4"),
            ("a wrong version", gui, gui, {"version": "1.0.0.3"},
             "LineDisplayTest-1.0.0.3.zip is not named for the exe's version 1.2.3.4"),
            ("a wrong header checksum", bad_checksum, bad_checksum, {}, "header checksum is wrong"),
            ("a wrong checksum listed", gui, gui, sums(lambda text: text.replace(real, other)),
             "SHA256SUMS.txt gives a wrong checksum for LineDisplayTest.exe"),
            ("a file listed twice, the wrong checksum first", gui, gui,
             sums(lambda text: text.replace(real, other) + text),
             "SHA256SUMS.txt lists LineDisplayTest.exe twice"),
            ("a guide naming a missing picture", gui, gui,
             {"guide": b'<html><img src="shot.png"></html>'},
             "names shot.png, which is not in the package"),
            # check --signed: the packaged exe must be the tree's exe with a signature added.
            ("not signed at all", gui, gui, {"signed": True},
             "the packaged LineDisplayTest.exe is not signed"),
            ("the stand-in not signed", signed, gui, {"signed": True, "standin": (console, console)},
             "the packaged DisplayStandIn.exe is not signed"),
            ("a signed tree exe", signed, signed, {"signed": True},
             "is signed: the package starts from the unsigned"),
            ("a byte of code changed after signing", flipped(signed, text_offset(signed)), gui,
             {"signed": True}, f"with a signature added: byte {text_offset(gui)} "
                               f"({text_offset(gui):#x}): section .text +0x10"),
            ("another exe signed", signed, console, {"signed": True},
             "byte 220 (0xdc): IMAGE_OPTIONAL_HEADER.Subsystem"),
        ]
        for what, packed, tree, arguments, problem in rows:
            with self.subTest(what):
                self.assertIn(problem, self.problems(packed, tree, **arguments))

    def test_check_accepts_the_tree_exe_signed(self):
        self.assertEqual(self.problems(EXES["signed-gui32"], EXES["gui32"], signed=True), "")

    def test_signing_keeps_version_and_resources(self):
        self.assertEqual(package.Exe(EXES["signed-gui32"]).describe(),
                         package.Exe(EXES["gui32"]).describe())

    def test_zip_is_the_same_whatever_the_time_zone_and_umask(self):
        files = [self.path(name, data)
                 for name, data in (("LineDisplayTest.exe", EXES["gui32"]), ("Guide.html", GUIDE))]
        made = []
        for tz, umask in (("UTC", "022"), ("Pacific/Kiritimati", "077")):
            target = os.path.join(WORK, f"p-{umask}.zip")
            subprocess.run(["sh", "-c", f'umask {umask} && exec "$@"', "sh", sys.executable,
                            SCRIPT, "zip", target, "P",
                            "1700000000", *files], check=True, env=dict(os.environ, TZ=tz))
            made.append(read(target))
        self.assertEqual(made[0], made[1])
        with zipfile.ZipFile(io.BytesIO(made[0])) as archive:
            self.assertEqual(
                [(m.filename, m.date_time, m.external_attr >> 16) for m in archive.infolist()],
                [("P/LineDisplayTest.exe", (2023, 11, 14, 22, 13, 20), 0o100755),
                 ("P/Guide.html", (2023, 11, 14, 22, 13, 20), 0o100644),
                 ("P/SHA256SUMS.txt", (2023, 11, 14, 22, 13, 20), 0o100644)])

    def test_zip_before_1980_is_dated_1980(self):
        target = os.path.join(WORK, "old.zip")
        package.write_zip(target, "P", 0, [self.path("a.txt", b"a")])
        with zipfile.ZipFile(target) as archive:
            self.assertEqual({m.date_time for m in archive.infolist()}, {(1980, 1, 1, 0, 0, 0)})

    def test_differences_are_named(self):
        gui = EXES["gui32"]
        header = package.Exe(gui).pe
        stamp = header.FILE_HEADER.get_field_absolute_offset("TimeDateStamp")
        checksum = header.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        code, text = text_offset(gui), b"aa  one\nbb  two\n"
        rows = [  # what, the two files, the places named
            ("the same bytes", gui, gui, []),
            ("the link time stamp", gui, flipped(gui, stamp),
             [f"byte {stamp} ({stamp:#x}): IMAGE_FILE_HEADER.TimeDateStamp"]),
            ("time stamp and checksum", gui, flipped(flipped(gui, stamp), checksum + 1),
             [f"byte {stamp} ({stamp:#x}): IMAGE_FILE_HEADER.TimeDateStamp",
              f"byte {checksum + 1} ({checksum + 1:#x}): IMAGE_OPTIONAL_HEADER.CheckSum"]),
            ("a byte of code", gui, flipped(gui, code),
             [f"byte {code} ({code:#x}): section .text +0x10"]),
            ("one byte more", gui, gui + b"\0",
             [f"the sizes differ: {len(gui)} and {len(gui) + 1} bytes"]),
            # Texts, such as the checksum list, by their lines.
            ("one line", text, b"aa  one\ncc  two\n", ["line 2: 'bb  two' and 'cc  two'"]),
            ("a line more", text, text + b"dd  three\n", ["the line counts differ: 2 and 3"]),
            ("not text", text, b"\xff\xfe\n", ["the sizes differ: 16 and 3 bytes", "bytes 0-2 (0x0)"]),
        ]
        for what, first, second, places in rows:
            with self.subTest(what):
                self.assertEqual(package.differences(first, second), places)

    def test_zip_differences_name_the_member(self):
        gui = EXES["gui32"]
        stamp = package.Exe(gui).pe.FILE_HEADER.get_field_absolute_offset("TimeDateStamp")
        first = read(self.package({"LineDisplayTest.exe": gui}, tag="first"))
        second = read(self.package({"LineDisplayTest.exe": flipped(gui, stamp)}, tag="second"))
        found = package.differences(first, second)
        self.assertEqual(found[0], f"LineDisplayTest-1.2.3.4/LineDisplayTest.exe: byte {stamp} "
                                   f"({stamp:#x}): IMAGE_FILE_HEADER.TimeDateStamp")
        # The exe's checksum in the list changes too, on its own line; the guide does not.
        self.assertEqual(len(found), 2)
        self.assertRegex(found[1], r"^LineDisplayTest-1.2.3.4/SHA256SUMS.txt: line 1: "
                                   r"'[0-9a-f]{64}  LineDisplayTest.exe' and "
                                   r"'[0-9a-f]{64}  LineDisplayTest.exe'$")

    def test_compare_command_exit_status(self):
        gui = EXES["gui32"]
        same = self.path("same.exe", gui)
        other = self.path("other.exe", flipped(gui, text_offset(gui)))
        rows = [("the same file", same, 0, ""), ("another file", other, 1, "section .text")]
        for what, path, status, said in rows:
            with self.subTest(what):
                run = subprocess.run([sys.executable, SCRIPT, "compare", same, path],
                                     capture_output=True, text=True)
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertIn(said, run.stderr)


if __name__ == "__main__":
    unittest.main()
