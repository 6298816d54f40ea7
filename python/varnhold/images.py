"""Reading shares back from pictures: the texts of the QR codes in a PNG or JPEG image of a
share sheet (a scan or a photo) or of a QR code alone.

Pillow decodes the image and zxing-cpp finds and reads the codes (both from the `paper`
extra); they are imported only when an image is read. What the codes hold is not judged here:
the package checks each text as it checks a typed share.
"""

from __future__ import annotations

import io
import warnings
from typing import List

# Larger pictures are refused before they are decoded: 64 million pixels is a 9000 x 7000
# photo, beyond every phone camera, and one byte a pixel once it is turned to grey.
MAX_PIXELS = 64_000_000


class ImageError(ValueError):
    """The image could not be read as shares; the message never holds a share."""


def share_texts_in_image(data: bytes) -> List[str]:
    """The text of every QR code in the image, top to bottom; ImageError when there is none
    or the image cannot be read."""
    from PIL import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
        Image,
        UnidentifiedImageError,
    )

    try:
        with warnings.catch_warnings():
            # The size is judged below, with a message of our own, before any pixel is read.
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            image = Image.open(io.BytesIO(data), formats=("PNG", "JPEG"))
        with image:
            width, height = image.size
            if width * height > MAX_PIXELS:
                raise ImageError(
                    f"the image has {width} x {height} pixels, more than the "
                    f"{MAX_PIXELS // 1_000_000} million read; scale it down"
                )
            grey = image.convert("L")
    except Image.DecompressionBombError:
        raise ImageError(
            f"the image has more than the {MAX_PIXELS // 1_000_000} million pixels read; "
            "scale it down"
        ) from None
    except (UnidentifiedImageError, OSError, SyntaxError) as error:
        # Pillow reports a truncated or corrupt file as OSError or SyntaxError.
        raise ImageError(f"not a readable PNG or JPEG image ({type(error).__name__})") from None
    return _decode(grey)


def _decode(image: object) -> List[str]:
    import zxingcpp  # type: ignore[import-not-found, import-untyped, unused-ignore]

    only_qr = zxingcpp.BarcodeFormats(zxingcpp.BarcodeFormat.QRCode)
    codes = zxingcpp.read_barcodes(image, formats=only_qr)
    if not codes:
        raise ImageError(
            "no QR code could be read in the image; photograph the code square on, sharp "
            "and whole, or type the share from the sheet's text"
        )
    codes.sort(key=lambda code: (code.position.top_left.y, code.position.top_left.x))
    return [str(code.text) for code in codes]
