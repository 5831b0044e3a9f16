' The Windows module late-bound from VBScript, as a classic ASP page uses it: run with
'   wine cscript //nologo client.vbs
' against the registered DLL and the sample configuration beside it. Errors are handled the
' ASP way, with On Error Resume Next and Err. Under Resume Next a statement that raises is
' skipped whole, so every check counts itself and the run fails unless the count comes out as
' planned. Wine's cscript exits 0 and prints nothing when a script dies, so the runner also
' requires the final "ALL OK" line. Wine's VBScript has no ChrW or AscW: carrier codes are
' reached by converting and checked by length and round trip.
Option Explicit
On Error Resume Next

Const kPlanned = 29
Const E_INVALIDARG = &H80070057
Const kTypeMismatch = 13         ' VBScript's own number for DISP_E_TYPEMISMATCH
Const kNoSuchMember = 438        ' ... and for DISP_E_UNKNOWNNAME

Dim checks, failures
checks = 0
failures = 0

' Counts one check; fails it when `ok` is false or the statements before it left an error.
Sub Check(name, ok, detail)
    checks = checks + 1
    If Err.Number <> 0 Then
        failures = failures + 1
        WScript.Echo "FAIL " & name & ": error " & Hex(Err.Number) & " " & Err.Description
        Err.Clear
    ElseIf Not ok Then
        failures = failures + 1
        WScript.Echo "FAIL " & name & ": " & detail
    End If
End Sub

' Counts one check: the statements before it must have raised `number` with `text` in the
' description.
Sub CheckError(name, number, text)
    checks = checks + 1
    If Err.Number <> number Or InStr(Err.Description, text) = 0 Then
        failures = failures + 1
        WScript.Echo "FAIL " & name & ": error " & Hex(Err.Number) & " """ & Err.Description & _
            """, expected " & Hex(number) & " with """ & text & """"
    End If
    Err.Clear
End Sub

Function Got(actual, expected)
    Got = "got """ & actual & """, expected """ & expected & """"
End Function

' A request value as ASP hands it over: an object whose default property is the text.
Class RequestValue
    Private m_text
    Public Sub Init(text)
        m_text = text
    End Sub
    Public Default Property Get Item
        Item = m_text
    End Property
End Class

Dim g, r, i, ua, mode, item
Set g = CreateObject("Glyphary")
Check "CreateObject by ProgID", IsObject(g), "no object"
Check "a new object is in mode none", g.MapMode = 0 And VarType(g.MapMode) = vbLong, Got(g.MapMode, 0)
Check "default GlobalizeFormat", g.GlobalizeFormat = ":%1%:", Got(g.GlobalizeFormat, ":%1%:")

' ---------------------------------------------------------------------------------------------
' Localize and Globalize in each carrier. VBScript passes a small literal as a 2-byte integer,
' a variable by reference; both must reach MapMode as its 4-byte value.

Dim codes(3), neutral
neutral = "a:sunny:b"
For mode = 1 To 3
    g.MapMode = mode
    Check "MapMode " & mode, g.MapMode = mode, Got(g.MapMode, mode)
    r = Empty
    r = g.Localize(neutral)
    codes(mode) = Mid(r, 2, 1)
    Check "Localize, mode " & mode, Len(r) = 3 And Left(r, 1) = "a" And Right(r, 1) = "b" And _
        codes(mode) <> ":" And codes(mode) <> "s", Got(r, "a<code>b")
    r = Empty
    r = g.Globalize("x" & codes(mode) & "y")
    Check "Globalize back, mode " & mode, r = "x:sunny:y", Got(r, "x:sunny:y")
Next
Check "each carrier its own code", codes(1) <> codes(2) And codes(2) <> codes(3) And _
    codes(1) <> codes(3), "codes repeat"

g.MapMode = 0
r = Empty
r = g.Localize(neutral)
Check "mode none has no table", r = neutral, Got(r, neutral)

g.MapMode = 3
g.GlobalizeFormat = "[%1%]"
g.LocalizePattern = "\[(\w+)\]"
g.LocalizeUndefinedFormat = "{%1%}"
r = Empty
r = g.Globalize(g.Localize("[sunny][nosuch]"))
Check "custom pattern and formats", r = "[sunny]{nosuch}", Got(r, "[sunny]{nosuch}")
r = Empty
r = g.Localize(Empty)   ' a missing Request.Form field
Check "Empty is the empty string", r = "" And VarType(r) = vbString, Got(r, "")

Dim other
Set other = CreateObject("Glyphary")
Check "objects keep their own state", other.MapMode = 0 And other.GlobalizeFormat = ":%1%:", _
    Got(other.GlobalizeFormat, ":%1%:")

' ---------------------------------------------------------------------------------------------
' GetUserAgentID, from a string variable and from a request value object.

Dim agents
agents = Array( _
    Array("DoCoMo/2.0 P903i(c100;TB;W24H12)", 1), _
    Array("KDDI-SA31 UP.Browser/6.2.0.7.3.129 (GUI) MMP/2.0", 2), _
    Array("SoftBank/1.0/910T/TJ001", 3), _
    Array("Mozilla/5.0 (Windows NT 10.0; Win64; x64)", 0))
For i = 0 To UBound(agents)
    ua = agents(i)(0)
    r = Empty
    r = g.GetUserAgentID(ua)
    Check "GetUserAgentID " & ua, r = agents(i)(1) And VarType(r) = vbLong, Got(r, agents(i)(1))
Next
Set item = New RequestValue
item.Init "SoftBank/1.0/910T/TJ001"
r = Empty
r = g.GetUserAgentID(item)
Check "GetUserAgentID of a request value", r = 3, Got(r, 3)

' ---------------------------------------------------------------------------------------------
' Failures reach the page as Err.

g.LocalizePattern = "(["
r = g.Localize("x")
CheckError "ill-formed LocalizePattern", E_INVALIDARG, "LocalizePattern"
g.MapMode = 1
g.GlobalizeFormat = "%1"
r = g.Globalize("x" & codes(1))
CheckError "ill-formed GlobalizeFormat", E_INVALIDARG, "GlobalizeFormat"
g.GlobalizeFormat = "%1% %2%"
r = g.Globalize(codes(1))
CheckError "GlobalizeFormat wants a second argument", E_INVALIDARG, "GlobalizeFormat"

g.LocalizePattern = ":(\w+):"
g.GlobalizeFormat = "<%1%>"
r = Empty
r = g.Globalize(g.Localize(":sunny:"))
Check "the object works after failures", r = "<sunny>", Got(r, "<sunny>")

r = g.Localize(Null)
CheckError "Null is refused", kTypeMismatch, ""
g.ConvertEzwebMail "in", "out"
CheckError "ConvertEzwebMail refuses strings as streams", kTypeMismatch, ""
g.NoSuchMember 1
CheckError "unknown member", kNoSuchMember, ""

' Every check above ran; a skipped one shows here.
Check "checks run", checks = kPlanned, checks & " checks ran, " & kPlanned & " planned"
WScript.Echo "client.vbs: " & checks & " checks, " & failures & " failed"
If failures = 0 Then WScript.Echo "client.vbs: ALL OK"
WScript.Quit failures
