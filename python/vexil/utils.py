"""Small text helpers of the package.

Minimal stand-in for the package's full module: it holds only the multibyte-text test that the option
store uses to warn about a working directory whose name may not survive every system.
"""

import os


def orvo_anyMultibyteUTF8Characters(text):
    """True when some character of ``text`` takes more than one byte in UTF-8.

    A ``str`` is tested exactly: every character above U+007F takes two to four bytes in UTF-8 (a lone
    surrogate, as left by undecodable file-name bytes, counts too). A path-like object is tested by its
    file-system form. ``bytes`` and ``bytearray`` are taken as encoded text: true when any byte is above
    0x7F, that is, when they hold a multibyte sequence (or bytes that are not UTF-8 at all). Anything else
    holds no text and gives False.
    """
    if isinstance(text, os.PathLike):
        text = os.fspath(text)
    if isinstance(text, str):
        return not text.isascii()
    if isinstance(text, (bytes, bytearray)):
        return not text.isascii()
    return False
