"""Types of the extension glyphary._glyphary (re-exported by glyphary)."""

import os
from typing import BinaryIO, Literal, overload

__version__: str

class Error(Exception):
    """A failed call: the HRESULT (None for failures that have none) and the description."""

    hresult: int | None
    description: str

class EncodingError(Error, ValueError):
    """Bytes that do not decode, or a character the encoding cannot carry."""

    offset: int

_Carrier = str | int
# strict raises EncodingError. replace: U+FFFD for what does not decode, '?' for what cannot be
# encoded. surrogateescape: a byte b of 0x80 or above that does not decode becomes U+DC00+b,
# and such a unit is written back as its byte. xmlcharrefreplace: what cannot be encoded is
# written &#N; (and U+DC80..U+DCFF as their bytes); decoding, it replaces.
_Errors = Literal["strict", "replace", "surrogateescape", "xmlcharrefreplace"]

class Glyphary:
    """One conversion object; calls on it run one at a time, with the GIL released."""

    def __init__(
        self, carrier: _Carrier = "imode", module: str | os.PathLike[str] | None = None
    ) -> None: ...
    @property
    def carrier(self) -> str:
        """imode, ezweb, softbank, unicode, none, or 'mode N'."""
    @carrier.setter
    def carrier(self, value: _Carrier) -> None: ...
    @property
    def mode(self) -> int: ...
    @mode.setter
    def mode(self, value: _Carrier) -> None: ...
    globalize_format: str
    globalize_undefined_format: str
    localize_pattern: str
    localize_undefined_format: str
    @property
    def module_path(self) -> str: ...
    def globalize(self, text: str) -> str: ...
    def localize(self, text: str) -> str: ...
    def detect(self, user_agent: str) -> int: ...
    def carrier_of(self, user_agent: str) -> str: ...
    @overload
    def convert_ezweb_mail(self, source: bytes | bytearray | memoryview | BinaryIO) -> bytes: ...
    @overload
    def convert_ezweb_mail(
        self, source: bytes | bytearray | memoryview | BinaryIO, destination: BinaryIO
    ) -> None: ...
    def map_ids(self, carrier: _Carrier) -> list[str]: ...

class Converter:
    """Bytes through an object's Globalize or Localize, piece by piece, in bounded memory."""

    def __init__(
        self,
        glyphary: Glyphary,
        operation: Literal["globalize", "localize"],
        source: str = "utf-8",
        target: str = "utf-8",
        carrier: _Carrier | None = None,
        ncr: bool = False,
        errors: _Errors = "strict",
    ) -> None: ...
    def convert(self, data: bytes | bytearray | memoryview) -> bytes: ...
    def finish(self) -> bytes: ...

def decode(
    data: bytes | bytearray | memoryview,
    encoding: str = "utf-8",
    carrier: _Carrier = "none",
    ncr: bool = False,
    errors: _Errors = "strict",
) -> str: ...
def encode(
    text: str,
    encoding: str = "utf-8",
    carrier: _Carrier = "none",
    ncr: bool = False,
    errors: _Errors = "strict",
) -> bytes: ...
def encoding_name(label: str) -> str | None:
    """utf-8, utf-16le or sjis for a name or charset label of one of them, else None."""
