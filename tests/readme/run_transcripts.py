#!/usr/bin/env python3
"""Runs the README's shell transcripts, so that no command in it can go stale.

In every ```sh block of the README, a line starting with "$ " is a command (a line ending in a
backslash or inside single quotes continues it) and the lines after it, up to the next command, are its expected output.
An expected line "..." matches any number of lines; a command with no expected lines may print
anything. Commands run in order, through bash, in a scratch directory that holds links to the
build tree (build/), the Python package (python/) and the sources (platform/, tools/), so that
everything the commands write stays out of the checkout. Blocks without "$ " lines (machine set-up:
./setup, sudo) are not run here.

Usage: run_transcripts.py README.md SOURCE_DIR BUILD_DIR
"""
import os
import re
import subprocess
import sys
import tempfile


def transcripts(text):
    """Yields (line number, command, expected lines) for every command of every sh block."""
    in_block = False
    command = None
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            if in_block and command:
                yield command
                command = None
            in_block = line.strip() == "```sh" and not in_block
            continue
        if not in_block:
            continue
        if command and (command[1].endswith("\\") or command[1].count("'") % 2 == 1):
            command = (command[0], command[1] + "\n" + line, command[2])
        elif line.startswith("$ "):
            if command:
                yield command
            command = (number, line[2:], [])
        elif command:
            command[2].append(line)


def matches(expected, actual):
    if not expected:
        return True
    pattern = "\n".join(".*?" if line == "..." else re.escape(line) for line in expected)
    return re.fullmatch(pattern, "\n".join(actual), re.S) is not None


def main():
    readme, source, build = sys.argv[1:4]
    with open(readme, encoding="utf-8") as f:
        commands = list(transcripts(f.read()))
    failures = 0
    with tempfile.TemporaryDirectory(prefix="readme-") as scratch:
        links = {"build": build, "python": os.path.join(source, "python"),
                 "platform": os.path.join(source, "platform"), "tools": os.path.join(source, "tools")}
        for name, target in links.items():
            os.symlink(os.path.abspath(target), os.path.join(scratch, name))
        # As on a fresh Debian machine: Debian's python3 (with its numpy) comes first.
        env = dict(os.environ, LC_ALL="C", PATH="/usr/bin:" + os.environ.get("PATH", ""))
        for number, command, expected in commands:
            run = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=scratch, env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                 timeout=600)
            actual = run.stdout.rstrip("\n").splitlines()
            ok = run.returncode == 0 or any(line.startswith("vrx5200: ") for line in expected)
            if not ok or not matches(expected, actual):
                failures += 1
                print(f"README line {number}: $ {command}\n  exit {run.returncode}; expected:\n"
                      + "\n".join("    " + e for e in expected) + "\n  got:\n"
                      + "\n".join("    " + a for a in actual))
    print(f"{len(commands)} README commands run, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
