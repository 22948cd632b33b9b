' The same server from VBScript: creation by ProgID and a few calls through IDispatch.
' Objects are made with WScript.CreateObject: Wine's VBScript CreateObject gives up on any object
' that offers IObjectWithSite when its host (cscript) has no service provider to make a site from.
Option Explicit
Dim failures, s, v, d, r
failures = 0

Sub Check(what, ok)
    If Not ok Then
        failures = failures + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

On Error Resume Next
Set s = WScript.CreateObject("Quillmark.SecureSession")
Check "create Quillmark.SecureSession", Err.Number = 0
Err.Clear
Set v = WScript.CreateObject("Quillmark.Veyra")
Check "create Quillmark.Veyra", Err.Number = 0
Err.Clear
Set d = WScript.CreateObject("Quillmark.DSSession")
Check "create Quillmark.DSSession", Err.Number = 0
Err.Clear

r = s.RecoverFile()
Check "RecoverFile", Err.Number = 0 And r = -200171487
Check "GetErrorCode", s.GetErrorCode() = 33
Check "GetErrorString", s.GetErrorString() = "There is no such File"
Check "Base64Encode", s.Base64Encode("abc") = "YWJj"
Check "Veyra GetErrorCode", v.GetErrorCode() = 0
Check "DSSession GetErrorCode", d.GetErrorCode() = 0
Check "no script error", Err.Number = 0

If failures = 0 Then
    WScript.Echo "PASS: smoke_test.vbs"
    WScript.Quit 0
End If
WScript.Echo "FAIL: smoke_test.vbs, " & failures & " failed"
WScript.Quit 1
