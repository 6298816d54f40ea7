"""Printable share sheets: what a sheet shows, `varnhold print`, and shares read back from
pictures of sheets by `varnhold combine`."""

import datetime
import functools
import io
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest
import varnhold_core

import varnhold
from support import version_1
from test_cli import assert_one_line_error, mode_of, ok, run

for _module in ("segno", "fpdf", "zxingcpp", "PIL", "pypdfium2"):
    pytest.importorskip(_module, reason="the paper and test extras are not installed")

import pypdfium2  # noqa: E402
from PIL import Image, ImageDraw  # noqa: E402

from varnhold import sheet  # noqa: E402

# A numbered line of the typed text: its number, then groups of at most four characters.
TEXT_LINE = re.compile(r"^\s*(\d+) +(\S{1,4}(?: \S{1,4})*)\s*$")


def pdf_text(data):
    document = pypdfium2.PdfDocument(data)
    return "\n".join(page.get_textpage().get_text_range() for page in document)


def svg_text(data):
    root = ET.fromstring(data)
    return "\n".join(node.text or "" for node in root.iter("{http://www.w3.org/2000/svg}text"))


def typed_back(text):
    """The share as a custodian types it from the numbered lines: groups joined, numbers
    checked to run 1, 2, 3, ... and every group but the last of four characters."""
    numbers, groups = [], []
    for line in text.splitlines():
        match = TEXT_LINE.match(line)
        if match:
            numbers.append(int(match.group(1)))
            groups += match.group(2).split(" ")
    assert numbers == list(range(1, len(numbers) + 1))
    assert all(len(group) == 4 for group in groups[:-1])
    return "".join(groups)


def picture(share, source):
    """PNG or JPEG bytes of a sheet: its QR code drawn alone, or its PDF's first page."""
    if source == "qr":
        content = sheet.sheet_content(share, datetime.date.today())
        scale = 4
        image = Image.new("L", (content.qr_modules * scale,) * 2, 255)
        draw = ImageDraw.Draw(image)
        for row, col, length in content.qr_runs:
            box = (col * scale, row * scale, (col + length) * scale - 1, (row + 1) * scale - 1)
            draw.rectangle(box, fill=0)
        kind = "PNG"
    else:
        page = pypdfium2.PdfDocument(sheet.make_sheet(share).pdf)[0]
        image = page.render(scale=200 / 72).to_pil()
        kind = source.split("-")[1].upper()
    out = io.BytesIO()
    image.save(out, kind)
    return out.getvalue()


def split(key, k, n, scheme, version):
    """A new set as split writes it (version 2), or one stored before version 2."""
    if version == 1:
        return version_1(getattr(varnhold_core, scheme + "_split")(key, k, n), k)
    return varnhold.split(key, k, n, scheme=scheme)


@pytest.mark.parametrize(
    "scheme, k, n, version, source, used",
    [
        ("shamir", 3, 5, 2, "qr", [4, 0, 2]),
        ("shamir", 3, 5, 2, "pdf-png", [0, 1, 2]),
        ("blakley", 2, 3, 2, "pdf-jpeg", [2, 0]),
        ("blakley", 4, 5, 2, "qr", [1, 2, 3, 4]),
        ("blakley", 4, 5, 1, "pdf-png", [3, 1, 0, 4]),
    ],
)
def test_sheet_pictures_combine_to_the_key(tmp_path, scheme, k, n, version, source, used):
    key = varnhold.generate_key()
    shares = split(key, k, n, scheme, version)
    files = []
    for position in used:
        path = tmp_path / f"sheet-{position}.picture"
        path.write_bytes(picture(shares[position], source))
        files.append(path)
    assert ok("combine", *files).decode().strip() == key.hex()


@pytest.mark.parametrize(
    "scheme, k, version, has_qr, pages",
    [
        ("shamir", 2, 2, True, 1),
        ("blakley", 3, 2, True, 1),
        ("blakley", 16, 2, True, 1),
        ("shamir", 3, 1, True, 1),
        ("blakley", 60, 1, True, 2),
        ("blakley", 90, 1, False, 2),
    ],
)
def test_sheet_shows_the_share_and_its_fields(scheme, k, version, has_qr, pages):
    share = split(varnhold.generate_key(), k, k + 1, scheme, version)[-1]
    made = sheet.make_sheet(share, datetime.date(2031, 2, 3))
    set_id = share.split("-")[3]
    assert made.number == k + 1 and share.startswith(f"vh{version}-")
    assert len(pypdfium2.PdfDocument(made.pdf)) == pages
    for text in (pdf_text(made.pdf), svg_text(made.svg)):
        assert typed_back(text) == share
        facts = (f"Set id: {set_id}", f"Share number: {k + 1}", f"any {k} shares", "2031-02-03")
        assert all(fact in text for fact in (*facts, "varnhold combine", "docs/recover.py"))
        assert ("too long for one QR code" in text) is not has_qr
    assert (b"<path" in made.svg) is has_qr


def test_print_writes_one_pdf_and_svg_per_share(tmp_path):
    shares = varnhold.split(varnhold.generate_key(), 2, 4, scheme="blakley")
    (tmp_path / "in.txt").write_text("".join(s + "\n" for s in shares[1:]))
    ok("print", "-o", tmp_path / "sheets", tmp_path / "in.txt", umask=0)
    names = sorted(os.listdir(tmp_path / "sheets"))
    assert names == [f"share-{n}.{kind}" for n in (2, 3, 4) for kind in ("pdf", "svg")]
    assert {mode_of(tmp_path / "sheets" / name) for name in names} == {0o600}
    assert typed_back(pdf_text((tmp_path / "sheets" / "share-3.pdf").read_bytes())) == shares[2]


@functools.lru_cache(maxsize=None)
def _white_png(width, height):
    out = io.BytesIO()
    Image.new("1", (width, height), 1).save(out, "PNG")
    return out.getvalue()


def _inputs(shares):
    damaged = shares[0][:20] + ("0" if shares[0][20] != "0" else "1") + shares[0][21:]
    blank = _white_png(200, 200)
    return {
        "damaged": damaged + "\n",
        "bare": "1:" + ":".join(["0" * 32] * 4) + "\n",
        "twice": shares[1] + "\n" + shares[1] + "\n",
        "nothing": "\n",
        "existing": shares[0] + "\n",
        "blank.png": blank,
        "cut.png": blank[:60],
        "huge.png": _white_png(9000, 8000),
        "giant.png": _white_png(14000, 14000),
    }


@pytest.mark.parametrize(
    "command, given, status, fragment",
    [
        ("print", "damaged", 1, "in:1: the share is unreadable: checksum does not match"),
        ("print", "bare", 1, "in:1: only envelope shares"),
        ("print", "twice", 2, "in:2: a second share numbered 2 (the first is"),
        ("print", "nothing", 1, "no share was given"),
        ("print", "existing", 2, "share-1.svg: already exists; nothing was written"),
        ("combine", "blank.png", 1, "in: no QR code could be read"),
        ("combine", "cut.png", 1, "in: not a readable PNG or JPEG image"),
        ("combine", "huge.png", 1, "in: the image has 9000 x 8000 pixels, more than the 64"),
        ("combine", "giant.png", 1, "in: the image has more than the 64 million pixels"),
    ],
)
def test_refusals_leave_nothing_behind(tmp_path, command, given, status, fragment):
    shares = varnhold.split(varnhold.generate_key(), 2, 3)
    data = _inputs(shares)[given]
    (tmp_path / "in").write_bytes(data if isinstance(data, bytes) else data.encode())
    if given == "existing":
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "share-1.svg").write_text("kept")
    before = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}
    extra = ["-o", tmp_path / "out"] if command == "print" else []
    result = run(command, *extra, tmp_path / "in", cwd=tmp_path)
    assert_one_line_error(result, status, fragment, secrets=shares)
    after = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}
    assert after == before and (tmp_path / "out").exists() is (given == "existing")


def test_command_line_loads_no_paper_library():
    code = (
        "import sys, varnhold.cli; varnhold.cli.build_parser(); "
        "print(sorted({'segno', 'fpdf', 'PIL', 'zxingcpp', 'varnhold.sheet'} & set(sys.modules)))"
    )
    output = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
    assert output.stdout.strip() == b"[]"


@pytest.mark.parametrize("command, given", [("print", "share"), ("combine", "blank.png")])
def test_without_the_paper_extra_the_error_says_what_to_install(tmp_path, command, given):
    shares = varnhold.split(varnhold.generate_key(), 2, 3)
    data = {"share": shares[0].encode(), "blank.png": _white_png(200, 200)}[given]
    (tmp_path / "in").write_bytes(data)
    code = (
        "import sys; sys.modules.update(dict.fromkeys(['segno', 'fpdf', 'PIL', 'zxingcpp'])); "
        f"from varnhold.cli import run; sys.exit(run({[command, str(tmp_path / 'in')]!r}))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=tmp_path)
    assert_one_line_error(result, 2, "need the module", "pip install 'varnhold[paper]'")
    assert sorted(os.listdir(tmp_path)) == ["in"]
