"""Flask and Django applications behind EmojiMiddleware, served by Debian's gunicorn on
127.0.0.1 and asked over HTTP with real handsets' User-Agents: pages byte for byte, and
Shift_JIS posts (urlencoded and multipart, with a Content-Length and chunked) as the
applications read them."""

import http.client
import json
import socket
import subprocess
import sys
import urllib.parse
from pathlib import Path

import pytest

from conftest import CARRIERS, SHARED, USER_AGENTS, codes, own_emoji, page_for, styled_page_for

HERE = Path(__file__).resolve().parent
APPS = {"flask": "flask_app:app", "django": "django_app:application"}


@pytest.fixture(scope="module", params=list(APPS))
def port(request, tmp_path_factory):
    # gunicorn gets a socket already listening on a free port: no port to guess, no race.
    listener = socket.create_server(("127.0.0.1", 0))
    log = tmp_path_factory.mktemp("gunicorn") / "log"
    with open(log, "wb") as out:
        server = subprocess.Popen(
            [sys.executable, "-m", "gunicorn", "--bind", "fd://%d" % listener.fileno(), "--workers", "1",
             "--pythonpath", "%s,%s" % (HERE / "apps", HERE), "--error-logfile", "-", APPS[request.param]],
            pass_fds=[listener.fileno()], stdout=out, stderr=subprocess.STDOUT,
        )  # fmt: skip
    number = listener.getsockname()[1]
    listener.close()
    try:
        get(number, "none", "/page")
    except OSError as e:
        server.kill()
        server.wait()
        pytest.fail("gunicorn serving %s did not answer (%s):\n%s" % (request.param, e, log.read_text()))
    yield number
    server.terminate()
    assert server.wait(timeout=30) == 0, log.read_text()


def get(port, carrier, path, method="GET"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request(method, path, headers={"User-Agent": USER_AGENTS[carrier]})
    response = connection.getresponse()
    return response, response.read()


def post(port, carrier, body, content_type, chunked):
    """What the application read from a post: its JSON answer."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"User-Agent": USER_AGENTS[carrier], "Content-Type": content_type}
    if chunked:  # in three chunks, cut inside a character and inside a delimiter
        body = iter([body[:3], body[3:-5], body[-5:]])
    connection.request("POST", "/form", body=body, headers=headers, encode_chunked=chunked)
    response = connection.getresponse()
    data = response.read()
    assert response.status == 200, data
    return json.loads(data)


@pytest.mark.parametrize("carrier", list(USER_AGENTS))
def test_pages_reach_each_client_byte_for_byte(port, carrier):
    # Styles, scripts, comments and other attributes as written; text, title and alt
    # localized, standard emoji as the handset's own.
    for path, expected in (("/page", page_for(carrier)), ("/styled", styled_page_for(carrier))):
        response, data = get(port, carrier, path)
        assert data == expected, path
        charset = "UTF-8" if carrier == "none" else "Shift_JIS"
        assert response.getheader("Content-Type") == "text/html; charset=" + charset
        # HEAD says what GET says, and no length but the one GET is sent with.
        head, _ = get(port, carrier, path, "HEAD")
        assert head.getheader("Content-Type") == response.getheader("Content-Type")
        assert head.getheader("Content-Length") in (None, str(len(data))), path


@pytest.mark.parametrize("chunked", [False, True], ids=["length", "chunked"])
@pytest.mark.parametrize("carrier", [*CARRIERS, "none"])
def test_posts_reach_the_application_as_utf8_notation(port, carrier, chunked):
    if carrier == "none":
        table = codes("unicode.map")
        posted, expected = ("あ " + table["sunny"]).encode(), "あ :sunny:"
    else:
        emoji = own_emoji(carrier)
        posted = "あ".encode("cp932") + b"".join(emoji[i][1] for i in SHARED)
        expected = "あ" + "".join(":%s:" % i for i in SHARED)

    form = b"t=" + urllib.parse.quote_from_bytes(posted).encode()
    seen = post(port, carrier, form, "application/x-www-form-urlencoded", chunked)
    assert seen == {"carrier": carrier, "fields": {"t": expected}, "files": {}}

    file_bytes = bytes(range(256)) + posted
    body = (
        b'--b0undary\r\nContent-Disposition: form-data; name="t"\r\n\r\n' + posted + b"\r\n"
        b'--b0undary\r\nContent-Disposition: form-data; name="f"; filename="a.bin"\r\n'
        b"Content-Type: application/octet-stream\r\n\r\n" + file_bytes + b"\r\n--b0undary--\r\n"
    )
    seen = post(port, carrier, body, "multipart/form-data; boundary=b0undary", chunked)
    assert seen == {"carrier": carrier, "fields": {"t": expected}, "files": {"f": file_bytes.hex()}}
