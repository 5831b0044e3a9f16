"""EmojiMiddleware in front of a WSGI application served by wsgiref on 127.0.0.1, asked over
HTTP with real handsets' User-Agents; pages and what the application saw are checked byte for
byte against bytes computed from the map files."""

import http.client
import io
import json
import re
import shutil
import socketserver
import subprocess
import sys
import threading
import urllib.parse
from pathlib import Path
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

import pytest

from conftest import CARRIERS, SHARED, TEMPLATE, USER_AGENTS, codes, own_emoji, page_for
import glyphary
from glyphary.wsgi import EmojiMiddleware, media_type

class Recorder:
    """The application: remembers what it saw, answers TEMPLATE or what the path asks."""

    def __init__(self):
        self.seen = []

    def __call__(self, environ, start_response):
        length = int(environ.get("CONTENT_LENGTH") or 0)
        body = environ["wsgi.input"].read(length) if length else b""
        self.seen.append(
            {
                "carrier": environ["glyphary.carrier"],
                "query": environ["QUERY_STRING"],
                "type": environ.get("CONTENT_TYPE", ""),
                "body": body,
                "fields": self.fields(environ, body),
            }
        )
        path = environ["PATH_INFO"]
        if path == "/png":
            start_response("200 OK", [("Content-Type", "image/png"), ("Content-Length", "4")])
            return [b"\x89PNG"]
        if path in ("/drip", "/once"):
            start_response("200 OK", [("Content-Type", "text/html; charset=utf-8")])
            data = TEMPLATE.encode("utf-8")
            step = 1 if path == "/drip" else len(data)  # /once: a response object's one chunk
            return (data[i : i + step] for i in range(0, len(data), step))
        start_response(
            "200 OK",
            [("Content-Type", "text/html"), ("Content-Length", str(len(TEMPLATE.encode())))],
        )
        return [TEMPLATE.encode("utf-8")]

    @staticmethod
    def fields(environ, body):
        if environ.get("CONTENT_TYPE", "").startswith("application/x-www-form-urlencoded"):
            return urllib.parse.parse_qs(body.decode("ascii"))
        return urllib.parse.parse_qs(environ["QUERY_STRING"])


class ThreadingServer(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True


class QuietHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def server():
    app = Recorder()
    httpd = make_server(
        "127.0.0.1", 0, EmojiMiddleware(app), server_class=ThreadingServer, handler_class=QuietHandler
    )
    thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield app, httpd.server_address[1]
    httpd.shutdown()
    thread.join()
    httpd.server_close()


def request(port, carrier, path="/", body=None, content_type=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"User-Agent": USER_AGENTS[carrier]}
    if content_type:
        headers["Content-Type"] = content_type
    connection.request("POST" if body is not None else "GET", path, body=body, headers=headers)
    response = connection.getresponse()
    data = response.read()
    connection.close()
    return response, data


@pytest.mark.parametrize("carrier", list(USER_AGENTS))
def test_pages_reach_each_client_in_its_emoji_and_encoding(server, carrier):
    app, port = server
    for path in ("/", "/drip", "/once"):
        response, data = request(port, carrier, path)
        assert data == page_for(carrier), path
        charset = "UTF-8" if carrier == "none" else "Shift_JIS"
        assert response.getheader("Content-Type") == "text/html; charset=" + charset
        # A body in one piece goes with its new length; one given in pieces streams.
        length = None if path == "/drip" else str(len(data))
        assert response.getheader("Content-Length") == length, path
        assert "User-Agent" in response.getheader("Vary")
    assert app.seen[-1]["carrier"] == carrier


@pytest.mark.parametrize("carrier", list(CARRIERS))
def test_handset_posts_reach_the_application_as_utf8_notation(server, carrier):
    app, port = server
    emoji = own_emoji(carrier)
    posted = "あ".encode("cp932") + b"".join(emoji[i][1] for i in SHARED)
    expected = "あ" + "".join(":%s:" % i for i in SHARED)
    quoted = urllib.parse.quote_from_bytes(posted)

    request(port, carrier, "/?q=" + quoted + "&plain=a+b", body=b"t=" + quoted.encode(),
            content_type="application/x-www-form-urlencoded")
    seen = app.seen[-1]
    assert seen["fields"] == {"t": [expected]}
    assert urllib.parse.parse_qs(seen["query"]) == {"q": [expected], "plain": ["a b"]}
    assert seen["query"].endswith("&plain=a+b")  # fields with nothing to convert stay as sent

    boundary = "b0undary"
    file_bytes = bytes(range(256)) + posted
    body = (
        b"--b0undary\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\n" + posted + b"\r\n"
        b"--b0undary\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
        b"Content-Type: application/octet-stream\r\n\r\n" + file_bytes + b"\r\n--b0undary--\r\n"
    )
    request(port, carrier, body=body, content_type="multipart/form-data; boundary=" + boundary)
    seen = app.seen[-1]
    assert seen["body"] == (
        b"--b0undary\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\n"
        + expected.encode("utf-8")
        + b"\r\n--b0undary\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
        b"Content-Type: application/octet-stream\r\n\r\n" + file_bytes + b"\r\n--b0undary--\r\n"
    )


def test_other_clients_post_utf8_with_standard_emoji_as_notation(server):
    app, port = server
    table = codes("unicode.map")
    text = "Good " + table["sunny"] + " ☀ " + table["+1"] + "🏽 é"
    request(port, "none", body=urllib.parse.urlencode({"t": text}).encode(),
            content_type="application/x-www-form-urlencoded; charset=UTF-8")
    # A skin-tone sequence the table does not have stays whole.
    assert app.seen[-1]["fields"] == {"t": ["Good :sunny: :sunny: " + table["+1"] + "🏽 é"]}


def test_a_request_may_name_its_own_charset(server):
    app, port = server
    request(port, "imode", body=urllib.parse.quote("t=今日は", safe="=").encode(),
            content_type="application/x-www-form-urlencoded; charset=utf-8")
    assert app.seen[-1]["fields"] == {"t": ["今日は"]}


def test_responses_that_are_not_text_pass_untouched(server):
    app, port = server
    response, data = request(port, "imode", "/png")
    assert data == b"\x89PNG"
    assert response.getheader("Content-Length") == "4"
    assert response.getheader("Content-Type") == "image/png"


def test_handsets_get_character_references_for_what_shift_jis_lacks():
    # U+1FAE0 is a standard emoji that no table has.
    def app(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain; charset=utf-8")])
        return ["café \U0001FAE0 :sunny:".encode()]

    def html(environ, start_response):
        start_response("200 OK", [("Content-Type", "application/xhtml+xml")])
        return ["café \U0001FAE0".encode()]

    environ = {"HTTP_USER_AGENT": USER_AGENTS["imode"], "REQUEST_METHOD": "GET"}
    sunny = own_emoji("imode")["sunny"][1]
    for application, expected in ((app, b"caf? ? " + sunny), (html, b"caf&#233; &#129760;")):
        headers = []
        body = b"".join(EmojiMiddleware(application)(dict(environ), lambda s, h, e=None: headers.extend(h)))
        assert body == expected
        assert dict(headers)["Content-Type"].endswith("; charset=Shift_JIS")


def test_oversized_forms_are_refused_before_they_are_read(server):
    app, port = server
    count = len(app.seen)
    # Headers only: the answer must come without the body being read.
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.putrequest("POST", "/")
    connection.putheader("User-Agent", USER_AGENTS["imode"])
    connection.putheader("Content-Type", "application/x-www-form-urlencoded")
    connection.putheader("Content-Length", str((1 << 20) + 1))
    connection.endheaders()
    response = connection.getresponse()
    response.read()
    connection.close()
    assert response.status == 413 and len(app.seen) == count


def test_the_application_sees_json_bodies_untouched(server):
    app, port = server
    body = json.dumps({"t": "☀"}).encode()
    request(port, "none", body=body, content_type="application/json")
    assert app.seen[-1]["body"] == body


def call(middleware, body=None, content_type=None, carrier="imode", **environ):
    """One request straight through `middleware`: status, headers, body."""
    base = {
        "HTTP_USER_AGENT": USER_AGENTS[carrier],
        "REQUEST_METHOD": "GET",
        "QUERY_STRING": "",
        "PATH_INFO": "/",
        "wsgi.input": io.BytesIO(),
    }
    if body is not None:
        base.update(REQUEST_METHOD="POST", CONTENT_LENGTH=str(len(body)), CONTENT_TYPE=content_type)
        base["wsgi.input"] = io.BytesIO(body)
    base.update(environ)
    started = []
    out = b"".join(middleware(base, lambda status, headers, exc_info=None: started.append((status, headers))))
    return started[0][0], dict(started[0][1]), out


SJIS_TEXT = "あ".encode("cp932") + own_emoji("imode")["sunny"][1]
FORM = b"t=" + urllib.parse.quote_from_bytes(SJIS_TEXT).encode()
PART_HEAD = b'Content-Disposition: form-data; name="t"\r\n\r\n'
MULTIPART = b"--XX\r\n" + PART_HEAD + SJIS_TEXT + b"\r\n--XX--\r\n"
CONVERTED = "あ:sunny:".encode()
CONVERTED_FORM = b"t=" + urllib.parse.quote(CONVERTED).encode()
CONVERTED_MULTIPART = b"--XX\r\n" + PART_HEAD + CONVERTED + b"\r\n--XX--\r\n"
URLENCODED = "application/x-www-form-urlencoded"
MULTIPART_XX = "multipart/form-data; boundary=XX"


@pytest.mark.parametrize(
    "content_type, body, expected",
    [
        # Media types compare as RFC 9110 says: case, quotes and optional whitespace aside.
        pytest.param("Application/X-WWW-Form-URLEncoded", FORM, CONVERTED_FORM, id="type case"),
        pytest.param('application/x-www-form-urlencoded ; Charset="Shift_JIS"', FORM, CONVERTED_FORM, id="spaces"),
        pytest.param("Multipart/Form-Data; boundary=XX", MULTIPART, CONVERTED_MULTIPART, id="multipart case"),
        pytest.param('multipart/form-data ;BOUNDARY="XX"', MULTIPART, CONVERTED_MULTIPART, id="quoted"),
        # A preamble (valid), LF line ends (not, but sent), folded and Shift_JIS part headers.
        pytest.param(MULTIPART_XX, b"preamble\r\n" + MULTIPART + b"epilogue", CONVERTED_MULTIPART, id="preamble"),
        pytest.param(MULTIPART_XX, MULTIPART.replace(b"\r\n", b"\n"), CONVERTED_MULTIPART, id="LF"),
        pytest.param(
            MULTIPART_XX,
            b'--XX\r\nContent-Disposition: form-data;\r\n name="f"; filename="' + SJIS_TEXT + b'"\r\n\r\n'
            + SJIS_TEXT + b"\r\n--XX--\r\n",
            b'--XX\r\nContent-Disposition: form-data; name="f"; filename="' + SJIS_TEXT + b'"\r\n\r\n'
            + SJIS_TEXT + b"\r\n--XX--\r\n",
            id="file name",
        ),
        # A text field naming its charset gets its Content-Type rewritten.
        pytest.param(
            MULTIPART_XX,
            b"--XX\r\nContent-Type: Text/Plain; charset=UTF-8\r\n" + PART_HEAD + "☀".encode() + b"\r\n--XX--\r\n",
            b"--XX\r\nContent-Type: text/plain; charset=UTF-8\r\n" + PART_HEAD + "☀".encode() + b"\r\n--XX--\r\n",
            id="field charset",
        ),
    ],
)
def test_forms_are_read_whatever_their_media_type_spelling_and_line_ends(content_type, body, expected):
    app = Recorder()
    status, _, _ = call(EmojiMiddleware(app), body, content_type)
    assert status == "200 OK" and app.seen[-1]["body"] == expected


def chunked(body):
    """A body as a server that takes chunked uploads hands it over: no length, ended by EOF."""
    return {"CONTENT_LENGTH": "", "wsgi.input": io.BytesIO(body), "wsgi.input_terminated": True}


@pytest.mark.parametrize(
    "content_type, body, environ, status",
    [
        pytest.param(URLENCODED, FORM, chunked(FORM), "200 OK", id="chunked form"),
        pytest.param(MULTIPART_XX, MULTIPART, chunked(MULTIPART), "200 OK", id="chunked multipart"),
        pytest.param(URLENCODED, b"t=" + b"a" * 2000, chunked(b"t=" + b"a" * 2000), "413 Content Too Large",
                     id="chunked too large"),
        pytest.param(URLENCODED, FORM, {"CONTENT_LENGTH": ""}, "411 Length Required", id="no length"),
        pytest.param(MULTIPART_XX, MULTIPART, {"CONTENT_LENGTH": ""}, "411 Length Required", id="no length multipart"),
        pytest.param(URLENCODED, FORM, {"CONTENT_LENGTH": "1e3"}, "400 Bad Request", id="bad length"),
        pytest.param(URLENCODED, FORM, {"CONTENT_LENGTH": str(len(FORM) + 1)}, "400 Bad Request", id="cut short"),
        pytest.param(MULTIPART_XX, MULTIPART[:-8], {}, "400 Bad Request", id="unterminated"),
        pytest.param(MULTIPART_XX, b"--XX\r\nbad header\r\n\r\nx\r\n--XX--\r\n", {}, "400 Bad Request", id="no colon"),
        pytest.param("multipart/form-data", MULTIPART, {}, "400 Bad Request", id="no boundary"),
        pytest.param("multipart/form-data; boundary=YY", MULTIPART, {}, "400 Bad Request", id="no delimiter"),
        # Every limit covers headers as well as text: a long Content-Disposition, a long field.
        pytest.param(
            MULTIPART_XX,
            b'--XX\r\nContent-Disposition: form-data; name="' + b"n" * 5000 + b'"\r\n\r\nx\r\n--XX--\r\n',
            {},
            "413 Content Too Large",
            id="long part header",
        ),
        pytest.param(
            MULTIPART_XX, b"--XX\r\n" + PART_HEAD + b"a" * 1500 + b"\r\n--XX--\r\n", {}, "413 Content Too Large",
            id="long text field",
        ),
    ],
)
def test_bodies_are_read_to_their_end_or_refused_with_the_reason(content_type, body, environ, status):
    app = Recorder()
    got, headers, text = call(EmojiMiddleware(app, max_form_size=1024), body, content_type, **environ)
    assert got == status, text
    if status == "200 OK":
        assert app.seen[-1]["body"] in (CONVERTED_MULTIPART, CONVERTED_FORM)
    else:
        assert not app.seen and headers["Content-Type"].startswith("text/plain")


def test_a_multipart_file_larger_than_the_form_limit_passes_through_a_temporary_file():
    data = bytes(range(256)) * 64
    body = b'--XX\r\nContent-Disposition: form-data; name="f"; filename="a"\r\n\r\n' + data + b"\r\n--XX--\r\n"
    app = Recorder()
    status, _, _ = call(EmojiMiddleware(app, max_form_size=1024), body, MULTIPART_XX)
    assert status == "200 OK" and app.seen[-1]["body"] == body


def test_noncharacters_posted_by_other_clients_are_kept():
    table = codes("unicode.map")
    text = "\ufdd0sunny\ufdd1 " + table["sunny"] + "\ufdd1\ufdd0"
    app = Recorder()
    call(EmojiMiddleware(app), urllib.parse.urlencode({"t": text}).encode(), URLENCODED, carrier="none")
    assert app.seen[-1]["fields"] == {"t": ["\ufdd0sunny\ufdd1 :sunny:\ufdd1\ufdd0"]}


def test_what_other_clients_post_that_is_no_utf8_reaches_the_application_as_sent():
    # Shift_JIS from an old PC page, a byte no encoding has; beside them a standard emoji.
    raw = urllib.parse.quote_from_bytes(b"\x82\xa0\xff")
    form = "a=%s&b=%s" % (raw, urllib.parse.quote(codes("unicode.map")["sunny"]))
    expected = "a=%s&b=%%3Asunny%%3A" % raw
    app = Recorder()
    call(EmojiMiddleware(app), form.encode(), URLENCODED, carrier="none", QUERY_STRING=form)
    assert (app.seen[-1]["query"], app.seen[-1]["body"]) == (expected, expected.encode())

    def part(name, head, data):
        return b'--XX\r\nContent-Disposition: form-data; name="%s"\r\n%s\r\n%s\r\n' % (name, head, data)

    declared = b"Content-Type: text/plain; charset=utf-8\r\n"
    body = part(b"a", declared, b"\x82\xa0\xff") + part(b"b", declared, codes("unicode.map")["sunny"].encode())
    call(EmojiMiddleware(app), body + b"--XX--\r\n", MULTIPART_XX, carrier="none")
    utf8 = b"Content-Type: text/plain; charset=UTF-8\r\n"
    assert app.seen[-1]["body"] == part(b"a", declared, b"\x82\xa0\xff") + part(b"b", utf8, b":sunny:") + b"--XX--\r\n"


def answering(content_type, text, extra_headers=(), environ_flag=None):
    def app(environ, start_response):
        if environ_flag is not None:
            environ["glyphary.convert"] = environ_flag
        start_response("200 OK", [("Content-Type", content_type), *extra_headers])
        return [text.encode()]

    return app


SUNNY = own_emoji("imode")["sunny"][1]


@pytest.mark.parametrize(
    "content_type, converted",
    [
        ('Text/HTML; Charset="UTF-8"', True),
        ("text/html ; charset=utf-8", True),
        ("text/plain;charset=UTF8;format=flowed", True),
        ('text/html; charset="Shift_JIS"', False),
        ("text/css", False),
        ("text/htmlx", False),
    ],
)
def test_responses_are_chosen_by_media_type_as_rfc_9110_compares_them(content_type, converted):
    status, headers, body = call(EmojiMiddleware(answering(content_type, ":sunny:")))
    assert body == (SUNNY if converted else b":sunny:")
    if converted:
        assert media_type(headers["Content-Type"])[1]["charset"] == "Shift_JIS"


@pytest.mark.parametrize("cut", [None, 1, 2], ids=["whole", "cut after 1", "cut after 2"])
@pytest.mark.parametrize("content_type", ["text/html", "text/plain"])
def test_a_utf8_signature_goes_only_where_the_page_leaves_unicode(content_type, cut):
    page = "\ufeff<p>:sunny:</p>".encode()
    chunks = [page] if cut is None else [page[:cut], page[cut:]]

    def app(environ, start_response):
        start_response("200 OK", [("Content-Type", content_type)])
        return iter(chunks)

    assert call(EmojiMiddleware(app))[2] == b"<p>" + SUNNY + b"</p>"
    standard = codes("unicode.map")["sunny"].encode()
    assert call(EmojiMiddleware(app), carrier="none")[2] == b"\xef\xbb\xbf<p>" + standard + b"</p>"
    utf16 = EmojiMiddleware(app, encodings={"imode": "utf-16le"})
    assert call(utf16)[2] == ("\ufeff<p>%s</p>" % own_emoji("imode")["sunny"][0]).encode("utf-16le")


@pytest.mark.parametrize("given", [list, iter], ids=["list", "iterable"])
@pytest.mark.parametrize(
    "method, status, body, sent, length",
    [
        ("GET", "200 OK", b":sunny:", SUNNY, str(len(SUNNY))),
        # Frameworks answer HEAD with no body and GET's length, which is not the converted one.
        ("HEAD", "200 OK", b"", b"", None),
        ("HEAD", "200 OK", b":sunny:", SUNNY, str(len(SUNNY))),
        ("GET", "304 Not Modified", b"", b"", None),
        ("GET", "204 No Content", b"", b"", None),
        # A range of the application's bytes stays one.
        ("GET", "206 Partial Content", b":sunny:", b":sunny:", "7"),
    ],
)
def test_a_converted_response_says_no_length_but_the_one_get_is_sent(given, method, status, body, sent, length):
    def app(environ, start_response):
        start_response(status, [("Content-Type", "text/html"), ("Content-Length", "7")])
        return given([body])

    status_sent, headers, out = call(EmojiMiddleware(app), REQUEST_METHOD=method)
    assert status_sent == status and out == sent
    assert headers.get("Content-Length") == length


@pytest.mark.parametrize(
    "extra, flag",
    [([("Glyphary-Convert", "off")], None), ([("glyphary-convert", " OFF ")], None), ([], False)],
)
def test_a_response_can_opt_out(extra, flag):
    status, headers, body = call(EmojiMiddleware(answering("text/html", ":sunny:", extra, flag)))
    assert body == b":sunny:" and headers["Content-Type"] == "text/html"
    assert not any(name.lower() == "glyphary-convert" for name in headers)


def test_the_localize_pattern_and_the_ids_can_be_chosen():
    text = "a:link:hover x:o:y {sunny} :sunny:"
    pattern = EmojiMiddleware(answering("text/html", text), localize_pattern=r"\{(\w+)\}")
    assert call(pattern)[2] == b"a:link:hover x:o:y " + SUNNY + b" :sunny:"
    ids = EmojiMiddleware(answering("text/html", text), localize_ids={"sunny", "c++"})
    assert call(ids)[2] == b"a:link:hover x:o:y {sunny} " + SUNNY
    with pytest.raises(glyphary.Error, match="LocalizePattern"):
        EmojiMiddleware(Recorder(), localize_pattern=r"(:")


@pytest.mark.parametrize(
    "setting, cause",
    [(None, "missing or unreadable"), ("<glyphary>\n  <map mode='1' src='a.map'>\n</glyphary>", "line 3, column")],
    ids=["missing", "ill-formed"],
)
def test_a_configuration_that_cannot_be_read_fails_at_construction(tmp_path, setting, cause):
    copy = tmp_path / "module"
    shutil.copytree(Path(glyphary.Glyphary().module_path).parent, copy)
    if setting is None:
        (copy / "Glyphary.setting").unlink()
    else:
        (copy / "Glyphary.setting").write_text(setting)
    with pytest.raises(glyphary.Error) as failed:
        EmojiMiddleware(Recorder(), module=str(copy / "glyphary.so"))
    assert str(copy / "Glyphary.setting") in str(failed.value) and cause in str(failed.value)


# Run in a child process so that its peak memory is its own: a 100 MB page without a line
# feed, 64 KiB at a time, through the middleware for a handset and for a PC.
LONG_PAGE = r"""
import resource, sys
from glyphary.wsgi import EmojiMiddleware

line = b"<p title=':sunny:'>" + b"lorem ipsum dolor sit amet " * 40 + b":sunny: \xe2\x98\x80 "
chunk = (line * 64)[:65536]
def app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/%s; charset=utf-8" % sys.argv[2])])
    return (chunk for _ in range(1600))

environ = {"HTTP_USER_AGENT": sys.argv[1], "REQUEST_METHOD": "GET"}
total = sum(len(piece) for piece in EmojiMiddleware(app)(environ, lambda s, h, e=None: None))
print(total, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""


@pytest.mark.parametrize("carrier, kind", [("imode", "html"), ("none", "plain")])
def test_a_long_page_without_line_feeds_streams_in_bounded_memory(carrier, kind):
    done = subprocess.run(
        [sys.executable, "-c", LONG_PAGE, USER_AGENTS[carrier], kind], capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    total, peak_mib = map(int, done.stdout.split())
    assert total > 50_000_000  # it went through, converted
    assert peak_mib < 200, "a 100 MB page took %d MiB" % peak_mib


def test_without_werkzeug_the_import_names_what_to_install():
    code = "import sys; sys.modules['werkzeug'] = None; import glyphary.wsgi"
    failed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "ImportError: glyphary.wsgi reads multipart/form-data with Werkzeug" in failed.stderr
    assert "pip install 'glyphary[wsgi]'" in failed.stderr and "python3-werkzeug" in failed.stderr


def test_pages_converted_on_many_threads_at_once_are_those_of_one_thread():
    # One localizer, its standard emoji converters pooled: each thread's pages must be what a
    # lone thread makes of them, for handsets and PCs, whole and in pieces.
    import threading

    from conftest import STYLED_TEXT

    pages = glyphary.PageLocalizer()
    data = STYLED_TEXT.encode() * 20
    clients = [("imode", "sjis"), ("softbank", "sjis"), ("unicode", "utf-8")]

    def convert(carrier, encoding, size):
        stream = pages.stream(carrier, "html", encoding)
        return b"".join(stream.convert(data[i : i + size]) for i in range(0, len(data), size)) + stream.finish()

    expected = {carrier: convert(carrier, encoding, len(data)) for carrier, encoding in clients}
    for carrier, encoding in clients:  # the last piece given with the end, or the page at once
        assert pages.stream(carrier, "html", encoding).finish(data) == expected[carrier]
        assert pages.convert(carrier, data, "html", encoding) == expected[carrier]
        assert pages.conversion(carrier, "html", encoding).convert(data) == expected[carrier]
    # A page that outgrows the room set aside for it (references triple it), long enough to be
    # converted without the GIL.
    grown = ("<p>caf\u00e9 " + "\u00e9" * 40000 + " :sunny:</p>").encode()
    whole = pages.conversion("imode", "html", "sjis").convert(grown)
    assert len(whole) > 2 * len(grown)
    assert whole == pages.stream("imode", "html", "sjis").finish(grown)
    failures = []

    def work(n):
        carrier, encoding = clients[n % len(clients)]
        for size in (7, 100, 4096):
            if convert(carrier, encoding, size) != expected[carrier]:
                failures.append((carrier, size))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(9)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
