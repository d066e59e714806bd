#!/usr/bin/python3
"""The release package: the exes' headers, the zip, the check of a zip, two builds compared.

  package.py version EXE             the exe's file version, e.g. 1.0.0.3
  package.py describe EXE            machine, subsystem, versions, each resource and its SHA-256
  package.py zip ZIP FOLDER EPOCH FILE...
                                     writes ZIP: FOLDER/ with the files and their SHA-256 list,
                                     every entry dated EPOCH
  package.py check ZIP UTILITY_EXE STANDIN_EXE [--signed]
                                     checks ZIP against the two exes built; with --signed each
                                     exe in it must be the built one with an Authenticode
                                     signature added, and no other change
  package.py compare A B             exits 0 when A and B are the same bytes; else says where
                                     they differ: zip member, line, PE field or section, bytes

The exe is read as a file, never run: packaging works on machines that run no 32-bit programs.
Headers and resources are read with pefile (Debian's python3-pefile), which only Debian's own
interpreter sees: run this with /usr/bin/python3.
"""
import base64
import hashlib
import html.parser
import io
import os
import re
import sys
import time
import urllib.parse
import zipfile

try:
    import pefile
except ImportError:
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib.sh")) as lib:
        package = re.search(r"(\S+)=pefile\b", lib.read())[1]
    sys.exit(f"package: pefile is missing: install it with `apt-get install {package}` (or run "
             f"`bash scripts/install-deps.sh`); run package.py with /usr/bin/python3, which sees it")

SUMS = "SHA256SUMS.txt"
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
# The programs the package holds, the utility first (the package is named for its version), and
# the subsystem each must have: the utility is a dialog, the stand-in runs in a console.
PROGRAMS = (("LineDisplayTest.exe", 2, "GUI"), ("DisplayStandIn.exe", 3, "console"))
# Modes the zip gives its entries, whatever the umask of the machine that packed it.
EXE_MODE, FILE_MODE = 0o100755, 0o100644


class PackageError(Exception):
    pass


class Exe:
    """An exe's headers and resources, as pefile reads them."""

    def __init__(self, data, name="the exe"):
        self.data, self.name = data, name
        try:
            self.pe = pefile.PE(data=data, fast_load=True)
            self.pe.parse_data_directories(directories=[RESOURCE])
        except pefile.PEFormatError as error:
            raise PackageError(f"{name} is not a PE file: {error.value}")
        header = self.pe.OPTIONAL_HEADER
        self.machine, self.magic, self.subsystem = self.pe.FILE_HEADER.Machine, header.Magic, header.Subsystem

    def version(self, kind="File"):
        """The file version (kind "File") or the product version (kind "Product")."""
        # pefile passes over a version resource it cannot parse; here that is an error.
        info = getattr(self.pe, "VS_FIXEDFILEINFO", None)
        if not info:
            raise PackageError(f"{self.name} has no version resource with fixed file information")
        info = info[0]
        if info.Signature != FIXED_FILE_INFO_SIGNATURE:
            raise PackageError(f"{self.name}: the version resource's fixed file information "
                               f"has the signature {info.Signature:#x}")
        most, least = getattr(info, kind + "VersionMS"), getattr(info, kind + "VersionLS")
        return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"

    def resources(self):
        """(type, name, language, size, SHA-256) of every resource, in the directory's order."""
        found = []
        root = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for kind in root.entries if root else []:
            for name in kind.directory.entries:
                for language in name.directory.entries:
                    rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                    data = self.pe.get_data(rva, size)
                    if len(data) != size:
                        raise PackageError(f"{self.name}: resource {label(kind)}/{label(name)} "
                                           f"runs past the end of the file")
                    found.append((label(kind), label(name), language.id, size, sha256(data)))
        return found

    def signature(self):
        """The file offset and size of the Authenticode signature; (0, 0) when unsigned."""
        entry = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        return entry.VirtualAddress, entry.Size

    def without_signature_fields(self):
        """The file with the header checksum and the signature's directory entry zeroed: the
        two header fields that signing changes."""
        data = bytearray(self.data)
        checksum = self.pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        entry = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].get_file_offset()
        data[checksum:checksum + 4] = bytes(4)
        data[entry:entry + 8] = bytes(8)
        return bytes(data)

    def describe(self):
        lines = [f"machine {self.machine:#x}, magic {self.magic:#x}, subsystem {self.subsystem}",
                 f"file version {self.version()}, product version {self.version('Product')}"]
        lines += [f"resource {kind}/{name} language {language}: {size} bytes, SHA-256 {digest}"
                  for kind, name, language, size, digest in self.resources()]
        return "\n".join(lines)

    def locate(self, offset):
        """What lies at a file offset: a header field, a resource structure, or a section."""
        for structure in self.pe.__structures__:
            start = structure.get_file_offset()
            if start <= offset < start + structure.sizeof():
                fields = sorted(structure.__field_offsets__.items(), key=lambda item: item[1])
                field = [name for name, at in fields if at <= offset - start][-1:]
                return f"{structure.name}{'.' + field[0] if field else ''}"
        at, size = self.signature()
        if at and at <= offset < at + size:
            return "the Authenticode signature"
        for section in self.pe.sections:
            start = section.PointerToRawData
            if start <= offset < start + section.SizeOfRawData:
                name = section.Name.rstrip(b"\0").decode("ascii", "replace")
                return f"section {name} +{offset - start:#x}"
        return "outside the headers and sections"


def label(entry):
    return str(entry.name) if entry.name is not None else str(entry.id)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def write_zip(path, folder, epoch, files):
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))  # the earliest a zip can hold
    contents = [(os.path.basename(f), read(f)) for f in files]
    sums = "".join(f"{sha256(data)}  {name}\n" for name, data in contents)
    contents.append((SUMS, sums.encode()))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with zipfile.ZipFile(path + ".tmp", "w") as archive:
        for name, data in contents:
            entry = zipfile.ZipInfo(f"{folder}/{name}", stamp)
            entry.create_system = 3  # the modes below are Unix modes
            entry.external_attr = (EXE_MODE if name.endswith(".exe") else FILE_MODE) << 16
            # Level 9 given here: ZipFile's own compresslevel does not reach a ZipInfo entry.
            archive.writestr(entry, data, zipfile.ZIP_DEFLATED, 9)
    os.replace(path + ".tmp", path)


class References(html.parser.HTMLParser):
    """Every resource an HTML page names: src, srcset, a link's href, CSS url()."""

    CSS_URL = re.compile(r"""url\(\s*['"]?([^'")]+)['"]?\s*\)""")

    def __init__(self):
        super().__init__()
        self.found, self.images, self.in_style = [], 0, False

    def handle_starttag(self, tag, attrs):
        attrs = {name: value for name, value in attrs if value}
        self.images += tag == "img"
        names = ("src", "poster", "data") + (("href",) if tag == "link" else ())
        self.found += [attrs[name] for name in names if name in attrs]
        self.found += [part.split()[0] for part in attrs.get("srcset", "").split(",") if part.strip()]
        self.found += self.CSS_URL.findall(attrs.get("style", ""))
        self.in_style = tag == "style"

    def handle_endtag(self, tag):
        self.in_style = False

    def handle_data(self, data):
        if self.in_style:
            self.found += self.CSS_URL.findall(data)


def check_zip(path, exe_paths, signed=False):
    """Checks the zip at PATH against the exes built, EXE_PATHS in the order of PROGRAMS."""
    problems = []
    trees = [Exe(read(exe_path), exe_path) for exe_path in exe_paths]
    version = trees[0].version()
    for tree in trees:
        if tree.signature() != (0, 0):
            problems.append(f"{tree.name} is signed: the package starts from the unsigned exe")
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

    for (name, subsystem, kind), tree in zip(PROGRAMS, trees):
        packed = files.get(name)
        if packed is None:
            problems.append(f"the package holds no {name}")
            continue
        pe = Exe(packed, f"the packaged {name}")
        problems += (signing_problems(pe, tree) if signed
                     else [f"{pe.name} is not the same file as {tree.name}"] * (packed != tree.data))
        if (pe.machine, pe.magic, pe.subsystem) != (0x14C, 0x10B, subsystem):
            problems.append(f"{pe.name} is not a PE32 i386 {kind} program (machine "
                            f"{pe.machine:#x}, magic {pe.magic:#x}, subsystem {pe.subsystem})")
        if not pe.pe.verify_checksum():
            problems.append(f"{pe.name}'s header checksum is wrong")
        # One release: both programs carry the utility's versions.
        for which in ("File", "Product"):
            if pe.version(which) != trees[0].version(which):
                problems.append(f"{pe.name}'s {which.lower()} version {pe.version(which)} "
                                f"is not the utility's, {trees[0].version(which)}")

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
            # A second line for a file would hide a wrong first one from the comparison below.
            if name in listed:
                problems.append(f"{SUMS} lists {name} twice")
            listed[name] = digest
        for name in sorted((set(files) | set(listed)) - {SUMS}):
            if name not in listed:
                problems.append(f"{SUMS} does not list {name}")
            elif name not in files:
                problems.append(f"{SUMS} lists {name}, which is not in the package")
            elif listed[name] != sha256(files[name]):
                problems.append(f"{SUMS} gives a wrong checksum for {name}")

    if problems:
        raise PackageError("\n".join(problems))
    return version, sorted(files)


def signing_problems(signed, unsigned):
    """What keeps a signed exe from being the unsigned one with only a signature added: the
    signature at the end, after at most 7 bytes of zero padding (entries of the certificate
    table are 8-byte aligned), and every other byte unchanged but the checksum and the
    signature's directory entry."""
    at, size = signed.signature()
    if (at, size) == (0, 0):
        return [f"{signed.name} is not signed"]
    if at + size != len(signed.data):
        return [f"{signed.name}'s signature ({size} bytes at {at}) does not end the file"]
    body, padding = signed.without_signature_fields()[:at], at - len(unsigned.data)
    if not 0 <= padding < 8 or body[len(unsigned.data):] != bytes(padding):
        return [f"{signed.name}'s signature starts at {at}, not after {unsigned.name} "
                f"({len(unsigned.data)} bytes) and its alignment"]
    original = unsigned.without_signature_fields()
    if body[:len(original)] != original:
        return [f"{signed.name} is not {unsigned.name} with a signature added: "
                f"{', '.join(differences(original, body[:len(original)]))}"]
    return []


def differences(a, b, shown=8):
    """Where two files differ, one text per place: a zip member, a line of a text such as the
    checksum list, or a run of bytes named by the PE field or section it lies in."""
    if a == b:
        return []
    found = zip_differences(a, b, shown) if a[:4] == b[:4] == b"PK\3\4" else []
    if not found and a.endswith(b"\n") and b.endswith(b"\n"):
        found = line_differences(a, b)
    found = found or byte_differences(a, b)
    return found[:shown] + [f"and {len(found) - shown} more"] * (len(found) > shown)


def byte_differences(a, b):
    found = [] if len(a) == len(b) else [f"the sizes differ: {len(a)} and {len(b)} bytes"]
    try:
        where = Exe(a).locate if a[:2] == b"MZ" else None
    except PackageError:
        where = None
    runs = []  # [first, last] of each run of differing bytes over the length both have
    for at, (x, y) in enumerate(zip(a, b)):
        if x != y and runs and runs[-1][1] == at - 1:
            runs[-1][1] = at
        elif x != y:
            runs.append([at, at])
    for first, last in runs:
        span = f"byte {first}" if first == last else f"bytes {first}-{last}"
        found.append(f"{span} ({first:#x}){': ' + where(first) if where else ''}")
    return found


def line_differences(a, b):
    """The differing lines of two texts; empty if they are not text."""
    try:
        first, second = a.decode("utf-8").splitlines(), b.decode("utf-8").splitlines()
    except UnicodeDecodeError:
        return []
    found = [f"line {number}: {x!r} and {y!r}" for number, (x, y)
             in enumerate(zip(first, second), 1) if x != y]
    if len(first) != len(second):
        found.append(f"the line counts differ: {len(first)} and {len(second)}")
    return found


def zip_differences(a, b, shown):
    """Which members of two zips differ, and where; empty when only the container does."""
    with zipfile.ZipFile(io.BytesIO(a)) as first, zipfile.ZipFile(io.BytesIO(b)) as second:
        names = [[m.filename for m in z.infolist()] for z in (first, second)]
        if names[0] != names[1]:
            return [f"the members differ: {names[0]} and {names[1]}"]
        found = []
        for x, y in zip(first.infolist(), second.infolist()):
            for field in ("date_time", "external_attr", "compress_type", "create_system",
                          "flag_bits", "extra", "comment"):
                if getattr(x, field) != getattr(y, field):
                    found.append(f"{x.filename}: {field} {getattr(x, field)} and {getattr(y, field)}")
            found += [f"{x.filename}: {place}"
                      for place in differences(first.read(x), second.read(y), shown)]
        return found


def main(args):
    try:
        if len(args) == 2 and args[0] in ("version", "describe"):
            exe = Exe(read(args[1]), args[1])
            print(exe.version() if args[0] == "version" else exe.describe())
        elif len(args) >= 5 and args[0] == "zip":
            write_zip(args[1], args[2], int(args[3]), args[4:])
        elif len(args) in (4, 5) and args[0] == "check" and args[4:] in ([], ["--signed"]):
            signed = args[4:] == ["--signed"]
            version, names = check_zip(args[1], args[2:4], signed)
            print(f"package: {os.path.basename(args[1])} checked: {', '.join(names)}; "
                  f"version {version}, exes "
                  f"{'signed, otherwise' if signed else 'unsigned and'} identical to "
                  f"{args[2]} and {args[3]}")
        elif len(args) == 3 and args[0] == "compare":
            a, b = (read(name) for name in args[1:])
            found = differences(a, b)
            if found:
                sys.exit(f"package: {args[1]} and {args[2]} differ:\n" +
                         "\n".join(f"  {place}" for place in found))
        else:
            sys.exit(__doc__)
    except (PackageError, OSError, zipfile.BadZipFile) as error:
        sys.exit(f"package: {error}")


if __name__ == "__main__":
    main(sys.argv[1:])
