"""decode, encode and Converter over every encoding, carrier, references, error policy and
piece size: against each other, against Python's own codecs where those define the same
thing, and with the SIMD paths against the scalar ones (GLYPHARY_SIMD=scalar)."""

import itertools
import json
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import glyphary
import pytest
from conftest import own_emoji

ENCODINGS = ["utf-8", "utf-16le", "sjis"]
CARRIERS = ["none", "imode", "ezweb", "softbank"]
ERRORS = ["strict", "replace", "surrogateescape", "xmlcharrefreplace"]
PIECES = [1, 2, 3, 7, 1 << 20]

# Python's handler for what ours does when decoding (xmlcharrefreplace replaces there).
PYTHON_DECODING = {"strict": "strict", "replace": "replace",
                   "surrogateescape": "surrogateescape", "xmlcharrefreplace": "replace"}
REFERENCE = re.compile(r"&#(?:[xX]([0-9A-Fa-f]{1,8})|([0-9]{1,8}));")


def private_use(c):
    return 0xE000 <= c <= 0xF8FF or (0xF0000 <= c <= 0x10FFFD and c & 0xFFFE != 0xFFFE)


def read_references(text):
    """References to private-use code points read as the characters, the rest left as text."""

    def read(m):
        c = int(m[1], 16) if m[1] else int(m[2])
        return chr(c) if private_use(c) else m[0]

    return REFERENCE.sub(read, text)


def texts(seed):
    """Text with a little of everything, lone surrogates among it, and each carrier's sun."""
    rng = random.Random(seed)
    suns = [own_emoji(c)["sunny"][0] for c in ("imode", "ezweb", "softbank")]
    pool = ["a", " ", "\n", "&#xE63E;", "&#58942;", "&#x", ";", "あ", "日", "ｱ", "é", "\0",
            "\U0001F600", "\ud800", "\udc80", "\udcff"] + suns
    for _ in range(6):
        yield "".join(rng.choice(pool) for _ in range(rng.randrange(60)))


def damaged(rng, data):
    for _ in range(rng.randrange(3)):
        at = rng.randrange(len(data) + 1)
        bad = rng.choice([b"\xff", b"\x82", b"\xe3", b"\x1b$Gj", b"\x1b$Z"])
        data = data[:at] + bad + data[at:]
    return data


def outcome(call):
    """What a call gives: its result, or where it failed (ours, or Python's codecs)."""
    try:
        result = call()
    except glyphary.EncodingError as e:
        return {"error": e.offset}
    except UnicodeError as e:
        return {"error": e.start}
    return {"bytes": result.hex()} if isinstance(result, bytes) else {"text": result}


def converted(data, encoding, carrier, ncr, errors, piece):
    """`data` through a Converter that changes no text, fed `piece` bytes at a time."""
    stream = glyphary.Converter(glyphary.Glyphary("none"), "globalize", encoding, encoding,
                                carrier, ncr, errors)
    pieces = (stream.convert(data[i : i + piece]) for i in range(0, len(data), piece))
    return b"".join(pieces) + stream.finish()


def outcomes():
    """Every combination's results, in order: what the SIMD comparison compares."""
    results = []
    for encoding, carrier, ncr in itertools.product(ENCODINGS, CARRIERS, (False, True)):
        rng = random.Random(f"{encoding} {carrier} {ncr}")
        for text in texts(len(results)):
            data = damaged(rng, glyphary.encode(text, encoding, carrier, ncr, "surrogateescape"))
            for errors in ERRORS:
                form = (encoding, carrier, ncr, errors)
                results.append(outcome(lambda: glyphary.decode(data, *form)))
                results.append(outcome(lambda: glyphary.encode(text, *form)))
                for piece in PIECES:
                    results.append(outcome(lambda: converted(data, *form, piece)))
    return results


def test_streams_give_what_decode_then_encode_give_whatever_the_pieces():
    for encoding, carrier, ncr in itertools.product(ENCODINGS, CARRIERS, (False, True)):
        rng = random.Random(f"{encoding} {carrier} {ncr}")
        for text in texts(1):
            data = damaged(rng, glyphary.encode(text, encoding, carrier, ncr, "surrogateescape"))
            for errors in ERRORS:
                form = (encoding, carrier, ncr, errors)
                expected = outcome(lambda: glyphary.encode(glyphary.decode(data, *form), *form))
                for piece in PIECES:
                    got = outcome(lambda: converted(data, *form, piece))
                    assert got == expected, (form, piece, data)


def test_error_policies_change_nothing_where_everything_fits():
    # The policy decides only about what does not fit: references are read, and written,
    # whatever it is.
    for encoding, carrier, ncr in itertools.product(ENCODINGS, CARRIERS, (False, True)):
        for text in texts(2):
            text = text.replace("\ud800", "").replace("\udc80", "").replace("\udcff", "")
            data = glyphary.encode(text, encoding, carrier, ncr, "xmlcharrefreplace")
            strict = glyphary.decode(data, encoding, carrier, ncr, "strict")
            written = outcome(lambda: glyphary.encode(strict, encoding, carrier, ncr, "strict"))
            for errors in ERRORS:
                form = (encoding, carrier, ncr, errors)
                assert glyphary.decode(data, *form) == strict, (form, data)
                if "bytes" in written:
                    assert outcome(lambda: glyphary.encode(strict, *form)) == written, form


def test_utf_decoding_is_pythons_with_references_read():
    rng = random.Random(3)
    for ncr, errors in itertools.product((False, True), ERRORS):
        for text in texts(4):
            for encoding, python in (("utf-8", "utf-8"), ("utf-16le", "utf-16-le")):
                data = text.encode(python, "surrogatepass")
                handler = "surrogatepass" if encoding == "utf-16le" else PYTHON_DECODING[errors]
                if encoding == "utf-8":
                    data = damaged(rng, data)
                expected = outcome(lambda: data.decode(python, handler))
                if "text" in expected and ncr:
                    expected["text"] = read_references(expected["text"])
                got = outcome(lambda: glyphary.decode(data, encoding, "none", ncr, errors))
                assert ("error" in got) == ("error" in expected), (encoding, errors, data)
                assert "error" in got or got == expected, (encoding, errors, data)


def test_simd_paths_give_what_the_scalar_ones_give():
    here = Path(__file__).resolve().parent
    env = dict(os.environ, GLYPHARY_SIMD="scalar")
    env["PYTHONPATH"] = os.pathsep.join([str(here), env.get("PYTHONPATH", "")])
    scalar = subprocess.run(
        [sys.executable, "-c", "import json, test_codecs as t; print(json.dumps(t.outcomes()))"],
        env=env, capture_output=True, text=True, check=True,
    ).stdout
    assert json.loads(scalar) == json.loads(json.dumps(outcomes()))


def test_the_fault_that_references_were_ignored_unless_strict():
    for errors in ERRORS:
        assert glyphary.decode(b"a&#xE63E;b", "utf-8", "none", True, errors) == "a\ue63eb"


def test_carrier_auto_reads_each_record_as_its_carrier_wrote_it():
    # One line per carrier with all its emoji: Shift_JIS codes, and the same as references
    # and (au) localsrc tags in UTF-8. Decoded automatically, each line is what decoding it
    # for its own carrier gives; globalized, what that carrier's object writes.
    sjis_lines, utf8_lines, expected, notation = [], [], [], []
    for carrier in ("imode", "ezweb", "softbank"):
        own = own_emoji(carrier)
        sjis_lines.append(b" ".join(sjis for _, sjis in own.values()))
        expected.append(glyphary.decode(sjis_lines[-1], "sjis", carrier))
        utf8_lines.append(" ".join("&#x%X;" % ord(code) for code, _ in own.values()).encode())
        notation.append(glyphary.Glyphary(carrier).globalize(expected[-1]))
    data = b"\n".join(sjis_lines)
    assert glyphary.decode(data, "sjis", "auto") == "\n".join(expected)
    refs = b"\n".join(utf8_lines)
    assert glyphary.decode(refs, "utf-8", "auto", forms="references") == "\n".join(expected)
    assert glyphary.decode(b'<img localsrc="44">', "utf-8", "auto", forms="default") == "\ue488"

    stream = glyphary.Converter(glyphary.Glyphary("none"), "globalize", "sjis", "utf-8", "auto")
    out = stream.convert(data[:1000]) + stream.convert(data[1000:]) + stream.finish()
    assert out.decode() == "\n".join(notation) and stream.guesses == 0

    # A code two carriers have, alone: a guess, decided by prefer; in the record of a code
    # only one of them has, not a guess.
    stream = glyphary.Converter(glyphary.Glyphary("none"), "globalize", carrier="auto",
                                prefer=["softbank"])
    stream.convert("\ue501\n\ue001\ue501".encode())
    stream.finish()
    assert stream.guesses == 1
    assert glyphary.decode("\ue501".encode(), carrier="auto", prefer="softbank,imode") == "\ue501"
    for bad in ({"prefer": "docomo,imode"}, {"record": "page"}, {"forms": "nonsense"}):
        with pytest.raises(ValueError):
            glyphary.decode(b"", carrier="auto", **bad)
    with pytest.raises(ValueError):
        glyphary.encode("a", carrier="auto")
