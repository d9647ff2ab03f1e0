#!/usr/bin/env python3
"""Checks a built Windows module: it exports exactly the five names, undecorated,
and imports nothing but system DLLs (the GCC and C++ run-times are linked in)."""
import re
import subprocess
import sys

EXPORTS = {"get_plugin_info", "qv7_sock_initialize", "qv7_sock", "qv7_sock_property", "server_start"}
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "wsock32.dll", "msvcrt.dll"}


def main():
    dll, objdump = sys.argv[1], sys.argv[2]
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    names = set()
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if not m:
                break
            names.add(m.group(1))
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", text)}
    problems = []
    if names != EXPORTS:
        problems.append("exports %s, expected %s" % (sorted(names), sorted(EXPORTS)))
    foreign = sorted(d for d in imports if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-crt"))
    if foreign:
        problems.append("imports non-system DLLs: %s" % foreign)
    if problems:
        print("%s: FAILED: %s" % (dll, "; ".join(problems)))
        return 1
    print("%s: exports %s; imports %s" % (dll, " ".join(sorted(names)), " ".join(sorted(imports))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
