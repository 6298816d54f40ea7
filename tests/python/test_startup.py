"""Start-up of the command line: what a command loads. The times are measured by
bench/startup.py, never here; these tests keep the heavy modules off the paths that need none."""

import json
import os
import subprocess
import sys

import pytest

import varnhold

# Never on the command line's path unless a command uses them.
NEVER = tuple(
    "typing dataclasses inspect locale shutil pyrage tqdm segno fpdf zxingcpp varnhold.age "
    "varnhold._age_cli varnhold.sheet varnhold.images varnhold._prompt".split()
)

# Runs the command line in this process's place and reports its status, the modules it loaded
# among those asked about, and whether argparse's message lookup was put back.
CHILD = """
import argparse, gettext, json, os, sys
from varnhold.cli import run
asked = json.loads(os.environ["ASKED"])
try:
    status = run(sys.argv[1:])
except SystemExit as exit:
    status = exit.code
with open(os.environ["REPORT"], "w") as report:
    json.dump({
        "status": status,
        "loaded": sorted(set(asked) & set(sys.modules)),
        "restored": argparse._ is gettext.gettext and argparse.ngettext is gettext.ngettext,
    }, report)
"""

# Loaded only by the commands that read shares or files, write, or report on shares.
REPORT = "varnhold._report"
UNUSED = (REPORT, "varnhold._input", "varnhold._output")

KEY = os.urandom(32).hex() + "\n"
SHARES = "".join(share + "\n" for share in varnhold.split(bytes(32), 2, 3))


@pytest.mark.parametrize(
    "argv, stdin, status, also_never",
    [
        (["--help"], "", 0, ("varnhold._native", "varnhold_core", "signal", "array", *UNUSED)),
        (["split", "--bogus"], "", 2, ("varnhold._native", "varnhold_core", "textwrap", *UNUSED)),
        (["split", "-k", "3", "-n", "5"], KEY, 0, ("varnhold_core", "signal", "textwrap", REPORT)),
        (["split", "-k", "6", "-n", "5"], KEY, 2, ("varnhold_core", "signal", "textwrap", REPORT)),
        (["split", "-k", "3", "-n", "5", "-o", "out"], KEY, 0, ("varnhold_core", "textwrap")),
        (["combine"], SHARES, 0, ("varnhold_core", "signal", "textwrap")),
        (["check"], SHARES, 0, ("varnhold_core", "signal", "textwrap")),
    ],
    ids=["help", "usage-error", "split", "split-refused", "split-to-folder", "combine", "check"],
)
def test_a_command_loads_only_what_it_uses(tmp_path, argv, stdin, status, also_never):
    env = dict(
        os.environ, ASKED=json.dumps(NEVER + also_never), REPORT=str(tmp_path / "report.json")
    )
    done = subprocess.run(
        [sys.executable, "-c", CHILD, *argv], input=stdin.encode(), capture_output=True,
        cwd=tmp_path, env=env,
    )  # fmt: skip
    report = json.loads((tmp_path / "report.json").read_text())
    assert (report["status"], done.returncode) == (status, 0), done.stderr
    assert report["loaded"] == [] and report["restored"]


@pytest.mark.parametrize(
    "expression, expected",
    [
        ("varnhold.MAX_SHARES", "1048576"),
        ("varnhold.Scheme == Union[Literal['shamir'], Literal['blakley']]", "True"),
        (
            "[get_args(state)[0] for state in get_args(varnhold.ShareState)]",
            "['good', 'wrong', 'unreadable', 'duplicate', 'foreign']",
        ),
        ("sorted(set(varnhold.__all__) - set(dir(varnhold)))", "[]"),
        ("varnhold._report.Scheme is varnhold.Scheme", "True"),
        ("varnhold.nothing", "AttributeError: module 'varnhold' has no attribute 'nothing'"),
        ("varnhold._report.nothing", "AttributeError"),
    ],
)
def test_names_made_on_first_use_are_there(expression, expected):
    code = (
        "from typing import Literal, Union, get_args\nimport varnhold, varnhold._report\n"
        f"try:\n    print(repr({expression}))\n"
        "except AttributeError as error:\n    print(f'AttributeError: {error}')"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.strip().startswith(expected), done.stderr
