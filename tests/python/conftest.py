"""What the package's tests share: where the build and the sample data are, and the maps read
straight from the data files, so expected results come from the data, never from the code."""

import functools
import os
import subprocess
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("GLYPHARY_SOURCE_DIR", Path(__file__).resolve().parents[2]))
DATA = SOURCE / "data"
CLI = os.environ.get("GLYPHARY_CLI", str(SOURCE / "build" / "bin" / "glyphary"))
CARRIERS = {"imode": "imode.map", "ezweb": "ezweb.map", "softbank": "softbank.map"}
UNICODE_MAP = "unicode.map"

# Real handsets' and browsers' User-Agents, and the carrier each is.
USER_AGENTS = {
    "imode": "DoCoMo/2.0 P903i(c100;TB;W24H12)",
    "ezweb": "KDDI-CA39 UP.Browser/6.2.0.13.1.5 (GUI) MMP/2.0",
    "softbank": "SoftBank/1.0/910T/TJ001/SN123456789012345 Browser/NetFront/3.3 "
    "Profile/MIDP-2.0 Configuration/CLDC-1.1",
    "none": "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0",
}


@functools.lru_cache(maxsize=None)
def read_map(name):
    """The entries of a map file in order, as attribute dicts."""
    return tuple(e.attrib for e in ElementTree.parse(DATA / name).getroot())


@functools.lru_cache(maxsize=None)
def own_emoji(carrier):
    """id -> (code, Shift_JIS bytes) of the carrier's own emoji (the entries with sjis)."""
    return {
        e["id"]: (e["code"], bytes.fromhex(e["sjis"])) for e in read_map(CARRIERS[carrier]) if "sjis" in e
    }


def codes(name):
    """id -> code of a map file (the last entry of an id wins, as in the module)."""
    return {e["id"]: e["code"] for e in read_map(name)}


def run_cli(*args, data=b""):
    """The glyphary program's output for `args` and standard input `data`."""
    done = subprocess.run([CLI, *args], input=data, capture_output=True, check=True)
    return done.stdout


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


@pytest.fixture(autouse=True)
def no_module_override(monkeypatch):
    """Tests use the module of the build tree unless they say otherwise."""
    monkeypatch.delenv("GLYPHARY_MODULE", raising=False)


# A page as templates write it after a migration to Unicode: notation and standard emoji in its
# text and in the attributes people read, and notation-like text in its style, script,
# comments and other attributes, which must stay as written. Each part: ("raw", text), ("id",
# an id written as notation) or ("std", a standard emoji as written).
STYLED_PAGE = [
    ("raw", "<!DOCTYPE html><html><head><title>"), ("id", "sunny"), ("raw", " 今日は</title>"),
    ("raw", "<style>a:link:hover{color:red} .x:o:y{}</style>"),
    ("raw", '<script>var s = "score 3:100:2"; if (a < b) { s = "<p>:sunny:</p>"; }</script>'),
    ("raw", '</head><body><!-- :sunny: --><p class=":sunny:" data-x="x:o:y">score 3'),
    ("id", "100"), ("raw", "2 "), ("id", "sunny"), ("raw", " "), ("std", "\u2600\ufe0f"),
    ("raw", " "), ("std", "\U0001F308"), ("raw", " :nosuch:</p><img alt=\""), ("id", "cloud"),
    ("raw", '" title="'), ("std", "\u2600\ufe0f"), ("raw", '" src="a:o:b.png"></body></html>'),
]  # fmt: skip
STYLED_TEXT = "".join(":%s:" % v if kind == "id" else v for kind, v in STYLED_PAGE)


@functools.lru_cache(maxsize=None)
def standard_forms():
    """standard emoji as written -> id (unicode-in.map: codes are U+FDD0 id U+FDD1)."""
    return {e["id"]: e["code"][1:-1] for e in read_map("unicode-in.map")}


def rendered(carrier, id):
    """The bytes notation with `id` becomes on `carrier`'s pages, from the map files: its own
    emoji's Shift_JIS, else the table's text in Shift_JIS; the standard emoji for the rest."""
    if carrier == "none":
        return codes("unicode.map")[id].encode()
    if id in own_emoji(carrier):
        return own_emoji(carrier)[id][1]
    code = codes(CARRIERS[carrier]).get(id)
    return (":%s:" % id if code is None else code).encode("cp932", "xmlcharrefreplace")


def styled_page_for(carrier):
    """The bytes `carrier`'s clients should get for STYLED_PAGE."""
    out = []
    for kind, value in STYLED_PAGE:
        if kind == "id":
            out.append(rendered(carrier, value))
        elif kind == "std" and carrier != "none":
            out.append(rendered(carrier, standard_forms()[value]))
        else:
            out.append(value.encode("utf-8" if carrier == "none" else "cp932"))
    return b"".join(out)
