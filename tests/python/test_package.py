"""glyphary.Glyphary and the codecs, against the sample data and the glyphary program."""

import io
import os
import random
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import glyphary
from conftest import CARRIERS, SOURCE, UNICODE_MAP, USER_AGENTS, codes, own_emoji, read_map, run_cli


@pytest.mark.parametrize("carrier", list(CARRIERS))
def test_every_own_emoji_round_trips_and_agrees_with_the_program(carrier):
    emoji = own_emoji(carrier)
    g = glyphary.Glyphary(carrier)
    neutral = " ".join(":%s:" % i for i in emoji)
    local = g.localize(neutral)
    assert local == " ".join(code for code, _ in emoji.values())
    assert g.globalize(local) == neutral
    assert local.encode("utf-8") == run_cli("localize", "-c", carrier, data=neutral.encode())


def test_every_id_of_the_unicode_table_localizes_to_its_code():
    table = codes("unicode.map")
    g = glyphary.Glyphary("unicode")
    assert g.localize("".join(":%s:" % i for i in table)) == "".join(table.values())


def test_text_keeps_every_unit_as_the_program_does():
    # Lone surrogates (as 'surrogatepass' leaves them), zero units, supplementary characters
    # and carrier codes, compared with the program on UTF-16LE, where units pass untouched.
    rng = random.Random(16)
    alphabet = ["a", "\0", "\ud800", "\udfff", "\U0001F600", "é", "\ue63e", ":sunny:", "\uffff"]
    g = glyphary.Glyphary("imode")
    for _ in range(20):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 40)))
        units = text.encode("utf-16-le", "surrogatepass")
        for op in ("globalize", "localize"):
            ours = getattr(g, op)(text)
            assert ours.encode("utf-16-le", "surrogatepass") == run_cli(
                op, "-c", "imode", "-e", "utf-16le", data=units
            ), (op, ascii(text))
    none = glyphary.Glyphary("none")
    odd = "x\ud83d\0\ude00\U0001F600\udc00\ud800"
    assert none.globalize(odd) == odd


def test_properties_read_the_settings_and_steer_the_calls():
    g = glyphary.Glyphary("softbank")
    assert (g.carrier, g.mode) == ("softbank", 3)
    assert (g.globalize_format, g.globalize_undefined_format) == (":%1%:", "\u3013")
    assert (g.localize_pattern, g.localize_undefined_format) == (r":([a-z0-9_+\-]+):", ":%1%:")
    sunny = own_emoji("softbank")["sunny"][0]
    g.globalize_format = "[%1%]"
    g.localize_pattern = r"\{(\w+)\}"
    g.localize_undefined_format = "(%1%?)"
    assert g.globalize(sunny) == "[sunny]"
    assert g.localize("{sunny} {nosuch}") == sunny + " (nosuch?)"
    g.carrier = "au"
    assert (g.carrier, g.mode) == ("ezweb", 2)
    g.carrier = 7
    assert g.carrier == "mode 7" and g.localize("{sunny}") == "(sunny?)"


def test_failures_raise_errors_with_the_hresult_and_the_description():
    g = glyphary.Glyphary("imode")
    g.localize_pattern = "(:"
    with pytest.raises(glyphary.Error) as failed:
        g.localize(":sunny:")
    assert failed.value.hresult == 0x80070057
    assert "LocalizePattern" in failed.value.description
    g.globalize_format = "%1% %2%"
    with pytest.raises(glyphary.Error) as failed:
        g.globalize(own_emoji("imode")["sunny"][0])
    assert failed.value.hresult == 0x80070057
    with pytest.raises(glyphary.Error) as failed:
        glyphary.Glyphary(module="/nonexistent/glyphary.so")
    assert failed.value.hresult is None and "/nonexistent" in str(failed.value)
    with pytest.raises(ValueError):
        glyphary.Glyphary("nosuch")
    with pytest.raises(TypeError):
        g.localize(b":sunny:")
    with pytest.raises(glyphary.EncodingError) as failed:
        glyphary.decode(b"ab\xff", "utf-8")
    assert failed.value.offset == 2


# Real User-Agents of 2005-2015 and what the sample rules make of them.
REAL_USER_AGENTS = [
    *((agent, carrier) for carrier, agent in USER_AGENTS.items()),
    ("DoCoMo/1.0/N503i/c10/TB", "imode"),
    ("DoCoMo/2.0 N905i(c100;TB;W24H16)", "imode"),
    ("Mozilla/4.08 (F906i;FOMA;c500;TB) NetFront/3.5", "imode"),  # the full browser
    ("Mozilla/5.0 (FOMA;N-06A;c500;TB;W24H16) AppleWebKit/525.13", "imode"),
    ("KDDI-SN3F UP.Browser/6.2_7.2.7.1.K.2.234 (GUI) MMP/2.0", "ezweb"),
    ("UP.Browser/3.04-SN12 UP.Link/3.4.4", "ezweb"),
    ("Mozilla/4.0 (compatible; MSIE 6.0; KDDI-SA39) Opera 8.60 [ja]", "ezweb"),  # PC site viewer
    ("Vodafone/1.0/V905SH/SHJ001/SN123456789012345 Browser/VF-NetFront/3.3 Profile/MIDP-2.0", "softbank"),
    ("J-PHONE/4.3/V602SH/SN123456789012345 SH/0007aa Profile/MIDP-1.0 Configuration/CLDC-1.0", "softbank"),
    ("J-PHONE/2.0/J-DN02", "softbank"),
    ("MOT-V980/80.2F.2E. MIB/2.2.1 Profile/MIDP-2.0 Configuration/CLDC-1.1", "softbank"),
    ("Semulator/1.0/814SH/SHJ001/SN000000000000000 Browser/NetFront/3.4 Profile/MIDP-2.0", "softbank"),
    ("Mozilla/5.0 (iPhone; CPU iPhone OS 6_1 like Mac OS X) AppleWebKit/536.26 (KHTML, like Gecko) "
     "Version/6.0 Mobile/10B141 Safari/8536.25", "none"),
    ("Mozilla/5.0 (Linux; U; Android 2.3.4; ja-jp; ISW11HT Build/GRJ22) AppleWebKit/533.1 "
     "(KHTML, like Gecko) Version/4.0 Mobile Safari/533.1", "none"),
    # Made up: a smartphone whose string carries a word the full-browser rules look for.
    ("Mozilla/5.0 (Linux; Android 4.0; FOMA SC-04E KDDI-x) AppleWebKit/534.30", "none"),
    ("Mozilla/3.0(WILLCOM;KYOCERA/WX310K/2;1.2.2.16.000000/0.1/C100) Opera 7.0", "none"),
    ("Mozilla/3.0(DDIPOCKET;JRC/AH-J3001V,AH-J3002V/1.0/0100/c50)CNF/2.0", "none"),
    ("Mozilla/5.0 (Windows NT 6.1; WOW64; rv:31.0) Gecko/20100101 Firefox/31.0", "none"),
    ("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)", "none"),
    ("Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", "none"),
]


def test_real_user_agents_name_their_carrier():
    g = glyphary.Glyphary()
    ids = {"none": 0, "imode": 1, "ezweb": 2, "softbank": 3}
    got = [(agent, g.carrier_of(agent), g.detect(agent)) for agent, _ in REAL_USER_AGENTS]
    assert got == [(agent, carrier, ids[carrier]) for agent, carrier in REAL_USER_AGENTS]


def test_ezweb_mail_from_bytes_and_files_as_the_program_converts_it():
    message = (SOURCE / "tests/tools/data/au-mail.eml").read_bytes()
    expected = run_cli("mail", data=message)
    assert expected != message
    g = glyphary.Glyphary("ezweb")
    assert g.convert_ezweb_mail(message) == expected
    out = io.BytesIO()
    assert g.convert_ezweb_mail(io.BytesIO(message), out) is None
    assert out.getvalue() == expected


@pytest.mark.parametrize("carrier", list(CARRIERS))
def test_codecs_write_each_carriers_shift_jis(carrier):
    emoji = own_emoji(carrier)
    text = "あ" + "".join(code for code, _ in emoji.values())
    data = "あ".encode("cp932") + b"".join(sjis for _, sjis in emoji.values())
    assert glyphary.encode(text, "sjis", carrier) == data
    assert glyphary.decode(data, "sjis", carrier) == text


def test_error_policies_replace_what_does_not_fit():
    assert glyphary.decode(b"a\xffb\xe3\x81", "utf-8", errors="replace") == "a\ufffdb\ufffd"
    assert glyphary.decode(b"\x82\xa0\x82", "sjis", errors="replace") == "あ\ufffd"
    assert glyphary.decode(b"\xff" * 100000, "sjis", errors="replace") == "\ufffd" * 100000
    assert glyphary.encode("é\U0001F600x", "sjis", errors="replace") == b"??x"
    assert glyphary.encode("é\U0001F600", "sjis", errors="xmlcharrefreplace") == b"&#233;&#128512;"
    assert glyphary.encode("a\ud800", "utf-8", errors="replace") == b"a?"


def test_streams_give_what_one_call_gives_whatever_the_pieces():
    g = glyphary.Glyphary("ezweb")
    neutral = "".join(":%s: テキスト\n" % i for i in list(own_emoji("ezweb"))[:50]) + "é"
    whole = glyphary.encode(g.localize(neutral), "sjis", "ezweb", errors="replace")
    data = neutral.encode("utf-8")
    for size in (1, 2, 7, 4096):
        stream = glyphary.Converter(g, "localize", "utf-8", "sjis", errors="replace")
        out = b"".join(stream.convert(data[i : i + size]) for i in range(0, len(data), size))
        assert out + stream.finish() == whole, size


def test_objects_work_from_many_threads_at_once():
    text = " ".join(":%s:" % i for i in own_emoji("imode")) * 20
    expected = glyphary.Glyphary("imode").localize(text)
    shared = glyphary.Glyphary("imode")
    results, failures = [], []

    def work(own):
        try:
            g = glyphary.Glyphary("imode") if own else shared
            for _ in range(20):
                results.append(g.globalize(g.localize(text)) == text and g.localize(text) == expected)
        except Exception as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=work, args=(i % 2 == 0,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures and len(results) == 160 and all(results)


def test_conversions_let_other_threads_run():
    g = glyphary.Glyphary("imode")
    big = ":sunny: text " * 400000
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.05)
    before = count[0]
    started = time.perf_counter()
    g.localize(big)
    elapsed, during = time.perf_counter() - started, count[0] - before
    stop.set()
    spinner.join()
    # Holding the GIL through the call would leave the spinner a few switch intervals at most.
    assert elapsed > 0.05 and during > 10000, (elapsed, during)


@pytest.mark.parametrize("how", ["environment", "argument"])
def test_the_module_can_be_named(tmp_path, how):
    # A copy of the build's module directory with its own settings: only it writes [id].
    copy = tmp_path / "module"
    shutil.copytree(Path(glyphary.Glyphary().module_path).parent, copy)
    setting = (copy / "Glyphary.setting").read_text()
    (copy / "Glyphary.setting").write_text(setting.replace(":%1%:</globalizeFormat>", "[%1%]</globalizeFormat>"))
    code = "import glyphary, sys; print(glyphary.Glyphary('imode', *sys.argv[1:]).globalize('\\ue63e'))"
    env = dict(os.environ)
    args = [sys.executable, "-c", code]
    if how == "environment":
        env["GLYPHARY_MODULE"] = str(copy / "glyphary.so")
    else:
        args.append(str(copy / "glyphary.so"))
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout
    assert out == "[sunny]\n"


def test_every_standard_emoji_form_becomes_its_notation():
    # Each form people write (unicode-in.map's ids), between words and inside longer
    # sequences the table lacks (which must stay whole).
    from glyphary._standard import StandardEmoji

    forms = {e["id"]: e["code"][1:-1] for e in read_map("unicode-in.map")}
    standard = StandardEmoji()
    text = " ".join("a%sb" % form for form in forms)
    assert standard.globalize(text) == " ".join("a:%s:b" % id for id in forms.values())
    zwj = "\U0001F468\u200D\U0001F469\u200D\U0001F467 \u2600\u200D x"
    assert standard.globalize(zwj) == zwj


def _code_to_id(carrier):
    """One-unit code -> id of a carrier's map (the last entry of a code wins, as in the module)."""
    return {e["code"]: e["id"] for e in read_map(CARRIERS[carrier]) if len(e["code"]) == 1}


@pytest.mark.parametrize(
    "source, target",
    [("imode", "ezweb"), ("softbank", "imode"), ("ezweb", "unicode"), ("unicode", "softbank"),
     ("unicode", "notation"), ("imode", "notation")],
)  # fmt: skip
def test_carrier_converter_shows_each_emoji_as_the_target_does(source, target):
    if source == "unicode":  # every form people write, sequences included
        pairs = [(form, id) for form, id in read_map_pairs("unicode-in.map")]
    else:
        pairs = list(_code_to_id(source).items())
    table = {} if target == "notation" else codes(CARRIERS.get(target, UNICODE_MAP))
    converter = glyphary.CarrierConverter(source, target)
    got = converter.convert(" ".join("a%sb" % s for s, _ in pairs) + " :sunny:")
    expected = " ".join("a%sb" % table.get(id, ":%s:" % id) for _, id in pairs) + " :sunny:"
    assert got == expected


def read_map_pairs(name):
    """(standard emoji as written, id) of unicode-in.map, whose codes are U+FDD0 id U+FDD1."""
    return [(e["id"], e["code"][1:-1]) for e in read_map(name)]


def _sjis_mail(carrier, sender):
    emoji = own_emoji(carrier)
    body = "おはよう".encode("cp932") + emoji["sunny"][1] + b" " + emoji["cloud"][1] + b"\r\n"
    return (
        b"From: " + sender + b"\r\nTo: b@example.jp\r\nSubject: =?ISO-2022-JP?B?GyRCJDMkcxsoQg==?=\r\n"
        b"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=Shift_JIS\r\n\r\n" + body
    )


@pytest.mark.parametrize("to", [None, "unicode", "softbank"])
@pytest.mark.parametrize(
    "message",
    [
        pytest.param((SOURCE / "tests/tools/data/au-mail.eml").read_bytes(), id="au"),
        pytest.param(_sjis_mail("imode", b"a@docomo.ne.jp"), id="docomo"),
    ],
)
def test_mail_decodes_to_the_text_the_program_shows(message, to):
    args = ["mail", "--decode"] + (["--to", to] if to else [])
    expected = run_cli(*args, data=message).decode("utf-8")
    assert glyphary.decode_mail(message, to=to) == expected
    assert glyphary.decode_mail(io.BytesIO(message), to=to) == expected


def test_bad_arguments_raise_clear_python_errors(tmp_path):
    g = glyphary.Glyphary("ezweb")
    message = (SOURCE / "tests/tools/data/au-mail.eml").read_bytes()
    # Buffers that are not contiguous are read in order, as bytes() of them would be.
    strided = memoryview(message * 2)[::2]
    assert g.convert_ezweb_mail(strided) == g.convert_ezweb_mail(bytes(strided))
    data = "あ".encode("cp932") * 3
    assert glyphary.decode(memoryview(data + data)[::2], "sjis", errors="replace") == glyphary.decode(
        bytes(memoryview(data + data)[::2]), "sjis", errors="replace"
    )
    for bad in ("/tmp/a\0b", tmp_path / "a\0b"):
        with pytest.raises(ValueError, match="embedded null character"):
            glyphary.Glyphary("imode", bad)
    cases = [
        (lambda: glyphary.decode("text"), TypeError, "must be bytes-like, not str"),
        (lambda: g.convert_ezweb_mail(12), TypeError, "must be bytes-like, not int"),
        (lambda: glyphary.Glyphary(1.5), TypeError, "carrier must be a name or a map mode"),
        (lambda: glyphary.Glyphary("imode", 3), TypeError, "os.PathLike"),
        (lambda: glyphary.CarrierConverter("nosuch", "imode"), ValueError, "unknown carrier"),
        (lambda: glyphary.PageLocalizer(localize_ids="sunny"), TypeError, "collection of ids"),
        (lambda: glyphary.PageLocalizer(localize_pattern="(:"), glyphary.Error, "LocalizePattern"),
        (lambda: glyphary.decode_mail(b""), glyphary.Error, ""),
        (lambda: glyphary.decode(b"x", forms=3), TypeError, "forms must be str, not int"),
        (lambda: glyphary.decode(b"x", carrier="auto", prefer=[1]), TypeError, "carrier name in prefer"),
        (lambda: glyphary.decode(b"x", carrier="auto", prefer=["ezweb", "nosuch"]), ValueError, "'nosuch'"),
        (lambda: glyphary.Converter(g.localize, "globalize"), TypeError, "must be a glyphary.Glyphary"),
    ]
    for call, kind, message in cases:
        with pytest.raises(kind, match=message):
            call()


def test_signatures_show_python_types_and_no_carrier_is_the_default():
    import glyphary._glyphary as extension

    routines = []
    for item in vars(extension).values():
        if isinstance(item, type) and item.__module__ == extension.__name__:
            for member in vars(item).values():
                routines += [member.fget, member.fset] if isinstance(member, property) else [member]
        else:
            routines.append(item)
    signatures = [
        line
        for routine in routines
        if callable(routine) and not isinstance(routine, type)
        for line in (routine.__doc__ or "").splitlines()
        if ") ->" in line
    ]
    assert len(signatures) > 20
    assert not [s for s in signatures if "handle" in s or "object" in s or "::" in s]
    assert "carrier: str | int = 'none'" in glyphary.Glyphary.__init__.__doc__
    assert (glyphary.Glyphary().carrier, glyphary.Glyphary().mode) == ("none", 0)


def test_settings_say_why_they_were_not_loaded(tmp_path):
    good = glyphary.read_settings(Path(glyphary.Glyphary().module_path).parent / "Glyphary.setting")
    assert good.loaded and (1, str(DATA_DIR_OF_MODULE() / "imode.map")) in good.maps
    assert good.user_agents[0] == (1, "DoCoMo/.*")
    (tmp_path / "Glyphary.setting").write_text("<glyphary>\n<map mode='1'>\n</glyphary>")
    bad = glyphary.read_settings(tmp_path / "Glyphary.setting")
    assert not bad.loaded and "line 3, column" in bad.problem


def DATA_DIR_OF_MODULE():
    return Path(glyphary.Glyphary().module_path).parent
