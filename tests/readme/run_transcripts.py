#!/usr/bin/env python3
"""Runs the README's shell transcripts, so that no command in it can go stale.

In every ```sh block of the README, a line starting with "$ " is a command (a line ending in a
backslash or inside single quotes continues it) and the lines after it, up to the next command, are its expected output.
An expected line "..." matches any number of lines; a command with no expected lines may print
anything. Commands run in order, through bash, in a scratch directory that holds links to the
build tree (build/), the Python package (python/) and the sources (platform/, tools/), so that
everything the commands write stays out of the checkout. Blocks without "$ " lines (machine set-up:
./setup, sudo) are not run here.

Commands that name the server address http://127.0.0.1:8520 (the default of `vrx5200 serve`) run
against a `vrx5200 --sim serve` this script starts on a free loopback port for them (once, before
the first such command; stopped at the end): the address is changed to its port in the command and
back in the output.

Usage: run_transcripts.py README.md SOURCE_DIR BUILD_DIR
"""
import os
import re
import select
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


SERVED = "127.0.0.1:8520"
# The served board's token, as the README's reader exports it from the address serve printed.
TOKEN = "readme-transcripts-0123456789abcdef"


class Server:
    """A `vrx5200 --sim serve` on a free loopback port, started on first use."""

    def __init__(self, build, cwd, env):
        self.build, self.cwd, self.env = build, cwd, env
        self.process = None
        self.address = None

    def start(self):
        if self.process is None:
            tool = os.path.join(os.path.abspath(self.build), "tools", "vrx5200")
            self.process = subprocess.Popen([tool, "--sim", "serve", "--listen", "127.0.0.1:0"],
                                            cwd=self.cwd, env=dict(self.env, VRX5200_TOKEN=TOKEN),
                                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                            text=True)
            # Its first line says where it listens: at once, or it did not start.
            ready, _, _ = select.select([self.process.stdout], [], [], 10)
            line = self.process.stdout.readline() if ready else ""
            match = re.search(r"listening on http://(127\.0\.0\.1:\d+)/", line)
            if not match:
                raise RuntimeError(f"vrx5200 serve did not start: {line!r}")
            self.address = match.group(1)
        return self.address

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=10)


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
        for name in ("VRX5200_URI", "VRX5200_TOKEN", "VRX5200_TOKEN_FILE"):
            env.pop(name, None)
        server = Server(build, scratch, env)
        try:
            failures = run_all(commands, scratch, env, server)
        finally:
            server.stop()
    print(f"{len(commands)} README commands run, {failures} failed")
    return 1 if failures else 0


def run_all(commands, scratch, env, server):
    failures = 0
    for number, command, expected in commands:
        served = SERVED in command
        if served:
            command = command.replace(SERVED, server.start())
        run = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=scratch,
                             env=dict(env, VRX5200_TOKEN=TOKEN) if served else env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             timeout=600)
        output = run.stdout.replace(server.address, SERVED) if served else run.stdout
        actual = output.rstrip("\n").splitlines()
        ok = run.returncode == 0 or any(line.startswith("vrx5200: ") for line in expected)
        if not ok or not matches(expected, actual):
            failures += 1
            print(f"README line {number}: $ {command}\n  exit {run.returncode}; expected:\n"
                  + "\n".join("    " + e for e in expected) + "\n  got:\n"
                  + "\n".join("    " + a for a in actual))
    return failures


if __name__ == "__main__":
    sys.exit(main())
