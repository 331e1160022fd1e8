#!/usr/bin/env python3
"""keldar-console.exe as a user of a Chinese Windows sees it, in a console window and redirected
to a file: both must show the golden text.

    console_test.py PROGRAM GOLDEN ARGUMENT...

In a console window: `script` gives wine a terminal, on which wine makes the program a console
(code page 936 under the tests' zh_CN locale). Wine's console host draws that console on the
terminal with cursor movements, which are read back into text here; the blanks that end a line
are not drawn, so lines are compared without them. Redirected: the file must hold the golden
UTF-8 bytes, with the C library's CR LF line breaks.
"""
import re
import shlex
import subprocess
import sys
import tempfile


def screen_text(raw):
    """The text a terminal shows for what wine's console host wrote to it."""
    text = raw.decode("utf-8", errors="replace")
    text = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), text)  # cursor forward
    text = re.sub(r"\x1b\[\?25[lh]|\x1b\[K|\x1b\][^\x07]*\x07", "", text)  # cursor, erase, title
    return text.replace("\r", "")


def first_difference(name, actual, expected):
    actual_lines, expected_lines = actual.split("\n"), expected.split("\n")
    for n, (a, e) in enumerate(zip(actual_lines, expected_lines), 1):
        if a != e:
            return f"{name}, line {n}:\n  shown:    {a!r}\n  expected: {e!r}"
    return (f"{name}: {len(actual_lines)} lines shown, {len(expected_lines)} expected"
            if len(actual_lines) != len(expected_lines) else None)


def main():
    program, golden, arguments = sys.argv[1], sys.argv[2], sys.argv[3:]
    with open(golden, "rb") as file:
        expected = file.read()
    failures = []

    with tempfile.TemporaryFile() as file:
        status = subprocess.run(["wine", program, *arguments], stdout=file,
                                stdin=subprocess.DEVNULL, timeout=120).returncode
        file.seek(0)
        written = file.read()
    if status != 0:
        failures.append(f"redirected to a file: exit status {status}")
    elif written.replace(b"\r\n", b"\n") != expected:
        failures.append(first_difference("redirected to a file",
                                         written.decode("utf-8", errors="replace"),
                                         expected.decode("utf-8")))

    # A terminal wide enough that no line wraps.
    command = "stty cols 300 rows 200; " + shlex.join(["wine", program, *arguments])
    console = subprocess.run(["script", "-qec", command, "/dev/null"], stdout=subprocess.PIPE,
                             stdin=subprocess.DEVNULL, timeout=120)
    if console.returncode != 0:
        failures.append(f"in a console window: exit status {console.returncode}")
    shown = console.stdout
    strip = lambda text: "\n".join(line.rstrip(" ") for line in text.split("\n"))
    difference = first_difference("in a console window", strip(screen_text(shown)),
                                  strip(expected.decode("utf-8")))
    if difference:
        failures.append(difference)

    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
