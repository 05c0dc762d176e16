#!/usr/bin/env python3
"""Checks the built Pelbrook.exe itself: a PE32+ image for x86-64 that needs no
DLL beyond Windows' own, with icon 1, the application manifest and the version
resource inside, ASLR and DEP on, no time stamp, and for release builds no
symbols, no debug sections and a size within budget."""

import argparse
import os
import re
import struct
import subprocess
import sys

from e2e_support import Results

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll", "shlwapi.dll",
    "ole32.dll", "oleaut32.dll", "winhttp.dll", "advapi32.dll", "msvcrt.dll", "ucrtbase.dll", "uxtheme.dll",
    "ntdll.dll", "ws2_32.dll", "bcrypt.dll", "crypt32.dll", "secur32.dll", "version.dll", "dwmapi.dll",
}
FOREIGN = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread|libssp|libgomp|libc\+\+|libunwind)", re.I)

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

# Measured at 1.0.0: 1,044,480 bytes, four fifths of it the static C++ runtime.
# Room for the program to grow, but not for a second runtime or debug sections.
RELEASE_SIZE_BUDGET = 1_200_000
# HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT
SECURITY_FLAGS = 0x0020 | 0x0040 | 0x0100


def objdump(tool, exe):
    return subprocess.run([tool, "-p", exe], check=True, capture_output=True, text=True, timeout=60).stdout


def resource_ids(listing):
    """{type id: set of name ids} from objdump's resource directory tree."""
    found = {}
    current_type = None
    in_rsrc = False
    for line in listing.splitlines():
        if "Resource Directory section" in line:
            in_rsrc = True
            continue
        if not in_rsrc:
            continue
        match = re.match(r"^[0-9a-f]+(\s+)Entry: ID: 0x([0-9a-f]+)", line)
        if not match:
            continue
        depth = len(match.group(1))
        value = int(match.group(2), 16)
        if depth == 3:
            current_type = value
            found.setdefault(value, set())
        elif depth == 5 and current_type is not None:
            found[current_type].add(value)
    return found


class PeResources:
    """Just enough of a PE reader to fetch one resource's bytes."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        self.time_stamp, _, self.symbol_count = struct.unpack_from("<III", data, pe + 8)
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        self.rsrc_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
        self.relocations_size = struct.unpack_from("<I", data, optional + 112 + 5 * 8 + 4)[0]
        self.sections = []
        self.section_names = []
        table = optional + optional_size
        for i in range(sections):
            base = table + 40 * i
            self.section_names.append(data[base:base + 8].rstrip(b"\0").decode("ascii", "replace"))
            virtual_size, rva, raw_size, raw_pointer = struct.unpack_from("<IIII", data, base + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_pointer))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address outside every section")

    def entries(self, directory_rva):
        base = self.offset(directory_rva)
        named, numbered = struct.unpack_from("<HH", self.data, base + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, base + 16 + 8 * i)
            yield name, target

    def get(self, type_id, name_id):
        for t, t_target in self.entries(self.rsrc_rva):
            if t != type_id or not t_target & 0x80000000:
                continue
            for n, n_target in self.entries(self.rsrc_rva + (t_target & 0x7FFFFFFF)):
                if n != name_id or not n_target & 0x80000000:
                    continue
                for _, leaf in self.entries(self.rsrc_rva + (n_target & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, self.offset(self.rsrc_rva + leaf))
                    start = self.offset(rva)
                    return self.data[start:start + size]
        return None


def version_block(data, start):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, children), end."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, start)
    key_end = start + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[start + 6:key_end].decode("utf-16-le")
    value_start = (key_end + 2 + 3) & ~3
    value = data[value_start:value_start + value_length * (2 if value_type == 1 else 1)]
    children = []
    child = (value_start + len(value) + 3) & ~3
    while child < start + length:
        node, child = version_block(data, child)
        children.append(node)
        child = (child + 3) & ~3
    return (key, value, children), start + length


def version_problems(resource, version, manifest):
    if resource is None:
        return ["no version resource 1"]
    (key, fixed, tables), _ = version_block(resource, 0)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        return ["version resource is not a VS_VERSION_INFO"]
    expected = [int(part) for part in version.split(".")] + [0] * (4 - len(version.split(".")))
    problems = []
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", fixed, 8)
    for what, ms, ls in (("file", file_ms, file_ls), ("product", product_ms, product_ls)):
        found = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
        if found != expected:
            problems.append("fixed %s version is %s, not %s" % (what, found, expected))
    strings = {}
    for table_key, _, languages in tables:
        if table_key == "StringFileInfo":
            for language, _, entries in languages:
                if language.upper() == "040904B0":
                    strings = {name: value.decode("utf-16-le").rstrip("\0") for name, value, _ in entries}
    wanted = {"ProductName": "Pelbrook", "CompanyName": "Pelbrook", "OriginalFilename": "Pelbrook.exe",
              "FileDescription": "Pelbrook downloader", "FileVersion": version, "ProductVersion": version}
    for name, value in wanted.items():
        if strings.get(name) != value:
            problems.append("%s is %r, not %r" % (name, strings.get(name), value))
    if not re.fullmatch(r"Copyright \(c\) 20\d\d The Pelbrook authors", strings.get("LegalCopyright", "")):
        problems.append("LegalCopyright is %r" % strings.get("LegalCopyright"))
    identity = re.search(r'<assemblyIdentity[^>]*name="Pelbrook"[^>]*>', manifest or "")
    if not identity or 'version="%s"' % ".".join(map(str, expected)) not in identity.group(0):
        problems.append("manifest's assemblyIdentity does not carry version %s" % version)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True, help="the project's version, e.g. 1.0.0")
    parser.add_argument("--build-type", default="", help="Release and MinSizeRel builds are also checked as shipped")
    args = parser.parse_args()
    results = Results()
    listing = objdump(args.objdump, args.exe)

    problems = []
    if "file format pei-x86-64" not in listing:
        problems.append("not a pei-x86-64 image")
    if not re.search(r"^Magic\s+020b\s+\(PE32\+\)", listing, re.M):
        problems.append("optional header is not PE32+")
    if not re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", listing, re.M):
        problems.append("not a Windows GUI program")
    results.case("image is PE32+ for x86-64, GUI subsystem", problems)

    dlls = [name.strip() for name in re.findall(r"DLL Name: (.+)", listing)]
    problems = []
    if not dlls:
        problems.append("no imports found")
    for dll in dlls:
        lower = dll.lower()
        if FOREIGN.match(lower):
            problems.append("needs a toolchain DLL: %s" % dll)
        elif lower not in SYSTEM_DLLS and not lower.startswith("api-ms-win-"):
            problems.append("needs a DLL that is not part of Windows: %s" % dll)
    for needed in ("winhttp.dll", "user32.dll", "comctl32.dll"):
        if needed not in (d.lower() for d in dlls):
            problems.append("does not import %s" % needed)
    results.case("imports only Windows system DLLs (%s)" % ", ".join(sorted(set(d.lower() for d in dlls))),
                 problems)

    ids = resource_ids(listing)
    problems = []
    if 1 not in ids.get(RT_GROUP_ICON, set()):
        problems.append("no icon group 1")
    if not ids.get(RT_ICON):
        problems.append("no icon images")
    if 1 not in ids.get(RT_MANIFEST, set()):
        problems.append("no manifest with ID 1")
    with open(args.exe, "rb") as f:
        resources = PeResources(f.read())
    group = resources.get(RT_GROUP_ICON, 1)
    if group is not None:
        count = struct.unpack_from("<H", group, 4)[0]
        sizes = [(group[6 + 14 * i] or 256, group[7 + 14 * i] or 256) for i in range(count)]
        if (256, 256) not in sizes:
            problems.append("icon 1 has no 256x256 image (has %s)" % sizes)
    results.case("icon 1 inside", problems)

    problems = []
    manifest = resources.get(RT_MANIFEST, 1)
    if manifest is None:
        problems.append("manifest unreadable")
    else:
        text = manifest.decode("utf-8", "replace")
        for needle, what in ((r'level\s*=\s*"asInvoker"', "asInvoker"),
                             (r'uiAccess\s*=\s*"false"', "uiAccess false")):
            if not re.search(needle, text):
                problems.append("manifest lacks %s" % what)
        dependencies = re.findall(r"<dependentAssembly>(.*?)</dependentAssembly>", text, re.S)
        if not any(re.search(r'name\s*=\s*"Microsoft\.Windows\.Common-Controls"', d)
                   and re.search(r'version\s*=\s*"6\.0\.0\.0"', d) for d in dependencies):
            problems.append("manifest lacks the common controls 6.0.0.0 dependency")
        if re.search(r"dpiAware|dpiAwareness", text):
            problems.append("manifest declares DPI awareness")
    results.case("manifest inside (asInvoker, common controls 6)", problems)

    results.case("version resource and manifest carry version %s" % args.version,
                 version_problems(resources.get(RT_VERSION, 1), args.version,
                                  manifest.decode("utf-8", "replace") if manifest else None))

    problems = []
    if resources.dll_characteristics & SECURITY_FLAGS != SECURITY_FLAGS:
        problems.append("DllCharacteristics 0x%04x lacks high-entropy ASLR or DEP" % resources.dll_characteristics)
    if not resources.relocations_size:
        problems.append("no base relocations, so the image cannot move")
    if resources.time_stamp:
        problems.append("PE header carries a time stamp (0x%08x)" % resources.time_stamp)
    results.case("ASLR with high entropy, DEP, no time stamp", problems)

    if args.build_type in ("Release", "MinSizeRel"):
        problems = []
        size = os.path.getsize(args.exe)
        if size > RELEASE_SIZE_BUDGET:
            problems.append("%d bytes, over the budget of %d" % (size, RELEASE_SIZE_BUDGET))
        debug = [name for name in resources.section_names if name.startswith((".debug", "/"))]
        if debug:
            problems.append("debug sections left: %s" % ", ".join(debug))
        if resources.symbol_count:
            problems.append("%d symbols left" % resources.symbol_count)
        results.case("release image stripped, %d bytes (budget %d)" % (size, RELEASE_SIZE_BUDGET), problems)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
