#!/usr/bin/env python3
"""The Windows release bundle as a user gets it.

    dist_test.py ZIP

Unpacks ZIP (scripts/make-dist), checks that it holds exactly the files of
tests/data/win/dist-files.txt and that SHA256SUMS covers every other file with its right sum;
that the version in the bundle's name is the one the console program prints; runs the 64-bit
console program on a topology file under wine (its report must be the fixture's golden report)
and the 64-bit dialog program on the simulated USB driver (scripts/usbsim, as `make test-usbsim`
runs it); and reads the headers of the 32-bit programs, which no process here can run, with
tests/win/pe_check.py (the 64-bit ones too). Needs the native and the Windows x64 build.
"""
import atexit
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DATA = os.path.join(ROOT, "tests", "data")
FIXTURE = os.path.join(DATA, "fixtures", "two-keys-behind-hub")
DIALOG_DRIVER = os.path.join(ROOT, "build", "mingw", "tests", "win", "usbsim", "keldar_usbsim_dialog.exe")
# The bundle's programs: the build each comes from and the program it is.
PROGRAMS = {
    "keldar-x64.exe": ("x86_64", "keldar"),
    "keldar-console-x64.exe": ("x86_64", "keldar-console"),
    "keldar-x86.exe": ("i686", "keldar"),
    "keldar-console-x86.exe": ("i686", "keldar-console"),
}

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wine(arguments, cwd):
    command = f'source "{ROOT}/scripts/wine-env" && exec wine "$@"'
    return subprocess.run(["bash", "-c", command, "wine", *arguments], cwd=cwd,
                          capture_output=True, timeout=300)


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    bundle = os.path.realpath(sys.argv[1])
    match = re.fullmatch(r"keldar-(.+)-windows\.zip", os.path.basename(bundle))
    if not check(match, f"{bundle}: not named keldar-VERSION-windows.zip"):
        return report()
    version = match.group(1)
    folder = f"keldar-{version}-windows"

    work = tempfile.mkdtemp(prefix="keldar-dist-")
    atexit.register(shutil.rmtree, work, True)
    with zipfile.ZipFile(bundle) as archive:
        names = sorted(archive.namelist())
        archive.extractall(work)
    expected = sorted(f"{folder}/{line.strip()}" for line in open(os.path.join(DATA, "win", "dist-files.txt"))
                      if line.strip() and not line.startswith("#"))
    check(names == expected, f"the bundle holds {names}, expected {expected}")
    unpacked = os.path.join(work, folder)
    if not check(os.path.isdir(unpacked), f"the bundle has no folder {folder}/"):
        return report()

    # SHA256SUMS: every other file once, each with its sum.
    sums = {}
    for line in open(os.path.join(unpacked, "SHA256SUMS"), encoding="utf-8"):
        digest, name = line.rstrip("\n").split("  ", 1)
        check(name not in sums, f"SHA256SUMS names {name} twice")
        sums[name] = digest
    others = sorted(name.split("/", 1)[1] for name in names
                    if not name.endswith("/") and name != f"{folder}/SHA256SUMS")
    check(sorted(sums) == others, f"SHA256SUMS covers {sorted(sums)}, the bundle holds {others}")
    for name, digest in sums.items():
        path = os.path.join(unpacked, name)
        if check(os.path.isfile(path), f"SHA256SUMS names {name}, which is not there"):
            actual = hashlib.sha256(open(path, "rb").read()).hexdigest()
            check(actual == digest, f"{name}: sha256 {actual}, SHA256SUMS says {digest}")

    console = os.path.join(unpacked, "keldar-console-x64.exe")
    run = wine([console, "--version"], cwd=unpacked)
    printed = run.stdout.decode(errors="replace").strip()
    check(run.returncode == 0 and printed == f"keldar {version}",
          f"keldar-console-x64.exe --version: exit {run.returncode}, printed {printed!r}, "
          f"the bundle is named for {version}")

    fixtures = os.path.dirname(FIXTURE)
    run = wine([console, "--topology", os.path.basename(FIXTURE) + ".json", "--json"], cwd=fixtures)
    golden = json.load(open(FIXTURE + ".golden.json", encoding="utf-8"))
    try:
        report_document = json.loads(run.stdout)
    except ValueError:
        report_document = None
    check(run.returncode == 0 and report_document == golden,
          f"keldar-console-x64.exe --topology {os.path.basename(FIXTURE)}.json --json: exit "
          f"{run.returncode}, its report differs from the golden one "
          f"({run.stderr.decode(errors='replace').strip()[-300:]})")

    # The dialog on the simulated machine, driven as make test-usbsim drives the built one.
    env = dict(os.environ)
    env.setdefault("KELDAR_USBSIM_PREFIX", os.path.join(ROOT, "build", "usbsim", "prefix-0"))
    run = subprocess.run([os.path.join(ROOT, "scripts", "usbsim"), FIXTURE + ".json", "--", "wine",
                          DIALOG_DRIVER, windows_path(os.path.join(unpacked, "keldar-x64.exe")),
                          windows_path(FIXTURE + ".golden.json")],
                         capture_output=True, env=env, timeout=600)
    check(run.returncode == 0, f"keldar-x64.exe on the simulated machine: exit {run.returncode}: "
          f"{run.stderr.decode(errors='replace').strip()[-600:]}")

    for name, (arch, program) in sorted(PROGRAMS.items()):
        run = subprocess.run([sys.executable, os.path.join(ROOT, "tests", "win", "pe_check.py"),
                              os.path.join(DATA, "win", "pe-headers.txt"),
                              os.path.join(DATA, "win", "win7-imports.txt"), arch, program,
                              os.path.join(unpacked, name)], capture_output=True, text=True)
        print(run.stdout, end="")
        check(run.returncode == 0, f"{name}: its headers do not fit {arch} {program} on Windows 7")

    return report()


def report():
    for failure in failures:
        print(f"dist_test: {failure}")
    print(f"dist_test: {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
