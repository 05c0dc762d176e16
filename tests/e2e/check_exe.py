#!/usr/bin/env python3
"""Checks the built Pelbrook.exe itself: a PE32+ image for x86-64 that needs no
DLL beyond Windows' own, with icon 1 and the application manifest inside."""

import argparse
import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import Results  # noqa: E402

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll", "shlwapi.dll",
    "ole32.dll", "oleaut32.dll", "winhttp.dll", "advapi32.dll", "msvcrt.dll", "ucrtbase.dll", "uxtheme.dll",
    "ntdll.dll", "ws2_32.dll", "bcrypt.dll", "crypt32.dll", "secur32.dll", "version.dll", "dwmapi.dll",
}
FOREIGN = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread|libssp|libgomp|libc\+\+|libunwind)", re.I)

RT_ICON = 3
RT_GROUP_ICON = 14
RT_MANIFEST = 24


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
        self.rsrc_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            base = table + 40 * i
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--objdump", required=True)
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
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
