"""Types of the extension glyphary._glyphary (re-exported by glyphary)."""

import os
from typing import BinaryIO, Iterable, Literal, overload

__version__: str

class Error(Exception):
    """A failed call: the HRESULT (None for failures that have none) and the description."""

    hresult: int | None
    description: str

class EncodingError(Error, ValueError):
    """Bytes that do not decode, or a character the encoding cannot carry."""

    offset: int

_Carrier = str | int
# Legacy forms of emoji to read, comma-separated: references, localsrc, webcodes, google
# ("default": those four), sjis-references, cp932; None reads none (ncr: references).
_Forms = str | None
# carrier "auto": the carriers to prefer for a code that its record does not decide (names,
# first preferred), and what one record is.
_Prefer = str | list[str] | None
_Record = Literal["line", "paragraph", "whole"]
# strict raises EncodingError. replace: U+FFFD for what does not decode, '?' for what cannot be
# encoded. surrogateescape: a byte b of 0x80 or above that does not decode becomes U+DC00+b,
# and such a unit is written back as its byte. xmlcharrefreplace: what cannot be encoded is
# written &#N; (and U+DC80..U+DCFF as their bytes); decoding, it replaces.
_Errors = Literal["strict", "replace", "surrogateescape", "xmlcharrefreplace"]
# How a page is read, and what its encoding cannot hold becomes (a reference, '?', or an error).
_PageKind = Literal["html", "xhtml", "plain"]
_PageErrors = Literal["xmlcharrefreplace", "replace", "strict"]

class Glyphary:
    """One conversion object; calls on it run one at a time, with the GIL released.

    carrier: by default none (map mode 0, no carrier: its table is empty)."""

    def __init__(
        self, carrier: _Carrier = "none", module: str | os.PathLike[str] | None = None
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
    def convert_ezweb_mail(
        self, source: bytes | bytearray | memoryview | BinaryIO, destination: None = None
    ) -> bytes: ...
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
        carrier: _Carrier | Literal["auto"] | None = None,
        ncr: bool = False,
        errors: _Errors = "strict",
        forms: _Forms = None,
        prefer: _Prefer = None,
        record: _Record = "line",
    ) -> None: ...
    def convert(self, data: bytes | bytearray | memoryview) -> bytes: ...
    def finish(self) -> bytes: ...
    @property
    def guesses(self) -> int:
        """carrier "auto": emoji whose carrier was a guess so far."""

def decode(
    data: bytes | bytearray | memoryview,
    encoding: str = "utf-8",
    carrier: _Carrier | Literal["auto"] = "none",
    ncr: bool = False,
    errors: _Errors = "strict",
    forms: _Forms = None,
    prefer: _Prefer = None,
    record: _Record = "line",
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

class TableConverter:
    """Text from one table's emoji to another's (glyphary.CarrierConverter wraps it)."""

    def __init__(
        self, source: _Carrier, target: _Carrier, module: str | os.PathLike[str] | None = None
    ) -> None: ...
    def convert(self, text: str) -> str: ...

class PageStream:
    """One page through a PageLocalizer: UTF-8 bytes in, the client's bytes out."""

    def convert(self, data: bytes | bytearray | memoryview) -> bytes: ...
    def finish(self, data: bytes | bytearray | memoryview = b"") -> bytes: ...

class PageConversion:
    """Pages of one kind for one carrier in one encoding, from PageLocalizer.conversion."""

    def convert(self, data: bytes | bytearray | memoryview) -> bytes: ...
    def stream(self) -> PageStream: ...

class PageLocalizer:
    """Web pages localized for each client as they stream: HTML text and the title, alt,
    value and placeholder attributes (or all of a plain text); never scripts, styles,
    comments, CDATA, tag names or other attributes. Thread-safe."""

    def __init__(
        self,
        module: str | os.PathLike[str] | None = None,
        localize_pattern: str | None = None,
        localize_ids: Iterable[str] | None = None,
    ) -> None: ...
    def prepare(self, carrier: _Carrier) -> None: ...
    def conversion(
        self,
        carrier: _Carrier,
        kind: _PageKind = "html",
        encoding: str = "utf-8",
        errors: _PageErrors = "xmlcharrefreplace",
    ) -> PageConversion: ...
    def stream(
        self,
        carrier: _Carrier,
        kind: _PageKind = "html",
        encoding: str = "utf-8",
        errors: _PageErrors = "xmlcharrefreplace",
    ) -> PageStream: ...
    def convert(
        self,
        carrier: _Carrier,
        data: bytes | bytearray | memoryview,
        kind: _PageKind = "html",
        encoding: str = "utf-8",
        errors: _PageErrors = "xmlcharrefreplace",
    ) -> bytes: ...

def decode_mail(
    message: bytes | bytearray | memoryview | BinaryIO,
    carrier: _Carrier | None = None,
    to: _Carrier | None = None,
    module: str | os.PathLike[str] | None = None,
) -> str:
    """A handset's mail as text: headers, then each part; emoji as notation, or as `to`'s."""

class Settings:
    """What a Glyphary.setting says, as the module reads it."""

    loaded: bool
    problem: str
    @property
    def maps(self) -> list[tuple[int, str]]: ...
    @property
    def user_agents(self) -> list[tuple[int, str]]: ...

def read_settings(path: str | os.PathLike[str]) -> Settings: ...
