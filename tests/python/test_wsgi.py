"""EmojiMiddleware in front of a WSGI application served by wsgiref on 127.0.0.1, asked over
HTTP with real handsets' User-Agents; pages and what the application saw are checked byte for
byte against bytes computed from the map files."""

import http.client
import io
import json
import socketserver
import threading
import urllib.parse
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

import pytest

from conftest import CARRIERS, USER_AGENTS, codes, own_emoji
from glyphary.wsgi import EmojiMiddleware

# Emoji every carrier has as its own, and one (the rainbow) that i-mode and au show as text.
SHARED = [i for i in own_emoji("imode") if all(i in own_emoji(c) for c in CARRIERS)][:12]
TEMPLATE = "<p>%s</p><p>:rainbow: 今日は</p>" % " ".join(":%s:" % i for i in SHARED)


def page_for(carrier):
    """The page bytes a client should get for TEMPLATE, from the map files alone."""
    if carrier == "none":
        table = codes("unicode.map")
        return TEMPLATE.replace(":rainbow:", table["rainbow"]).replace(
            " ".join(":%s:" % i for i in SHARED), " ".join(table[i] for i in SHARED)
        ).encode("utf-8")
    emoji, table = own_emoji(carrier), codes(CARRIERS[carrier])
    out = TEMPLATE.replace(" ".join(":%s:" % i for i in SHARED), "\0").replace(":rainbow:", "\1")
    before, after = out.split("\0")
    middle, end = after.split("\1")
    rainbow = table["rainbow"]
    rainbow_bytes = emoji["rainbow"][1] if "rainbow" in emoji else rainbow.encode("cp932")
    return (
        before.encode("cp932")
        + b" ".join(emoji[i][1] for i in SHARED)
        + middle.encode("cp932")
        + rainbow_bytes
        + end.encode("cp932")
    )


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
        if path == "/drip":
            start_response("200 OK", [("Content-Type", "text/html; charset=utf-8")])
            data = TEMPLATE.encode("utf-8")
            return (data[i : i + 1] for i in range(len(data)))
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
    for path in ("/", "/drip"):
        response, data = request(port, carrier, path)
        assert data == page_for(carrier), path
        charset = "UTF-8" if carrier == "none" else "Shift_JIS"
        assert response.getheader("Content-Type") == "text/html; charset=" + charset
        assert response.getheader("Content-Length") is None
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
    def app(environ, start_response):
        start_response("200 OK", [("Content-Type", "text/plain; charset=utf-8")])
        return ["café 🍣 :sunny:".encode()]

    def html(environ, start_response):
        start_response("200 OK", [("Content-Type", "application/xhtml+xml")])
        return ["café 🍣".encode()]

    environ = {"HTTP_USER_AGENT": USER_AGENTS["imode"], "REQUEST_METHOD": "GET"}
    sunny = own_emoji("imode")["sunny"][1]
    for application, expected in ((app, b"caf? ? " + sunny), (html, b"caf&#233; &#127843;")):
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


def test_malformed_multipart_is_refused():
    body = b"--b\r\nbad header\r\n\r\nx\r\n--b--\r\n"
    environ = {
        "HTTP_USER_AGENT": USER_AGENTS["imode"],
        "REQUEST_METHOD": "POST",
        "CONTENT_TYPE": "multipart/form-data; boundary=b",
        "CONTENT_LENGTH": str(len(body)),
        "wsgi.input": io.BytesIO(body),
    }
    statuses = []
    app = Recorder()
    EmojiMiddleware(app)(environ, lambda s, h, e=None: statuses.append(s))
    assert statuses == ["400 Bad Request"] and not app.seen
