"""Emoji of Japanese mobile handsets (i-mode, EZweb, SoftBank) to neutral text and back.

    >>> import glyphary
    >>> g = glyphary.Glyphary("softbank")
    >>> g.globalize(g.localize("Good morning :sunny:"))
    'Good morning :sunny:'

glyphary.Glyphary is one object of the Glyphary module (loaded once per process, see its
docstring for which one): globalize and localize for one carrier. glyphary.CarrierConverter
converts between carriers, standard emoji and notation; glyphary.decode_mail reads a
handset's mail; glyphary.encode and decode speak the handsets' encodings.
glyphary.wsgi.EmojiMiddleware converts every request and response of a WSGI application for
the handset that sent it (glyphary.PageLocalizer is its page conversion, for other servers).
"""

try:
    from ._glyphary import (
        Converter,
        EncodingError,
        Error,
        Glyphary,
        PageLocalizer,
        __version__,
        decode,
        decode_mail,
        encode,
        read_settings,
    )
except ModuleNotFoundError as missing:
    if missing.name != __name__ + "._glyphary":
        raise
    # Say which interpreter the package was built for, not merely that a module is missing.
    import importlib.machinery as _machinery
    import pathlib as _pathlib
    import sys as _sys

    _built = sorted(p.name for p in _pathlib.Path(__file__).parent.glob("_glyphary*.so"))
    raise ImportError(
        "glyphary's extension was built for another Python (%s), not for this %s %s, which "
        "loads %s; install glyphary with this interpreter: %s -m pip install ..."
        % (
            ", ".join(_built) or "no extension is in the package",
            _sys.implementation.name,
            _sys.version.split()[0],
            "_glyphary" + _machinery.EXTENSION_SUFFIXES[0],
            _sys.executable,
        ),
        name=__name__,
    ) from None

from ._convert import CarrierConverter  # noqa: E402  (after the extension's check)

__all__ = [
    "CarrierConverter",
    "Converter",
    "EncodingError",
    "Error",
    "Glyphary",
    "PageLocalizer",
    "decode",
    "decode_mail",
    "encode",
    "read_settings",
    "__version__",
]
