#!/usr/bin/env python3
"""Runs the examples of the documentation and compares them with what they print.

Usage: run_examples.py --source REPOSITORY --tool-dir FOLDER [DOCUMENT ...]

- Every ```console block of each document (default: README.md,
  docs/tool.md and docs/library.md) is a transcript: lines beginning with
  "$ " are commands, the lines up to the next command are what it prints
  (standard output and standard error together). Each block runs in one bash of its own, in a
  fresh temporary folder that holds a copy of examples/data as
  examples/data, with the tool's folder first on PATH. In an expected line,
  "..." stands for any text (a part that differs between machines, such as
  the folder the module was installed in). A command's exit status counts
  only where the transcript shows it (echo $?).
- Every ```cpp, ```cmake, ```csharp and ```xml block that follows a line
  naming a file in backticks (`examples/consumer/main.cpp`) is an excerpt of
  that file: its parts, separated by lines "// ...", "# ..." or
  "<!-- ... -->", appear in the file in that
  order, each as consecutive lines (a part may drop the indentation that all
  its lines have in the file).
- The examples of the tool's --help (the lines after "Example:") run in a
  copy of the sample data and must end with status 0; edit runs under a
  terminal with EDITOR=true, which changes nothing.
Exit status 0 when every example gives what is printed.

run_examples.py --source REPOSITORY --tool-dir FOLDER --update-help rewrites
the --help transcripts of docs/tool.md with what the tool prints now.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import uuid

failures = []


def fail(where, message):
    failures.append(f"{where}: {message}")


def blocks(text, languages):
    """(language, first line number, lines, the prose line before) of each fenced block."""
    lines = text.split("\n")
    found = []
    index = 0
    while index < len(lines):
        match = re.match(r"^```(\w+)\s*$", lines[index])
        if match and match.group(1) in languages:
            start = index + 1
            end = start
            while not lines[end].startswith("```"):
                end += 1
            prose = next((line for line in reversed(lines[:index]) if line.strip()), "")
            found.append((match.group(1), start + 1, lines[start:end], prose))
            index = end
        index += 1
    return found


def environment(tool_dir, home):
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("VYR_") and key not in ("EDITOR", "VISUAL", "CDPATH")}
    env["PATH"] = tool_dir + os.pathsep + env.get("PATH", "")
    env["HOME"] = home
    env["LC_ALL"] = "C.UTF-8"
    env["TMPDIR"] = home
    return env


def matches(expected, actual):
    if "..." not in expected:
        return expected == actual
    pattern = ".*".join(re.escape(part) for part in expected.split("..."))
    return re.fullmatch(pattern, actual) is not None


def run_transcript(where, lines, source, tool_dir):
    commands = []  # (command, expected lines)
    for line in lines:
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands:
            commands[-1][1].append(line)
        else:
            fail(where, f"output before the first command: {line!r}")
            return
    with tempfile.TemporaryDirectory(prefix="vyr-example-") as folder:
        work = os.path.join(folder, "work")
        shutil.copytree(os.path.join(source, "examples", "data"), os.path.join(work, "examples", "data"))
        salt = "VYR-EXAMPLE-" + uuid.uuid4().hex
        script = "exec 2>&1\n"
        for command, _ in commands:
            # The marker keeps the command's status for a following "echo $?".
            script += f"{command}\nvyr_status=$?; echo {salt}; (exit $vyr_status)\n"
        result = subprocess.run(["bash", "--noprofile", "--norc"], input=script.encode(), cwd=work,
                                env=environment(tool_dir, folder), stdout=subprocess.PIPE, timeout=120)
        outputs = result.stdout.decode("utf-8", "replace").split(salt + "\n")
        for number, (command, expected) in enumerate(commands):
            actual = outputs[number].split("\n")[:-1] if number < len(outputs) else ["(did not run)"]
            if len(actual) != len(expected) or not all(map(matches, expected, actual)):
                fail(where, f"$ {command}\n--- printed\n" + "\n".join(expected) +
                     "\n--- got\n" + "\n".join(actual))


def same_lines(part, window):
    """Whether the window of the file holds the part, each line indented alike:
    an excerpt may drop the indentation its lines have in the file."""
    if not part:
        return True
    indent = window[0][:len(window[0]) - len(part[0])]
    return indent.strip() == "" and all(
        line == actual or (line == "" and actual.strip() == "") or indent + line == actual
        for line, actual in zip(part, window))


def run_excerpt(where, lines, prose, source):
    named = re.findall(r"`([\w./-]+\.(?:cpp|h|txt|cs|csproj)|[\w./-]*CMakeLists\.txt)`", prose)
    if not named:
        fail(where, "a code block must follow a line that names the file it is taken from")
        return
    path = os.path.join(source, named[-1])
    if not os.path.isfile(path):
        fail(where, f"names {named[-1]}, which does not exist")
        return
    with open(path, encoding="utf-8") as file:
        text = file.read().split("\n")
    parts, part = [], []
    for line in lines:
        if line.strip() in ("// ...", "# ...", "<!-- ... -->"):
            parts.append(part)
            part = []
        else:
            part.append(line)
    parts.append(part)
    position = 0
    for part in parts:
        found = next((start for start in range(position, len(text) - len(part) + 1)
                      if same_lines(part, text[start:start + len(part)])), None)
        if found is None:
            fail(where, f"not an excerpt of {named[-1]} (from line {position + 1}):\n" + "\n".join(part))
            return
        position = found + len(part)


def help_examples(tool_dir):
    """The example lines of the tool's --help and of each command's."""
    tool = os.path.join(tool_dir, "vyr-classification")
    top = subprocess.run([tool, "--help"], stdout=subprocess.PIPE, text=True).stdout
    commands = re.findall(r"^  ([a-z-]+)\s{2,}", top.split("Subcommands:")[-1], re.MULTILINE)
    examples = []
    for command in [None] + commands:
        text = subprocess.run([tool] + ([command] if command else []) + ["--help"],
                              stdout=subprocess.PIPE, text=True).stdout
        lines = text.split("\n")
        if "Example:" not in lines:
            fail(f"vyr-classification {command or ''} --help", "has no example")
            continue
        for line in lines[lines.index("Example:") + 1:]:
            if not line.startswith("  "):
                break
            examples.append((command, line.strip()))
    # What import reads, export writes.
    examples.sort(key=lambda example: example[0] == "import")
    return commands, examples


def run_help_examples(tool_dir, source):
    commands, examples = help_examples(tool_dir)
    if "edit" not in commands or not shutil.which("script"):
        fail("--help", "the edit command or the 'script' program is missing")
    with tempfile.TemporaryDirectory(prefix="vyr-help-example-") as folder:
        work = os.path.join(folder, "work")
        shutil.copytree(os.path.join(source, "examples", "data"), os.path.join(work, "examples", "data"))
        env = environment(tool_dir, folder)
        env["VYR_CLASSIFICATION_ROOT"] = "examples/data"
        env["EDITOR"] = "true"
        for command, example in examples:
            argv = ["bash", "--noprofile", "--norc", "-c", example]
            if command == "edit":
                # edit runs the editor only with a terminal on standard input.
                argv = ["script", "-qec", example, "/dev/null"]
            result = subprocess.run(argv, cwd=work, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, timeout=120)
            if result.returncode != 0:
                fail(f"vyr-classification {command or ''} --help", f"example ended with status "
                     f"{result.returncode}: {example}\n{result.stdout.decode('utf-8', 'replace')}")
    return len(examples)


def update_help(source, tool_dir):
    """Replaces the output of each "$ vyr-classification ... --help" block of docs/tool.md."""
    path = os.path.join(source, "docs", "tool.md")
    with open(path, encoding="utf-8") as file:
        text = file.read()

    def replaced(match):
        argv = match.group(1).split()
        argv[0] = os.path.join(tool_dir, argv[0])
        printed = subprocess.run(argv, stdout=subprocess.PIPE, text=True).stdout.rstrip("\n")
        return f"```console\n$ {match.group(1)}\n{printed}\n```"

    text = re.sub(r"```console\n\$ (vyr-classification[^\n]* --help)\n.*?\n```", replaced, text, flags=re.DOTALL)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--tool-dir", required=True)
    parser.add_argument("--update-help", action="store_true")
    parser.add_argument("documents", nargs="*", default=["README.md", "docs/tool.md", "docs/library.md"])
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    tool_dir = os.path.abspath(args.tool_dir)
    if args.update_help:
        update_help(source, tool_dir)
        return 0
    counts = {"transcripts": 0, "excerpts": 0}
    for document in args.documents:
        with open(os.path.join(source, document), encoding="utf-8") as file:
            text = file.read()
        for language, line, lines, prose in blocks(text, ("console", "cpp", "cmake", "csharp", "xml")):
            where = f"{document}:{line}"
            if language == "console":
                counts["transcripts"] += 1
                run_transcript(where, lines, source, tool_dir)
            else:
                counts["excerpts"] += 1
                run_excerpt(where, lines, prose, source)
    helps = run_help_examples(tool_dir, source)
    for failure in failures:
        print(f"FAILED {failure}\n")
    print(f"{counts['transcripts']} transcripts, {counts['excerpts']} code blocks, {helps} --help examples: "
          f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
