"""WSGI middleware: every request and response converted for the handset that sent it.

    from glyphary.wsgi import EmojiMiddleware
    app = EmojiMiddleware(app)

Per request the User-Agent tells the carrier (``environ["glyphary.carrier"]``: imode, ezweb,
softbank, or none for anything that is no handset). The query string and form posts
(application/x-www-form-urlencoded, and the text fields of multipart/form-data) are decoded
from the encoding of the pages sent to that client (Shift_JIS with the carrier's emoji for
handsets, UTF-8 for the rest) unless the request names another charset, and reach the
application as UTF-8 with emoji in neutral notation: a handset's emoji through Globalize, the
standard emoji of other clients through the standard-emoji table (a field of theirs that
does not decode reaches it as sent). text/html,
application/xhtml+xml and text/plain responses in UTF-8 are localized for the client and
re-encoded as they stream: in HTML and XHTML only what people read (text, and the values of
title, alt, value and placeholder; never scripts, styles, comments, CDATA, tag names or other
attributes), in plain text all of it. Handsets get their carrier's emoji in their page
encoding, for notation and for the standard emoji the page holds (the carrier's text for
those it has none of); other clients the standard emoji.

A response is left as the application wrote it when the application sets
``environ["glyphary.convert"] = False`` before starting it, or sends the header
``Glyphary-Convert: off`` (which the middleware removes from every response), and when it
is a range of a page (206), whose Content-Range counts the application's bytes.

Request bodies are read in bounded memory: urlencoded bodies and multipart text fields and
part headers up to ``max_form_size`` (413 beyond), multipart files through a temporary file.
A form post needs a Content-Length unless the server says it ends the input itself
(``wsgi.input_terminated``, as servers that take chunked uploads do): 411 otherwise.
Malformed bodies get 400.

What responses need (the pattern, the ids' replacements, the standard emoji converters) is
made when the middleware is, and shared by every thread; the objects that read posts are one
per thread. Threaded servers are served as they are.
"""

import functools
import io
import os
import re
import tempfile
import threading
import urllib.parse

try:
    from werkzeug.datastructures import Headers
    from werkzeug.exceptions import RequestEntityTooLarge
    from werkzeug.sansio.multipart import Data, Epilogue, File, MultipartDecoder, NeedData
except ImportError as missing:
    raise ImportError(
        "glyphary.wsgi reads multipart/form-data with Werkzeug, which this Python cannot "
        "import (%s): pip install 'glyphary[wsgi]', or on Debian apt install python3-werkzeug"
        % missing,
        name=__name__,
    ) from missing

from ._glyphary import (
    EncodingError,
    Error,
    Glyphary,
    PageLocalizer,
    decode,
    encoding_name,
    read_settings,
)
from ._standard import StandardEmoji

# _PartDecoder below replaces how the decoder reads a part's headers; a Werkzeug without that
# step would leave the rewritten parts without headers.
if not callable(getattr(MultipartDecoder, "_parse_headers", None)):
    raise ImportError("glyphary.wsgi does not know this Werkzeug's multipart decoder", name=__name__)

__all__ = ["EmojiMiddleware"]

_BODILESS = ("GET", "HEAD")  # requests whose bodies the middleware leaves alone
HANDSET_ENCODINGS = {"imode": "sjis", "ezweb": "sjis", "softbank": "sjis"}
_PAGE_KINDS = {"text/html": "html", "application/xhtml+xml": "xhtml", "text/plain": "plain"}
_CHARSET_LABELS = {"sjis": "Shift_JIS", "utf-8": "UTF-8", "utf-16le": "UTF-16LE"}


# RFC 9110's media type: type "/" subtype *( OWS ";" OWS [ name "=" ( token / quoted-string ) ] ).
_TOKEN = r"[!#$%&'*+.^_`|~0-9A-Za-z-]+"
_MEDIA_TYPE = re.compile(r"[ \t]*(%s/%s)[ \t]*" % (_TOKEN, _TOKEN))
_PARAMETER = re.compile(r';[ \t]*(?:(%s)=(%s|"(?:[^"\\]|\\.)*")[ \t]*)?' % (_TOKEN, _TOKEN))
_QUOTED_PAIR = re.compile(r"\\(.)")
_BOUNDARY = re.compile(r"[0-9A-Za-z'()+_,./:=? -]{0,69}[0-9A-Za-z'()+_,./:=?-]")
_CONTENT_LENGTH = re.compile(r"[0-9]+")
_FOLDED = re.compile(rb"(?:\r\n|\n|\r)[ \t]")  # a header line continued on the next


class _Refused(Exception):
    """A request the middleware answers itself, with `status` and a short reason."""

    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status
        self.reason = reason


def _too_large(what):
    return _Refused("413 Content Too Large", what + " larger than the middleware's max_form_size")


def media_type(value):
    """(type/subtype, {parameter: value}) of a Content-Type, type and parameter names in lower
    case, values unquoted; (None, {}) when it is no media type. Later duplicates are ignored."""
    match = _MEDIA_TYPE.match(value or "")
    if not match:
        return None, {}
    parameters = {}
    position = match.end()
    while position < len(value):
        parameter = _PARAMETER.match(value, position)
        if not parameter:
            break  # what follows is no parameter: read what came before it
        if parameter[1]:
            text = parameter[2]
            if text.startswith('"'):
                text = _QUOTED_PAIR.sub(r"\1", text[1:-1])
            parameters.setdefault(parameter[1].lower(), text)
        position = parameter.end()
    return match[1].lower(), parameters


def _serialise(mimetype, parameters):
    """A media type with its parameters, quoting values that are no token."""
    out = [mimetype]
    for name, value in parameters.items():
        if not re.fullmatch(_TOKEN, value):
            value = '"%s"' % re.sub(r'(["\\])', r"\\\1", value)
        out.append("%s=%s" % (name, value))
    return "; ".join(out)


def _charset(label):
    """Our encoding for a charset label a request gives, or None."""
    if not label:
        return None
    if isinstance(label, bytes):
        label = label.decode("latin-1")
    return encoding_name(label)


class _Request:
    """What requests from one client need: its carrier, and how its text is read and written.
    Made once per User-Agent and shared by its requests, so nothing in it changes but what it
    remembers of Content-Types."""

    __slots__ = ("middleware", "carrier", "handset", "encoding", "mode", "pages")

    def __init__(self, middleware, user_agent):
        self.middleware = middleware
        self.carrier = middleware._detector().carrier_of(user_agent)
        self.handset = self.carrier in middleware.encodings
        self.encoding = middleware.encodings[self.carrier] if self.handset else "utf-8"
        # Responses are localized in the carrier's mode, or with standard emoji.
        self.mode = self.carrier if self.handset else "unicode"
        # The _Page (or None) of each Content-Type its responses had, up to a bound.
        self.pages = {}

    def page(self, content_type):
        """The _Page of a response with this Content-Type, or None when it is left as is."""
        page = self.middleware._page_of(content_type, self.mode, self.encoding)
        if len(self.pages) < 64:
            self.pages[content_type] = page
        return page

    def text(self, raw: bytes, charset=None):
        """Posted bytes to the UTF-8 the application reads, emoji as neutral notation. From
        clients that are no handset, bytes that do not decode give None: the middleware only
        turns their standard emoji into notation, and leaves such a field as it was sent."""
        encoding = charset or self.encoding
        if self.handset:
            text = decode(raw, encoding, self.carrier, errors="replace")
            text = self.middleware._object(self.carrier).globalize(text)
        else:
            try:
                text = decode(raw, encoding, "none")
            except EncodingError:
                return None
            if self.middleware._standard is not None:
                text = self.middleware._standard.globalize(text)
        return text.encode("utf-8", "replace")


class EmojiMiddleware:
    """Wraps a WSGI application; see the module's docstring.

    encodings: the page encoding per handset carrier (utf-8, sjis or utf-16le); a carrier
    left out is served as a client that is no handset. module: the glyphary.so to use.
    standard_emoji: whether standard emoji posted by other clients become notation.
    max_form_size: the largest urlencoded body, multipart text field or part header block
    read into memory (larger ones get 413); file parts of multipart bodies pass through a
    temporary file. localize_pattern: the pattern that finds notation in responses (group 1
    the id; default: the one Glyphary.setting gives). localize_ids: when given, only these ids
    are localized in responses; any other notation stays as written.

    Raises glyphary.Error when the module cannot be loaded, its Glyphary.setting cannot be
    read or is not well-formed (the message names the file, and the line and column), or
    localize_pattern is ill-formed.
    """

    def __init__(
        self,
        app,
        *,
        encodings=None,
        module=None,
        standard_emoji=True,
        max_form_size=1 << 20,
        localize_pattern=None,
        localize_ids=None,
    ):
        self.app = app
        self.encodings = dict(HANDSET_ENCODINGS if encodings is None else encodings)
        self.max_form_size = max_form_size
        self._local = threading.local()
        # The module and its configuration are loaded now, so that a wrong one shows at
        # start-up rather than in the first request.
        self._module_path = module
        self._module_path = self._detector().module_path
        _check_settings(self._module_path)
        # Responses: the pattern compiled, the ids' replacements and the standard emoji
        # converters made once here for every thread and request.
        self._pages = PageLocalizer(self._module_path, localize_pattern, localize_ids)
        for mode in {*self.encodings, "unicode"}:
            self._pages.prepare(mode)
        self._standard = StandardEmoji(self._module_path) if standard_emoji else None
        # User-Agents repeat: each is matched against the rules once (up to a bound, since
        # clients choose them).
        self._request_of = functools.lru_cache(maxsize=4096)(functools.partial(_Request, self))
        # Applications send few distinct Content-Types: each is read once per client encoding.
        self._page_of = functools.lru_cache(maxsize=256)(self._page)

    def _detector(self):
        detector = getattr(self._local, "detector", None)
        if detector is None:
            detector = self._local.detector = Glyphary("none", self._module_path)
        return detector

    def _object(self, carrier):
        """This thread's object for `carrier`, which globalizes what its handsets post."""
        objects = getattr(self._local, "objects", None)
        if objects is None:
            objects = self._local.objects = {}
        found = objects.get(carrier)
        if found is None:
            found = objects[carrier] = Glyphary(carrier, self._module_path)
        return found

    def __call__(self, environ, start_response):
        request = self._request_of(environ.get("HTTP_USER_AGENT", ""))
        environ["glyphary.carrier"] = request.carrier
        environ["glyphary.encoding"] = request.encoding
        try:
            if environ.get("QUERY_STRING") or environ.get("REQUEST_METHOD", "GET") not in _BODILESS:
                self._convert_request(environ, request)
        except _Refused as refused:
            body = (refused.reason + "\n").encode("utf-8")
            start_response(
                refused.status,
                [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(body)))],
            )
            return [body]
        response = _Response(request, start_response, environ)
        result = self.app(environ, response.start_response)
        if response.page is not None and type(result) in (list, tuple):
            return [response.whole(result)]  # all known: converted now, no generator
        response.returned = True
        if response.page is not None:
            response.stream()
        return response.iterate(result)

    def _page(self, content_type, mode, encoding):
        """The _Page of a response whose Content-Type the middleware converts, else None."""
        mimetype, parameters = media_type(content_type)
        charset = parameters.pop("charset", None)
        kind = _PAGE_KINDS.get(mimetype)
        if kind is None or (charset is not None and _charset(charset) != "utf-8"):
            return None
        parameters["charset"] = _CHARSET_LABELS[encoding]
        # What its conversion refuses (an encoding the converter does not know) fails the
        # application's start_response, uncached, rather than the body later.
        return _Page(
            ("Content-Type", _serialise(mimetype, parameters)),
            self._pages.conversion(
                mode, kind, encoding, "replace" if kind == "plain" else "xmlcharrefreplace"
            ),
        )

    # ------------------------------------------------------------------------------------
    # Requests

    def _convert_request(self, environ, request):
        query = environ.get("QUERY_STRING", "")
        if query:
            converted = _convert_urlencoded(query.encode("latin-1"), request, None)
            environ["QUERY_STRING"] = converted.decode("ascii")
        if environ.get("REQUEST_METHOD", "GET") in _BODILESS:
            return
        mimetype, parameters = media_type(environ.get("CONTENT_TYPE", ""))
        if mimetype == "application/x-www-form-urlencoded":
            body = bytearray()
            for chunk in self._body(environ, self.max_form_size):
                body += chunk
                if len(body) > self.max_form_size:
                    raise _too_large("a form")
            body = _convert_urlencoded(bytes(body), request, _charset(parameters.get("charset")))
            self._replace_body(environ, io.BytesIO(body), len(body))
            environ["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
        elif mimetype == "multipart/form-data":
            boundary = parameters.get("boundary", "")
            if not _BOUNDARY.fullmatch(boundary):
                raise _Refused("400 Bad Request", "multipart/form-data without a valid boundary")
            self._convert_multipart(environ, request, boundary.encode("latin-1"))

    def _body(self, environ, limit):
        """The request body in pieces: Content-Length bytes, or up to the end when the server
        ends the input itself; refused when neither is there, or a known length is over `limit`."""
        stream = environ["wsgi.input"]
        piece = max(1, min(65536, self.max_form_size // 4))
        length = environ.get("CONTENT_LENGTH") or ""
        if not length:
            if not environ.get("wsgi.input_terminated"):
                raise _Refused("411 Length Required", "a form post needs a Content-Length")
            while True:
                chunk = stream.read(piece)
                if not chunk:
                    return
                yield chunk
        if not _CONTENT_LENGTH.fullmatch(length):
            raise _Refused("400 Bad Request", "the Content-Length is no number")
        remaining = int(length)
        if limit is not None and remaining > limit:
            raise _too_large("a form")
        while remaining > 0:
            chunk = stream.read(min(remaining, piece))
            if not chunk:
                raise _Refused("400 Bad Request", "the body ended before its Content-Length")
            remaining -= len(chunk)
            yield chunk

    def _replace_body(self, environ, stream, length):
        environ["wsgi.input"] = stream
        environ["CONTENT_LENGTH"] = str(length)

    def _convert_multipart(self, environ, request, boundary):
        out = tempfile.SpooledTemporaryFile(max_size=self.max_form_size)
        rewriter = _MultipartRewriter(boundary, request, out, self.max_form_size)
        for chunk in self._body(environ, None):
            rewriter.feed(chunk)
        rewriter.feed(None)
        length = out.tell()
        out.seek(0)
        self._replace_body(environ, out, length)


def _check_settings(module_path):
    """Raises Error, saying where and why, when the Glyphary.setting beside the module cannot
    be read or is not well-formed (the module would run with empty tables)."""
    path = os.path.join(os.path.dirname(module_path), "Glyphary.setting")
    settings = read_settings(path)
    if not settings.loaded:
        error = Error("the module's configuration %s: %s" % (path, settings.problem))
        error.hresult, error.description = None, str(error)
        raise error


def _convert_urlencoded(data: bytes, request, charset) -> bytes:
    """name=value&... with each name and value converted; ASCII pieces stay as they were."""
    pieces = []
    for field in data.split(b"&"):
        parts = []
        for part in field.split(b"=", 1):
            raw = urllib.parse.unquote_to_bytes(part.replace(b"+", b" "))
            text = None if raw.isascii() else request.text(raw, charset)
            if text is None:
                parts.append(part)  # nothing to convert: kept exactly as sent
            else:
                parts.append(urllib.parse.quote_plus(text, safe="").encode("ascii"))
        pieces.append(b"=".join(parts))
    return b"&".join(pieces)


class _PartDecoder(MultipartDecoder):
    """werkzeug's streaming decoder, keeping each part's header lines as they were sent: their
    bytes (a handset's file names are Shift_JIS) pass to the application unchanged."""

    header_lines = ()

    def _parse_headers(self, data):
        self.header_lines = [
            line for line in _FOLDED.sub(b" ", bytes(data)).splitlines() if line.strip()
        ]
        headers = Headers()
        for line in self.header_lines:
            name, colon, value = line.partition(b":")
            if not colon:
                raise ValueError("a part's header line has no colon")
            headers.add(name.strip().decode("latin-1"), value.strip().decode("latin-1"))
        return headers


class _MultipartRewriter:
    """multipart/form-data rewritten as it is parsed: text fields converted, files as sent,
    each part's headers as sent but a converted text field's Content-Type; CR LF line ends
    throughout, no preamble or epilogue."""

    def __init__(self, boundary, request, out, limit):
        self.request = request
        self.out = out
        self.limit = limit
        self.delimiter = b"--" + boundary
        self.decoder = _PartDecoder(boundary, limit)
        self.text = None  # the text field being gathered, or None for a part passed through
        self.head = []  # its header lines, written with it
        self.charset = None
        self.done = False

    def feed(self, data):
        """Takes the next piece of the body, or None at its end."""
        if self.done:
            return  # what follows the close delimiter is epilogue, which goes
        try:
            self.decoder.receive_data(data)
            while not self.done:
                event = self.decoder.next_event()
                if isinstance(event, NeedData):
                    break
                self.handle(event)
        except RequestEntityTooLarge:
            raise _too_large("a multipart text field or part header block") from None
        except ValueError as e:
            raise _Refused("400 Bad Request", "malformed multipart/form-data: %s" % e) from None

    def handle(self, event):
        if isinstance(event, Data):
            if self.text is None:
                self.out.write(event.data)
            else:
                self.text += event.data
                if len(self.text) > self.limit:
                    raise _too_large("a multipart text field")
            if not event.more_data:
                if self.text is not None:
                    self.write_text()
                self.out.write(b"\r\n")
        elif isinstance(event, Epilogue):
            self.out.write(self.delimiter + b"--\r\n")
            self.done = True
        elif hasattr(event, "headers"):  # Field or File: a part begins
            content_type = event.headers.get("content-type")
            mimetype, parameters = media_type(content_type) if content_type else ("text/plain", {})
            is_text = not isinstance(event, File) and mimetype == "text/plain"
            self.out.write(self.delimiter + b"\r\n")
            if is_text:
                self.head = self.decoder.header_lines
                self.text = bytearray()
                self.charset = _charset(parameters.get("charset"))
            else:
                self.write_head(self.decoder.header_lines, False)
                self.text = None
        # A preamble goes: it carries nothing for the application.

    def write_head(self, lines, utf8):
        for line in lines:
            if utf8 and line.split(b":", 1)[0].strip().lower() == b"content-type":
                line = b"Content-Type: text/plain; charset=UTF-8"
            self.out.write(line + b"\r\n")
        self.out.write(b"\r\n")

    def write_text(self):
        """The text field gathered, with its headers: converted, its Content-Type saying UTF-8,
        or as sent where it does not decode."""
        converted = self.request.text(bytes(self.text), self.charset)
        self.write_head(self.head, converted is not None)
        self.out.write(self.text if converted is None else converted)
        self.text = None


class _Page:
    """How responses of one Content-Type go to clients of one encoding: the Content-Type
    header they get, and their conversion (convert(data) for a whole body, stream())."""

    __slots__ = ("content_type", "convert", "stream")

    def __init__(self, content_type, conversion):
        self.content_type = content_type
        self.convert = conversion.convert
        self.stream = conversion.stream


_VARY_USER_AGENT = ("Vary", "User-Agent")
_UNKNOWN = object()
# Headers start_response looks at, in lower case; the others pass by.
_READ_HEADERS = frozenset(
    ["glyphary-convert", "content-type", "content-encoding", "content-length", "vary"]
)


class _Response:
    """The application's start_response and body, localized for the client. The server's
    start_response is called when the first converted bytes are ready: a body the
    application gives in one piece then goes with its Content-Length, in one write."""

    __slots__ = ("request", "start", "environ", "page", "converter", "pending", "server_write",
                 "returned", "fed", "sized")  # fmt: skip

    def __init__(self, request, start_response, environ):
        self.request = request
        self.start = start_response
        self.environ = environ
        self.page = None  # the _Page of a body converted
        self.converter = None  # its stream, once one is needed
        self.pending = None  # (status, headers, exc_info) not given to the server yet
        self.server_write = None
        self.returned = False  # the application has returned its body
        self.fed = False  # the converter has been given some of the body
        self.sized = True  # the status allows a Content-Length

    def start_response(self, status, headers, exc_info=None):
        if exc_info is not None and self.server_write is not None:
            return self.start(status, headers, exc_info)  # too late: the server re-raises
        self.page = self.converter = None
        content_type = vary = None
        # A range of a page (206) goes as written: it cannot be converted alone, and its
        # Content-Range counts the application's bytes.
        convert = status[:3] != "206"
        ours = False  # a Glyphary-Convert header, which the client does not get
        others = []  # what a converted body keeps; not its length, type and Vary
        for header in headers:
            lowered = header[0].lower()
            if lowered not in _READ_HEADERS:
                others.append(header)
            elif lowered == "content-type":
                content_type = header[1]
            elif lowered == "glyphary-convert":
                ours = True
                convert = convert and header[1].strip().lower() != "off"
            elif lowered == "vary":
                vary = [header[1]] if vary is None else vary + [header[1]]
            elif lowered == "content-encoding":
                if header[1].strip().lower() != "identity":
                    convert = False
                others.append(header)
        if ours:
            headers = [header for header in headers if header[0].lower() != "glyphary-convert"]
        if content_type is not None and convert and self.environ.get("glyphary.convert", True):
            request = self.request
            page = request.pages.get(content_type, _UNKNOWN)
            if page is _UNKNOWN:
                page = request.page(content_type)
            if page is not None:  # text, in the UTF-8 we convert from
                self.page = page
                # Responses that carry no content (1xx, 204, 304) must say no length
                # (RFC 9110, 8.6).
                self.sized = status[:1] != "1" and status[:3] not in ("204", "304")
                if vary is None:
                    others += [page.content_type, _VARY_USER_AGENT]
                else:
                    others += [page.content_type, ("Vary", ", ".join(vary + ["User-Agent"]))]
                headers = others
                if self.returned:
                    self.stream()
        self.pending = (status, headers, exc_info)
        return self.write

    def stream(self):
        """Makes the converter of a body given in pieces."""
        self.converter = self.page.stream()

    def begin(self, length=None):
        """Gives the server the status and headers, with the body's length when known."""
        if self.server_write is None:
            status, headers, exc_info = self.pending
            if length is not None:
                headers.append(("Content-Length", str(length)))
            self.server_write = self.start(status, headers, exc_info)

    def write(self, data):
        """The write callable of start_response, for applications that still use it."""
        self.begin()
        if self.page is not None and self.converter is None:
            self.stream()
        if self.converter is not None:
            data = self.converter.convert(data)
            self.fed = True
        self.server_write(data)

    def iterate(self, result):
        try:
            held = None  # converted bytes not given on yet: the last may be the whole body
            # The first chunk waits for the next: a body of one chunk (a framework's response
            # object, a generator of the page) is converted whole, as a list's would be.
            first = None
            for chunk in result:
                converter = self.converter
                if converter is None:
                    self.begin()
                    yield chunk
                    continue
                if first is None and held is None and not self.fed:
                    first = chunk
                    continue
                for piece in (chunk,) if first is None else (first, chunk):
                    data = converter.convert(piece)
                    self.fed = True
                    if data:
                        if held is not None:
                            self.begin()
                            yield held
                        held = data
                first = None
            if self.converter is not None:
                if first is not None:
                    held = self.page.convert(first)
                else:
                    held = (held or b"") + self.converter.finish()
                self.begin(self.length(held))
                yield held
            elif self.pending is not None:
                self.begin()
        finally:
            close = getattr(result, "close", None)
            if close is not None:
                close()

    def length(self, data):
        """The Content-Length of a converted body that is all here, or None where it would
        not be the length a GET is sent: responses that carry no content, and a HEAD
        response the application gave no body (frameworks give none, and say GET's length,
        which is not that of the converted page)."""
        if not self.sized or (not data and self.environ.get("REQUEST_METHOD") == "HEAD"):
            return None
        return len(data)

    def whole(self, pieces):
        """A body whose pieces are all known (the usual one-piece list), converted: its last
        piece goes with the end of the page, and the body with its Content-Length."""
        if len(pieces) == 1 and self.converter is None:
            data = self.page.convert(pieces[0])
            if self.server_write is None:  # begin(), written out for the usual response
                status, headers, exc_info = self.pending
                length = self.length(data)
                if length is not None:
                    headers.append(("Content-Length", str(length)))
                self.server_write = self.start(status, headers, exc_info)
                return data
        else:
            if self.converter is None:
                self.stream()
            converter = self.converter
            data = b"".join([converter.convert(piece) for piece in pieces[:-1]])
            data += converter.finish(pieces[-1] if pieces else b"")
        self.begin(self.length(data))
        return data
