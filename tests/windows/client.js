// The Windows module late-bound, as a scripting host sees it: run with
//   wine cscript //nologo client.js
// against the registered DLL and the sample configuration beside it. The cases are those of
// client_cases.h. Wine's cscript exits 0 and prints nothing when a script dies on an uncaught
// error, so every check runs inside try/catch, the script ends with WScript.Quit(code), and
// the runner requires the final "ALL OK" line.

var checks = 0, failures = 0;

function show(value) {
    if (typeof value !== "string") return String(value);
    var out = "\"";
    for (var i = 0; i < value.length; i++) {
        var c = value.charCodeAt(i);
        if (c >= 0x20 && c < 0x7f && c !== 0x5c && c !== 0x22) out += value.charAt(i);
        else out += "\\u" + ("000" + c.toString(16).toUpperCase()).slice(-4);
    }
    return out + "\"";
}

function hex(number) {
    return "0x" + ("0000000" + ((number < 0 ? number + 0x100000000 : number)).toString(16).toUpperCase()).slice(-8);
}

// Runs one check; `body` returns true, or a text saying what was wrong.
function check(name, body) {
    checks++;
    var outcome;
    try {
        outcome = body();
    } catch (e) {
        outcome = "threw " + hex(e.number) + " " + e.description;
    }
    if (outcome !== true) {
        failures++;
        WScript.Echo("FAIL " + name + ": " + outcome);
    }
}

function equal(actual, expected) {
    return actual === expected ? true : "got " + show(actual) + ", expected " + show(expected);
}

// `body` must fail with `hr`, and the error's description must contain `text`.
function fails(body, hr, text) {
    try {
        var value = body();
        return "no error; returned " + show(value);
    } catch (e) {
        if (hex(e.number) !== hex(hr)) return "error " + hex(e.number) + " " + e.description + ", expected " + hex(hr);
        if (String(e.description).indexOf(text) < 0) return "description " + show(e.description) + " lacks " + show(text);
        return true;
    }
}

var E_INVALIDARG = 0x80070057;
var MPM_none = 0, MPM_imode = 1, MPM_ezweb = 2, MPM_softbank = 3;

function create() {
    return new ActiveXObject("Glyphary");
}

// ---------------------------------------------------------------------------------------------
// Properties

// The defaults that data/Glyphary.setting gives every new object.
var defaults = {
    LocalizePattern: ":([a-z0-9_+\\-]+):",
    LocalizeUndefinedFormat: ":%1%:",
    GlobalizeFormat: ":%1%:",
    GlobalizeUndefinedFormat: "\u3013"
};

check("ProgID activation", function () { return typeof create() === "object" ? true : "no object"; });
check("new object is in mode MPM_none", function () { return equal(create().MapMode, MPM_none); });
check("defaults", function () {
    var g = create();
    for (var name in defaults) {
        var result = equal(g[name], defaults[name]);
        if (result !== true) return name + ": " + result;
    }
    return true;
});
check("any 32-bit mode is kept", function () {
    var g = create();
    var modes = [MPM_imode, 7, -5, 2147483647, MPM_ezweb];
    for (var i = 0; i < modes.length; i++) {
        g.MapMode = modes[i];
        if (g.MapMode !== modes[i]) return "put " + modes[i] + ", got " + g.MapMode;
    }
    return true;
});
check("string properties round-trip", function () {
    var g = create();
    for (var name in defaults) {
        g[name] = name + " \u3042\ue63e%1%";
        var result = equal(g[name], name + " \u3042\ue63e%1%");
        if (result !== true) return name + ": " + result;
    }
    return true;
});
check("objects keep their own state", function () {
    var a = create(), b = create();
    a.GlobalizeFormat = "[%1%]";
    a.MapMode = MPM_softbank;
    if (b.GlobalizeFormat !== defaults.GlobalizeFormat) return "b's format changed";
    if (b.MapMode !== MPM_none) return "b's mode changed";
    return equal(create().GlobalizeFormat, defaults.GlobalizeFormat);
});

// ---------------------------------------------------------------------------------------------
// Conversions: the cases of client_cases.h

var marked = "\\[(\\w+)\\]";
var cases = [
    // The sample maps: i-mode U+E63E is "sunny" and U+E6F0 is shared, mapping back to
    // "smiley"; EZweb "sunny" is U+E488, SoftBank's U+E04A.
    ["globalize, i-mode with the defaults", 1, {}, "Globalize", "a\ue63eb\ue6f0c", "a:sunny:b:smiley:c"],
    ["globalize, format naming the id twice", 3, { GlobalizeFormat: "[%1%|%1%]" }, "Globalize", "\ue04a x", "[sunny|sunny] x"],
    ["globalize, printf-style format", 1, { GlobalizeFormat: "<%s>" }, "Globalize", "\ue63e", "<sunny>"],
    ["globalize, empty format removes", 1, { GlobalizeFormat: "" }, "Globalize", "a\ue63eb", "ab"],
    ["globalize, mode none has no table", 0, {}, "Globalize", "\ue63e", "\ue63e"],
    ["globalize, surrogate pair passes unit by unit", 1, {}, "Globalize", "\ud83d\ude00\ue63e", "\ud83d\ude00:sunny:"],
    ["localize, EZweb with the defaults", 2, {}, "Localize", "x:sunny:y:nosuch:z", "x\ue488y:nosuch:z"],
    ["localize, custom pattern and format", 3, { LocalizePattern: "\\[(\\w+)\\]", LocalizeUndefinedFormat: "{%1%}" },
        "Localize", "[sunny][nosuch]", "\ue04a{nosuch}"],
    ["user agent, i-mode", 0, {}, "GetUserAgentID", "DoCoMo/2.0 P903i(c100;TB;W24H12)", 1],
    ["user agent, EZweb", 0, {}, "GetUserAgentID", "KDDI-SA31 UP.Browser/6.2.0.7.3.129 (GUI) MMP/2.0", 2],
    ["user agent, SoftBank", 0, {}, "GetUserAgentID", "SoftBank/1.0/910T/TJ001", 3],
    ["user agent, whole string must match", 0, {}, "GetUserAgentID", "Mozilla/5.0 DoCoMo/2.0", 0],
    ["user agent, case-sensitive", 0, {}, "GetUserAgentID", "docomo/2.0", 0],
    ["globalize, empty table", 7, { GlobalizeFormat: "%1" }, "Globalize", "abc", "abc"],
    ["localize, undefined id with format", 7, { LocalizePattern: marked, LocalizeUndefinedFormat: "<%1%|%1%>" },
        "Localize", "a[x]b[yz]", "a<x|x>b<yz|yz>"],
    ["localize, undefined id removed", 7, { LocalizePattern: marked, LocalizeUndefinedFormat: "" },
        "Localize", "a[x]b", "ab"],
    ["localize, printf-style width", 7, { LocalizePattern: marked, LocalizeUndefinedFormat: "%|5|" },
        "Localize", "[ab]", "   ab"],
    ["localize, anchored pattern restarts after each match", 7, { LocalizePattern: "^<(\\w)>", LocalizeUndefinedFormat: "%1%" },
        "Localize", "<a><b>c<d>", "abc<d>"],
    ["user agent, no rule matches", 0, {}, "GetUserAgentID", "NoSuchBrowser/1.0", 0]
];
var failing = [
    ["globalize, ill-formed format", 1, { GlobalizeFormat: "%1" }, "Globalize", "\ue63e", "GlobalizeFormat"],
    ["globalize, format wants a second argument", 1, { GlobalizeFormat: "%2%" }, "Globalize", "\ue63e", "GlobalizeFormat"],
    ["localize, ill-formed pattern", 0, { LocalizePattern: "([" }, "Localize", "", "LocalizePattern"],
    ["localize, format wants a second argument", 7, { LocalizePattern: marked, LocalizeUndefinedFormat: "%1% %2%" },
        "Localize", "[x]", "LocalizeUndefinedFormat"],
    ["localize, ill-formed format", 7, { LocalizePattern: marked, LocalizeUndefinedFormat: "%1" },
        "Localize", "[x]", "LocalizeUndefinedFormat"]
];

function prepare(mode, properties) {
    var g = create();
    g.MapMode = mode;
    for (var name in properties) g[name] = properties[name];
    return g;
}

for (var i = 0; i < cases.length; i++) {
    (function (c) {
        check(c[0], function () {
            var g = prepare(c[1], c[2]);
            return equal(g[c[3]](c[4]), c[5]);
        });
    })(cases[i]);
}
for (var j = 0; j < failing.length; j++) {
    (function (c) {
        check(c[0], function () {
            var g = prepare(c[1], c[2]);
            return fails(function () { return g[c[3]](c[4]); }, E_INVALIDARG, c[5]);
        });
    })(failing[j]);
}

// A failed call leaves the object usable.
check("object works after a failure", function () {
    var g = prepare(7, { LocalizePattern: "([" });
    try { g.Localize("x"); } catch (e) { }
    g.LocalizePattern = marked;
    g.LocalizeUndefinedFormat = "(%1%)";
    return equal(g.Localize("[ok]"), "(ok)");
});
// ConvertEzwebMail takes two IStream objects, which a script has none of; the late-bound call
// still reaches the method, whose type information refuses strings as streams (glyphary-client
// runs it late-bound with real streams).
check("ConvertEzwebMail refuses non-streams", function () {
    try {
        create().ConvertEzwebMail("in", "out");
        return "no error";
    } catch (e) {
        var number = hex(e.number);
        // DISP_E_TYPEMISMATCH, or the script engine's own "Type mismatch" (error 13).
        return number === "0x80020005" || number === "0x800A000D" ? true : "error " + number + " " + e.description;
    }
});

WScript.Echo("client.js: " + checks + " checks, " + failures + " failed");
if (failures === 0) WScript.Echo("client.js: ALL OK");
WScript.Quit(failures === 0 ? 0 : 1);
