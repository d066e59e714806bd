#!/usr/bin/env python3
"""The release package: the exe's version, the zip, and the check of a zip.

  package.py version EXE                        the exe's file version, e.g. 1.0.0.3
  package.py zip ZIP FOLDER EPOCH FILE...       writes ZIP: FOLDER/ with the files and their
                                                SHA-256 list, every entry dated EPOCH
  package.py check ZIP EXE                      unpacks ZIP and checks it against EXE

The exe is read as a file, never run: packaging works on machines that run no 32-bit programs.
"""
import base64
import hashlib
import html.parser
import os
import re
import struct
import sys
import time
import urllib.parse
import zipfile

SUMS = "SHA256SUMS.txt"
RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


class PackageError(Exception):
    pass


class PortableExecutable:
    """The parts of a PE file's headers the package needs."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PackageError("not an exe: no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PackageError("not a PE file")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
                         for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise PackageError(f"address {rva:#x} lies in no section")

    def first_resource(self, type_id):
        """The data of the first resource of a type: first name, first language."""
        if self.resource_rva == 0:
            raise PackageError("the exe has no resources")
        base = self.offset(self.resource_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)

        directory = next((target for name, target in entries(0) if name == type_id), None)
        if directory is None:
            raise PackageError(f"the exe has no resource of type {type_id}")
        while directory & 0x80000000:
            directory = next(entries(directory & 0x7FFFFFFF))[1]
        rva, size = struct.unpack_from("<II", self.data, base + directory)
        start = self.offset(rva)
        return self.data[start:start + size]

    def file_version(self):
        info = self.first_resource(RT_VERSION)
        at = info.find(FIXED_FILE_INFO_SIGNATURE)
        if at < 0:
            raise PackageError("the version resource has no fixed file information")
        most, least = struct.unpack_from("<II", info, at + 8)
        return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def write_zip(path, folder, epoch, files):
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))  # the earliest a zip can hold
    contents = [(os.path.basename(f), open(f, "rb").read()) for f in files]
    sums = "".join(f"{sha256(data)}  {name}\n" for name, data in contents)
    contents.append((SUMS, sums.encode()))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with zipfile.ZipFile(path + ".tmp", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, data in contents:
            archive.writestr(zipfile.ZipInfo(f"{folder}/{name}", stamp), data,
                             zipfile.ZIP_DEFLATED)
    os.replace(path + ".tmp", path)


class References(html.parser.HTMLParser):
    """Every resource an HTML page names: src, srcset, a link's href, CSS url()."""

    CSS_URL = re.compile(r"""url\(\s*['"]?([^'")]+)['"]?\s*\)""")

    def __init__(self):
        super().__init__()
        self.found = []
        self.images = 0
        self.in_style = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.images += tag == "img"
        for name in ("src", "poster", "data"):
            if attrs.get(name):
                self.found.append(attrs[name])
        if attrs.get("srcset"):
            self.found += [part.split()[0] for part in attrs["srcset"].split(",") if part.strip()]
        if tag == "link" and attrs.get("href"):
            self.found.append(attrs["href"])
        self.found += self.CSS_URL.findall(attrs.get("style") or "")
        self.in_style = tag == "style"

    def handle_endtag(self, tag):
        self.in_style = False

    def handle_data(self, data):
        if self.in_style:
            self.found += self.CSS_URL.findall(data)


def check_zip(path, exe_path):
    problems = []
    exe = open(exe_path, "rb").read()
    version = PortableExecutable(exe).file_version()
    if os.path.basename(path) != f"LineDisplayTest-{version}.zip":
        problems.append(f"{os.path.basename(path)} is not named for the exe's version {version}")

    with zipfile.ZipFile(path) as archive:
        if archive.testzip() is not None:
            raise PackageError("a member of the zip is damaged")
        files = {}
        for member in archive.infolist():
            if member.is_dir():
                continue
            folder, _, name = member.filename.partition("/")
            if folder != f"LineDisplayTest-{version}" or "/" in name or not name:
                problems.append(f"{member.filename} is not a file of the package's folder")
            files[name] = archive.read(member)

    packed = files.get("LineDisplayTest.exe")
    if packed is None:
        problems.append("the package holds no LineDisplayTest.exe")
    else:
        if packed != exe:
            problems.append(f"the packaged exe is not the same file as {exe_path}")
        pe = PortableExecutable(packed)
        if (pe.machine, pe.magic, pe.subsystem) != (0x14C, 0x10B, 2):
            problems.append(f"the packaged exe is not a PE32 i386 GUI program (machine "
                            f"{pe.machine:#x}, magic {pe.magic:#x}, subsystem {pe.subsystem})")

    pages = [name for name in files if name.endswith(".html")]
    if len(pages) != 1:
        problems.append(f"the package holds {len(pages)} HTML guides, not one")
    for page in pages:
        references = References()
        references.feed(files[page].decode("utf-8"))
        if references.images == 0:
            problems.append(f"{page} shows no pictures")
        for reference in references.found:
            if reference.startswith("data:"):
                header, _, payload = reference.partition(",")
                data = (base64.b64decode(payload) if header.endswith(";base64")
                        else urllib.parse.unquote_to_bytes(payload))
                if not data or (header.startswith("data:image/png") and
                                not data.startswith(b"\x89PNG\r\n\x1a\n")):
                    problems.append(f"{page} embeds a broken {header[5:]}")
            elif reference.split("#")[0] and reference.split("#")[0] not in files:
                problems.append(f"{page} names {reference[:80]}, which is not in the package")

    if SUMS not in files:
        problems.append(f"the package holds no {SUMS}")
    else:
        listed = {}
        for line in files[SUMS].decode().splitlines():
            digest, _, name = line.partition("  ")
            listed[name] = digest
        for name, data in files.items():
            if name == SUMS:
                continue
            if name not in listed:
                problems.append(f"{SUMS} does not list {name}")
            elif listed[name] != sha256(data):
                problems.append(f"{SUMS} gives a wrong checksum for {name}")
        problems += [f"{SUMS} lists {name}, which is not in the package"
                     for name in listed if name not in files]

    if problems:
        raise PackageError("\n".join(problems))
    return version, sorted(files)


def main(args):
    try:
        if len(args) == 2 and args[0] == "version":
            print(PortableExecutable(open(args[1], "rb").read()).file_version())
        elif len(args) >= 5 and args[0] == "zip":
            write_zip(args[1], args[2], int(args[3]), args[4:])
        elif len(args) == 3 and args[0] == "check":
            version, names = check_zip(args[1], args[2])
            print(f"package: {os.path.basename(args[1])} checked: {', '.join(names)}; "
                  f"version {version}, exe identical to {args[2]}")
        else:
            sys.exit(__doc__)
    except (PackageError, OSError, zipfile.BadZipFile, struct.error) as error:
        sys.exit(f"package: {error}")


if __name__ == "__main__":
    main(sys.argv[1:])
