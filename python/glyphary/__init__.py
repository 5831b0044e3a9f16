"""Emoji of Japanese mobile handsets (i-mode, EZweb, SoftBank) to neutral text and back.

    >>> import glyphary
    >>> g = glyphary.Glyphary("softbank")
    >>> g.globalize(g.localize("Good morning :sunny:"))
    'Good morning :sunny:'

glyphary.Glyphary is one object of the Glyphary module (loaded once per process, see its
docstring for which one); glyphary.wsgi.EmojiMiddleware converts every request and response
of a WSGI application for the handset that sent it.
"""

from ._glyphary import (
    Converter,
    EncodingError,
    Error,
    Glyphary,
    __version__,
    decode,
    encode,
)

__all__ = ["Converter", "EncodingError", "Error", "Glyphary", "decode", "encode", "__version__"]
