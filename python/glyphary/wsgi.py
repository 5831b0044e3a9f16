"""WSGI middleware: every request and response converted for the handset that sent it.

    from glyphary.wsgi import EmojiMiddleware
    app = EmojiMiddleware(app)

Per request the User-Agent tells the carrier (``environ["glyphary.carrier"]``: imode, ezweb,
softbank, or none for anything that is no handset). The query string and form posts
(application/x-www-form-urlencoded, and the text fields of multipart/form-data) are decoded
from the encoding of the pages sent to that client (Shift_JIS with the carrier's emoji for
handsets, UTF-8 for the rest) unless the request names another charset, and reach the
application as UTF-8 with emoji in neutral notation: a handset's emoji through Globalize, the
standard emoji of other clients through the standard-emoji table. text/html,
application/xhtml+xml and text/plain responses in UTF-8 are localized for the client and
re-encoded as they stream: handsets get their carrier's emoji in their page encoding, other
clients the standard Unicode emoji (or their text fallback).

Every request gets its own conversion object; nothing is shared between threads but the
loaded module, so the middleware serves threaded servers as they are.
"""

import io
import tempfile
import threading
import urllib.parse

from multipart.exceptions import FormParserError
from multipart.multipart import MultipartParser, parse_options_header

from ._glyphary import Converter, Glyphary, decode, encoding_name
from ._standard import StandardEmoji

__all__ = ["EmojiMiddleware"]

HANDSET_ENCODINGS = {"imode": "sjis", "ezweb": "sjis", "softbank": "sjis"}
_CONVERTED_TYPES = {"text/html", "application/xhtml+xml", "text/plain"}
_MARKUP_TYPES = {"text/html", "application/xhtml+xml"}
_CHARSET_LABELS = {"sjis": "Shift_JIS", "utf-8": "UTF-8", "utf-16le": "UTF-16LE"}


class _TooLarge(Exception):
    pass


def _charset(label):
    """Our encoding for a charset label a request gives, or None."""
    if not label:
        return None
    if isinstance(label, bytes):
        label = label.decode("latin-1")
    return encoding_name(label)


class _Request:
    """What one request needs: its client, and how its text is read and written."""

    def __init__(self, middleware, environ):
        self.carrier = middleware._detector().carrier_of(environ.get("HTTP_USER_AGENT", ""))
        self.handset = self.carrier in middleware.encodings
        self.encoding = middleware.encodings[self.carrier] if self.handset else "utf-8"
        # The object localizes responses for this client; for handsets it also globalizes
        # what they post.
        mode = self.carrier if self.handset else "unicode"
        self.object = Glyphary(mode, middleware._module_path)
        self.standard = None if self.handset else middleware._standard

    def text(self, raw: bytes, charset=None) -> bytes:
        """Posted bytes to the UTF-8 the application reads, emoji as neutral notation."""
        encoding = charset or self.encoding
        carrier = self.carrier if self.handset else "none"
        text = decode(raw, encoding, carrier, errors="replace")
        if self.handset:
            text = self.object.globalize(text)
        elif self.standard is not None:
            text = self.standard.globalize(text)
        return text.encode("utf-8", "replace")


class EmojiMiddleware:
    """Wraps a WSGI application; see the module's docstring.

    encodings: the page encoding per handset carrier (utf-8, sjis or utf-16le); a carrier
    left out is served as a client that is no handset. module: the glyphary.so to use.
    standard_emoji: whether standard emoji posted by other clients become notation.
    max_form_size: the largest urlencoded body or multipart text field read into memory
    (larger ones get 413); file parts of multipart bodies pass through a temporary file.
    """

    def __init__(
        self,
        app,
        *,
        encodings=None,
        module=None,
        standard_emoji=True,
        max_form_size=1 << 20,
    ):
        self.app = app
        self.encodings = dict(HANDSET_ENCODINGS if encodings is None else encodings)
        self.max_form_size = max_form_size
        self._local = threading.local()
        # The module is loaded now, so that a wrong configuration shows at start-up.
        self._module_path = module
        self._module_path = self._detector().module_path
        self._standard = StandardEmoji(self._module_path) if standard_emoji else None

    def _detector(self):
        detector = getattr(self._local, "detector", None)
        if detector is None:
            detector = self._local.detector = Glyphary("none", self._module_path)
        return detector

    def __call__(self, environ, start_response):
        request = _Request(self, environ)
        environ["glyphary.carrier"] = request.carrier
        environ["glyphary.encoding"] = request.encoding
        try:
            self._convert_request(environ, request)
        except _TooLarge:
            start_response("413 Content Too Large", [("Content-Type", "text/plain")])
            return [b"request too large\n"]
        except FormParserError:
            start_response("400 Bad Request", [("Content-Type", "text/plain")])
            return [b"malformed multipart/form-data\n"]
        response = _Response(request, start_response)
        result = self.app(environ, response.start_response)
        return response.iterate(result)

    # ------------------------------------------------------------------------------------
    # Requests

    def _convert_request(self, environ, request):
        query = environ.get("QUERY_STRING", "")
        if query:
            converted = _convert_urlencoded(query.encode("latin-1"), request, None)
            environ["QUERY_STRING"] = converted.decode("ascii")
        if environ.get("REQUEST_METHOD", "GET") in ("GET", "HEAD"):
            return
        mimetype, options = parse_options_header(environ.get("CONTENT_TYPE", ""))
        if mimetype == b"application/x-www-form-urlencoded":
            body = self._read_body(environ, self.max_form_size)
            body = _convert_urlencoded(body, request, _charset(options.get(b"charset")))
            self._replace_body(environ, io.BytesIO(body), len(body))
            environ["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
        elif mimetype == b"multipart/form-data" and options.get(b"boundary"):
            self._convert_multipart(environ, request, options[b"boundary"])

    def _content_length(self, environ):
        try:
            return max(0, int(environ.get("CONTENT_LENGTH") or 0))
        except ValueError:
            return 0

    def _read_body(self, environ, limit):
        length = self._content_length(environ)
        if length > limit:
            raise _TooLarge()
        return environ["wsgi.input"].read(length) if length else b""

    def _replace_body(self, environ, stream, length):
        environ["wsgi.input"] = stream
        environ["CONTENT_LENGTH"] = str(length)

    def _convert_multipart(self, environ, request, boundary):
        out = tempfile.SpooledTemporaryFile(max_size=self.max_form_size)
        rebuilt = _MultipartRewriter(boundary, request, out, self.max_form_size)
        remaining = self._content_length(environ)
        stream = environ["wsgi.input"]
        while remaining > 0:
            chunk = stream.read(min(remaining, 65536))
            if not chunk:
                break
            remaining -= len(chunk)
            rebuilt.parser.write(chunk)
        rebuilt.parser.finalize()
        length = out.tell()
        out.seek(0)
        self._replace_body(environ, out, length)


def _convert_urlencoded(data: bytes, request, charset) -> bytes:
    """name=value&... with each name and value converted; ASCII pieces stay as they were."""
    pieces = []
    for field in data.split(b"&"):
        parts = []
        for part in field.split(b"=", 1):
            raw = urllib.parse.unquote_to_bytes(part.replace(b"+", b" "))
            if raw.isascii():
                parts.append(part)  # nothing to convert: kept exactly as sent
            else:
                text = request.text(raw, charset)
                parts.append(urllib.parse.quote_plus(text, safe="").encode("ascii"))
        pieces.append(b"=".join(parts))
    return b"&".join(pieces)


class _MultipartRewriter:
    """multipart/form-data rewritten as it is parsed: text fields converted, files as sent."""

    def __init__(self, boundary, request, out, limit):
        self.request = request
        self.out = out
        self.limit = limit
        self.delimiter = b"--" + boundary
        self.headers = []
        self.field = b""
        self.value = b""
        self.text = None  # the text field being gathered, or None for a part passed through
        self.charset = None
        callbacks = {
            "on_part_begin": self.part_begin,
            "on_header_field": self.header_field,
            "on_header_value": self.header_value,
            "on_header_end": self.header_end,
            "on_headers_finished": self.headers_finished,
            "on_part_data": self.part_data,
            "on_part_end": self.part_end,
            "on_end": self.end,
        }
        self.parser = MultipartParser(boundary, callbacks)

    def part_begin(self):
        self.headers = []
        self.field = self.value = b""

    def header_field(self, data, start, end):
        self.field += data[start:end]

    def header_value(self, data, start, end):
        self.value += data[start:end]

    def header_end(self):
        self.headers.append((self.field, self.value))
        self.field = self.value = b""

    def headers_finished(self):
        disposition, content_type = {}, None
        for name, value in self.headers:
            if name.lower() == b"content-disposition":
                disposition = parse_options_header(value)[1]
            elif name.lower() == b"content-type":
                content_type = parse_options_header(value)
        is_text = b"filename" not in disposition and (
            content_type is None or content_type[0] == b"text/plain"
        )
        self.out.write(self.delimiter + b"\r\n")
        for name, value in self.headers:
            if is_text and name.lower() == b"content-type":
                value = b"text/plain; charset=UTF-8"
            self.out.write(name + b": " + value + b"\r\n")
        self.out.write(b"\r\n")
        self.text = bytearray() if is_text else None
        self.charset = _charset(content_type[1].get(b"charset")) if content_type else None

    def part_data(self, data, start, end):
        if self.text is None:
            self.out.write(data[start:end])
            return
        self.text += data[start:end]
        if len(self.text) > self.limit:
            raise _TooLarge()

    def part_end(self):
        if self.text is not None:
            self.out.write(self.request.text(bytes(self.text), self.charset))
            self.text = None
        self.out.write(b"\r\n")

    def end(self):
        self.out.write(self.delimiter + b"--\r\n")


class _Response:
    """The application's start_response and body, localized for the client."""

    def __init__(self, request, start_response):
        self.request = request
        self.start = start_response
        self.converter = None

    def start_response(self, status, headers, exc_info=None):
        self.converter = None
        content_type = None
        encoded = False
        for name, value in headers:
            lowered = name.lower()
            if lowered == "content-type":
                content_type = value
            elif lowered == "content-encoding" and value.lower() != "identity":
                encoded = True
        if content_type is not None and not encoded:
            headers = self._prepare(headers, content_type)
        write = self.start(status, headers, exc_info)
        converter = self.converter

        def converted_write(data):
            write(converter.convert(data) if converter else data)

        return converted_write

    def _prepare(self, headers, content_type):
        mimetype, options = parse_options_header(content_type)
        mimetype = mimetype.decode("latin-1")
        charset = options.get(b"charset")
        if mimetype not in _CONVERTED_TYPES or (charset and _charset(charset) != "utf-8"):
            return headers  # not text, or not in the UTF-8 we convert from
        request = self.request
        self.converter = Converter(
            request.object,
            "localize",
            source="utf-8",
            target=request.encoding,
            errors="xmlcharrefreplace" if mimetype in _MARKUP_TYPES else "replace",
        )
        params = "".join(
            "; %s=%s" % (k.decode("latin-1"), v.decode("latin-1"))
            for k, v in options.items()
            if k != b"charset"
        )
        value = "%s%s; charset=%s" % (mimetype, params, _CHARSET_LABELS[request.encoding])
        kept = [
            (n, v)
            for n, v in headers
            if n.lower() not in ("content-type", "content-length", "vary")
        ]
        vary = [v for n, v in headers if n.lower() == "vary"]
        vary.append("User-Agent")
        return kept + [("Content-Type", value), ("Vary", ", ".join(vary))]

    def iterate(self, result):
        try:
            for chunk in result:
                converter = self.converter
                if converter is None:
                    yield chunk
                    continue
                data = converter.convert(chunk)
                if data:
                    yield data
            if self.converter is not None:
                data = self.converter.finish()
                if data:
                    yield data
        finally:
            close = getattr(result, "close", None)
            if close is not None:
                close()
