"""A Flask application behind EmojiMiddleware, as its README snippet wires it; gunicorn serves
it for test_frameworks. /page and /styled are the shared test pages, /form answers what the application
read from a post, as JSON (which the middleware leaves alone)."""

from flask import Flask, jsonify, request

from conftest import STYLED_TEXT, TEMPLATE
from glyphary.wsgi import EmojiMiddleware

app = Flask(__name__)


@app.get("/page")
def page():
    return TEMPLATE


@app.get("/styled")
def styled():
    return STYLED_TEXT


@app.post("/form")
def form():
    return jsonify(
        carrier=request.environ["glyphary.carrier"],
        fields=request.form.to_dict(),
        files={name: f.read().hex() for name, f in request.files.items()},
    )


app.wsgi_app = EmojiMiddleware(app.wsgi_app)
