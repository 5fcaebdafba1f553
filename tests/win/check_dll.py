#!/usr/bin/env python3
"""Static checks of a built npkdz.dll: PE machine, the exports by undecorated name,
no MinGW runtime DLLs among the imports, and the version resource the browser reads.

usage: check_dll.py OBJDUMP DLL MACHINE     (MACHINE: i386 or x86-64)
Prints one line per check and exits 1 if any fails.
"""
import struct
import subprocess
import sys

EXPORTS = ["NP_GetEntryPoints", "NP_Initialize", "NP_PluginInit", "NP_PluginShutdown",
           "NP_Shutdown"]
STRINGS = {
    "MIMEType": "image/qem-kdz",
    "FileExtents": "kdz",
    "FileOpenName": "QEM, Inc. Graphic (*.kdz)",
    "FileDescription": "QEM inline KDZ viewer",
    "FileVersion": "1, 0, 0, 1",
    "ProductVersion": "1, 0, 0, 2",
}
DESCRIPTIVE = ["CompanyName", "InternalName", "LegalCopyright", "OriginalFilename",
               "ProductName"]
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll"}
MACHINES = {"i386": (0x14C, "pei-i386"), "x86-64": (0x8664, "pei-x86-64")}

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def objdump_checks(objdump, dll, machine):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    check("file format " + MACHINES[machine][1] in text,
          "objdump: file format " + MACHINES[machine][1])
    names = []
    in_table = False
    for line in text.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_table = True
            continue
        if in_table:
            parts = line.split("]", 1)
            if len(parts) == 2 and line.strip().startswith("["):
                names.append(parts[1].strip())
            else:
                in_table = False
    check(sorted(names) == sorted(EXPORTS),
          "exports by undecorated name: " + " ".join(sorted(names)))
    imports = [l.split(":", 1)[1].strip().lower() for l in text.splitlines()
               if l.strip().startswith("DLL Name:")]
    check(set(imports) <= SYSTEM_DLLS, "imports only system DLLs: " + " ".join(imports))


def pe_sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    machine, count = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    sections = []
    table = optional + optional_size
    for i in range(count):
        vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        sections.append((vaddr, max(vsize, raw_size), raw_ptr))
    return machine, resource_rva, resource_size, sections


def rva_to_offset(sections, rva):
    for vaddr, size, raw in sections:
        if vaddr <= rva < vaddr + size:
            return raw + rva - vaddr
    raise ValueError("RVA %#x outside every section" % rva)


def version_resource(data, sections, resource_rva):
    base = rva_to_offset(sections, resource_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
            yield name, target

    for type_id, target in entries(0):
        if type_id != 16:  # RT_VERSION
            continue
        _, target = next(entries(target & 0x7FFFFFFF))
        _, target = next(entries(target & 0x7FFFFFFF))
        rva, size = struct.unpack_from("<II", data, base + target)
        offset = rva_to_offset(sections, rva)
        return data[offset:offset + size]
    return None


def align4(n):
    return (n + 3) & ~3


def parse_node(block, offset):
    """One VS_VERSIONINFO node: (key, value bytes, value type, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", block, offset)
    end = offset + length
    key_start = offset + 6
    key_end = key_start
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = block[key_start:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = block[value_start:value_start + value_bytes]
    children = []
    child = align4(value_start + value_bytes)
    while child < end:
        node = parse_node(block, child)
        children.append(node)
        child = align4(node[4])
    return key, value, value_type, children, end


def resource_checks(dll, machine):
    data = open(dll, "rb").read()
    pe_machine, resource_rva, _, sections = pe_sections(data)
    check(pe_machine == MACHINES[machine][0], "PE machine %#x" % pe_machine)
    block = version_resource(data, sections, resource_rva) if resource_rva else None
    check(block is not None, "version resource present")
    if block is None:
        return
    key, fixed, _, children, _ = parse_node(block, 0)
    check(key == "VS_VERSION_INFO", "root key " + key)
    (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, file_os,
     file_type, _, _, _) = struct.unpack_from("<13I", fixed)
    check(signature == 0xFEEF04BD, "fixed file information signature")
    version = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check(version(file_ms, file_ls) == "1.0.0.1", "file version " + version(file_ms, file_ls))
    check(version(product_ms, product_ls) == "1.0.0.2",
          "product version " + version(product_ms, product_ls))
    check(file_os == 0x00000004, "operating system %#x (32-bit Windows)" % file_os)
    check(file_type == 2, "file type %d (DLL)" % file_type)

    strings = {}
    tables = []
    translation = None
    for child in children:
        if child[0] == "StringFileInfo":
            for table in child[3]:
                tables.append(table[0])
                for entry in table[3]:
                    strings[entry[0]] = entry[1].decode("utf-16-le").rstrip("\0")
        elif child[0] == "VarFileInfo":
            for var in child[3]:
                if var[0] == "Translation":
                    translation = struct.unpack_from("<HH", var[1])
    check(tables == ["040904e4"], "string table blocks " + " ".join(tables))
    check(translation == (0x0409, 0x04E4), "translation %s" %
          (None if translation is None else "%#06x, %#06x" % translation))
    for name, want in STRINGS.items():
        got = strings.get(name)
        check(got == want, "%s = %r" % (name, got))
    for name in DESCRIPTIVE:
        check(bool(strings.get(name)), "%s present" % name)


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in MACHINES:
        sys.exit(__doc__)
    objdump, dll, machine = sys.argv[1:]
    objdump_checks(objdump, dll, machine)
    resource_checks(dll, machine)
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
