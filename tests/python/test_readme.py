"""The README as a custodian follows it: its ceremony's command blocks run in order in a fresh
folder, its one-line command in a temporary folder, its Python examples as written, and its
reference section holds the documentation of varnhold_core's type stub."""

import ast
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import cli_command

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()
STUB = ROOT / "python" / "varnhold_core-stubs" / "__init__.pyi"


def section(start, end):
    text = README.split(start, 1)[1]
    return text.split(end, 1)[0]


def blocks(text, language):
    return re.findall(rf"```{language}\n(.*?)```", text, re.S)


@pytest.fixture
def shell(tmp_path):
    """Runs shell text in a fresh folder with `varnhold` on the PATH; fails on the first
    command that fails."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "varnhold").write_text(f'#!/bin/sh\nexec {shlex.join(cli_command())} "$@"\n')
    (bin_dir / "varnhold").chmod(0o755)
    work = tmp_path / "work"
    work.mkdir()
    env = {**os.environ, "PATH": f"{bin_dir}:{os.environ['PATH']}", "TMPDIR": str(tmp_path)}

    def run(text):
        script = "set -euo pipefail\n" + text
        result = subprocess.run(
            ["bash", "-c", script], cwd=work, env=env, capture_output=True, timeout=120
        )
        assert result.returncode == 0, (text, result.stderr.decode())
        return result

    return work, run


def test_the_ceremony_runs_as_written(shell):
    work, run = shell
    ceremony = blocks(section("## The key ceremony", "\n## "), "sh")
    assert len(ceremony) >= 4
    for block in ceremony:
        run(block)
    made = {str(p.relative_to(work)) for p in work.rglob("*.txt")}
    expected = {f"shares/share-{n}.txt" for n in range(1, 6)} | {"key.txt", "replaced/share-2.txt"}
    expected |= {f"board/share-{n}.txt" for n in range(1, 8)}  # reshared 4 of 7
    assert expected | {f"renewed/share-{n}.txt" for n in (1, 3, 5)} <= made
    assert any(re.fullmatch(r"shares/share-\d{10,}\.txt", name) for name in made)


def test_the_one_line_command_works_in_a_temporary_folder(shell):
    work, run = shell
    (line,) = [b for b in blocks(README, "sh") if "pip install -q ." in b]
    # The install itself is the test run's own; the rest runs as written.
    steps = line.strip().split(" && ")
    first = next(i for i, step in enumerate(steps) if step.startswith("cd "))
    result = run(" && ".join(steps[first:]))
    assert re.fullmatch(rb"[0-9a-f]{64}\n", result.stdout)
    assert list(work.iterdir()) == []  # nothing written where it was started


@pytest.mark.parametrize(
    "code", blocks(section("## Using it from Python", "### Reference"), "python")[:2]
)
def test_the_python_examples_run(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr.decode()


def test_the_reference_shows_the_stub_documentation():
    flat = " ".join(README.split())
    documented = [
        node for node in ast.parse(STUB.read_text()).body if isinstance(node, ast.FunctionDef)
    ]
    assert len(documented) == 5
    for node in documented:
        assert " ".join(ast.get_docstring(node).split()) in flat, node.name
