"""Printable share sheets: one share as a one-page PDF and an SVG for a custodian's safe.

A sheet holds the share as a QR code, the same text in groups of four characters with line
numbers for typing it back, the public fields of its envelope (scheme, k, set id, number), the
date it was printed and short recovery instructions. The fields are read from the envelope's
text alone; the share is checked by the package before anything is drawn, so a damaged share is
never put on paper. segno draws the QR code and fpdf2 writes the PDF (both pure Python, from the
`paper` extra); they are imported only when a sheet is made.
"""

from __future__ import annotations

import datetime
import re
import textwrap
from typing import TYPE_CHECKING, List, NamedTuple, Optional, Tuple, Union
from xml.sax.saxutils import escape

import varnhold

if TYPE_CHECKING:
    from fpdf import FPDF as _FPDF  # type: ignore[import-not-found, import-untyped, unused-ignore]

GROUP = 4  # characters per group of the typed text
GROUPS_PER_LINE = 12
QUIET_ZONE = 4  # light modules around the code, as QR readers expect

# The envelope's public fields, which both versions write in the same places; the share itself
# is checked by varnhold.check.
_ENVELOPE = re.compile(r"vh[12]-([sb])-([1-9][0-9]*)-([0-9a-f]{16})-([1-9][0-9]*)-")
_SCHEMES = {"s": "Shamir", "b": "Blakley"}

# Page geometry in millimetres: A4 portrait, shared by the PDF and the SVG.
PAGE_WIDTH = 210.0
PAGE_HEIGHT = 297.0
MARGIN = 18.0
QR_SIDE = 70.0  # a small code is drawn this wide, quiet zone included
MIN_MODULE = 0.6  # a larger code is drawn wider so that no module is narrower than this
# Named fonts first: some renderers map only these, not the generic families, to a font.
SANS = "Helvetica, Arial, DejaVu Sans, sans-serif"
MONO = "Courier New, Courier, DejaVu Sans Mono, monospace"


class SheetError(ValueError):
    """The text cannot be printed as a sheet; the message never holds the share."""


class Sheet(NamedTuple):
    number: int  # the share's number in its set, for the file names
    pdf: bytes
    svg: bytes


class SheetContent(NamedTuple):
    """Everything a sheet shows, drawn the same way by both writers."""

    number: int
    title: str
    facts: List[str]
    note: Optional[str]  # why there is no QR code
    text_lines: List[str]  # numbered lines of grouped characters
    instructions: List[str]
    qr_modules: int  # modules on a side, quiet zone included (0: no code)
    qr_runs: List[Tuple[int, int, int]]  # dark runs: row, first column, length


def make_sheet(share: str, today: Optional[datetime.date] = None) -> Sheet:
    """The PDF and SVG sheet of one envelope share; raises SheetError for anything else."""
    content = sheet_content(share, today or datetime.date.today())
    return Sheet(content.number, render_pdf(content), render_svg(content))


def sheet_content(share: str, today: datetime.date) -> SheetContent:
    share = share.strip()
    fields = _ENVELOPE.match(share)
    if fields is None:
        raise SheetError(
            "only envelope shares (version 1 or 2) are printed (a bare share has no set id "
            "or check to print)"
        )
    status = varnhold.check([share]).shares[0]
    if status.state != "good":
        raise SheetError(f"the share is {status.state}: {status.reason or 'not intact'}")
    scheme, k, set_id, number = fields.groups()
    facts = [
        f"Scheme: {_SCHEMES[scheme]}",
        f"Set id: {set_id}",
        f"Share number: {number}",
        f"Threshold: any {k} shares of this set recover the key",
        f"Printed: {today.isoformat()}",
    ]
    side, runs = qr_runs(share)
    note = (
        None
        if side
        else f"This share ({len(share)} characters) is too long for one QR code: "
        "type it back from the text below."
    )
    return SheetContent(
        number=int(number),
        title=f"varnhold share {number} of set {set_id}",
        facts=facts,
        note=note,
        text_lines=grouped_lines(share),
        instructions=[
            f"To recover the key, bring together any {k} sheets of set {set_id}.",
            "Type each share on one line with no spaces (the groups are only for reading), "
            "or photograph its QR code, then run:  varnhold combine FILE ...",
            "With nothing but Python 3 at hand, docs/recover.py (one file in the varnhold "
            "source, beside docs/share-format.md, which defines this text) does the same:  "
            "python3 docs/recover.py FILE ...",
            f"Keep this sheet secret: whoever holds {k} sheets of this set holds the key.",
        ],
        qr_modules=side,
        qr_runs=runs,
    )


def grouped_lines(share: str) -> List[str]:
    """The text in groups of GROUP characters, GROUPS_PER_LINE to a numbered line."""
    width = GROUP * GROUPS_PER_LINE
    rows = [share[start : start + width] for start in range(0, len(share), width)]
    digits = len(str(len(rows)))
    return [
        f"{number:>{digits}}  "
        + " ".join(row[start : start + GROUP] for start in range(0, len(row), GROUP))
        for number, row in enumerate(rows, start=1)
    ]


def qr_runs(share: str) -> Tuple[int, List[Tuple[int, int, int]]]:
    """The modules on a side of the share's QR code (quiet zone included) and its dark runs
    row by row; (0, []) when the text does not fit in one code."""
    import segno  # type: ignore[import-not-found, import-untyped, unused-ignore]

    try:
        # The lowest error level picks the smallest code; boost_error then raises the level
        # as far as that same size allows.
        code = segno.make(share, error="l", boost_error=True, micro=False)
    except segno.DataOverflowError:
        return 0, []
    runs: List[Tuple[int, int, int]] = []
    for row, modules in enumerate(code.matrix):
        start = -1
        for column, dark in enumerate([*modules, 0]):
            if dark and start < 0:
                start = column
            elif not dark and start >= 0:
                runs.append((row + QUIET_ZONE, start + QUIET_ZONE, column - start))
                start = -1
    return len(code.matrix) + 2 * QUIET_ZONE, runs


def _module_size(content: SheetContent) -> float:
    return max(QR_SIDE / content.qr_modules, MIN_MODULE)


class TextStyle(NamedTuple):
    pdf_font: str  # one of the PDF's standard fonts, which need no embedding
    svg_family: str
    bold: bool
    size: float  # points
    line: float  # line height, millimetres


TITLE = TextStyle("Helvetica", SANS, True, 16, 9)
BODY = TextStyle("Helvetica", SANS, False, 11, 6)
NOTE = TextStyle("Helvetica", SANS, True, 11, 6)
SHARE_TEXT = TextStyle("Courier", MONO, False, 11, 5.5)
SMALL = TextStyle("Helvetica", SANS, False, 10, 5)
POINT = 25.4 / 72  # millimetres

# A sheet from top to bottom: a line of text, a gap in millimetres, or None for the QR code.
Item = Union[Tuple[TextStyle, str], float, None]


def _layout(content: SheetContent) -> List[Item]:
    items: List[Item] = [(TITLE, content.title)]
    items += [(BODY, fact) for fact in content.facts]
    items += [4.0, None if content.qr_modules else (NOTE, content.note or ""), 4.0]
    items.append((BODY, "Share text, in groups of four characters:"))
    items += [(SHARE_TEXT, line) for line in content.text_lines]
    items.append(6.0)
    for instruction in content.instructions:
        items += [(SMALL, instruction), 1.0]
    return items


def render_pdf(content: SheetContent) -> bytes:
    from fpdf import FPDF  # type: ignore[import-not-found, import-untyped, unused-ignore]
    from fpdf.enums import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
        XPos,
        YPos,
    )

    pdf = FPDF(format="A4", unit="mm")
    pdf.set_margins(MARGIN, MARGIN)
    pdf.set_auto_page_break(True, MARGIN)
    pdf.set_creator("varnhold")
    pdf.add_page()
    for item in _layout(content):
        if item is None:
            module = _module_size(content)
            side = module * content.qr_modules
            if pdf.will_page_break(side):
                pdf.add_page()
            _pdf_qr(pdf, content, MARGIN, pdf.get_y(), module)
            pdf.set_y(pdf.get_y() + side)
        elif isinstance(item, float):
            pdf.ln(item)
        else:
            style, text = item
            pdf.set_font(style.pdf_font, "B" if style.bold else "", style.size)
            pdf.multi_cell(
                PAGE_WIDTH - 2 * MARGIN,
                style.line,
                text,
                align="L",
                new_x=XPos.LMARGIN,
                new_y=YPos.NEXT,
            )
    _pdf_footers(pdf, content.title)
    return bytes(pdf.output())


def _pdf_footers(pdf: _FPDF, title: str) -> None:
    """Each page names the share and its page, so that the pages of a long share stay
    together even when they are separated."""
    pages = pdf.pages_count
    pdf.set_auto_page_break(False)
    pdf.set_font(SMALL.pdf_font, "", SMALL.size)
    for page in range(1, pages + 1):
        pdf.page = page
        pdf.set_xy(MARGIN, PAGE_HEIGHT - MARGIN / 2 - SMALL.line)
        pdf.cell(text=f"{title}, page {page} of {pages}")


def _pdf_qr(pdf: _FPDF, content: SheetContent, left: float, top: float, module: float) -> None:
    side = module * content.qr_modules
    pdf.set_fill_color(255)
    pdf.rect(left, top, side, side, style="F")
    pdf.set_fill_color(0)
    for row, column, length in content.qr_runs:
        pdf.rect(left + column * module, top + row * module, length * module, module, style="F")


def render_svg(content: SheetContent) -> bytes:
    """One SVG page as wide as the PDF's, as tall as the sheet needs (A4 at least)."""
    y = MARGIN
    parts: List[str] = []
    for item in _layout(content):
        if item is None:
            module = _module_size(content)
            path = "".join(f"M{col} {row}h{n}v1h-{n}z" for row, col, n in content.qr_runs)
            parts.append(
                f'<g transform="translate({MARGIN:g} {y:.2f}) scale({module:.4f})">'
                f'<rect width="{content.qr_modules}" height="{content.qr_modules}" fill="#fff"/>'
                f'<path d="{path}" fill="#000"/></g>'
            )
            y += module * content.qr_modules
        elif isinstance(item, float):
            y += item
        else:
            style, text = item
            size = style.size * POINT
            # SVG text does not wrap: break at about the width of an average character.
            for line in textwrap.wrap(text, int((PAGE_WIDTH - 2 * MARGIN) / (0.55 * size))):
                parts.append(
                    f'<text x="{MARGIN:g}" y="{y + 0.75 * style.line:.2f}" '
                    f'font-family="{style.svg_family}" font-size="{size:.2f}" '
                    f'font-weight="{"bold" if style.bold else "normal"}" '
                    f'xml:space="preserve">{escape(line)}</text>'
                )
                y += style.line
    height = max(PAGE_HEIGHT, y + MARGIN)
    svg = (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{PAGE_WIDTH:g}mm" '
        f'height="{height:.2f}mm" viewBox="0 0 {PAGE_WIDTH:g} {height:.2f}">\n'
        f'<rect width="{PAGE_WIDTH:g}" height="{height:.2f}" fill="#fff"/>\n'
        + "\n".join(parts)
        + "\n</svg>\n"
    )
    return svg.encode("ascii")
