// The three classes driven by name from JScript, the way a page drives them: created by ProgID,
// called through IDispatch with the arguments converted by the type library, results checked.
// Runs under the Korean user locale, where the type library is found only through the fallback
// to the library's own locale. Prints one verdict line and quits with 1 on any failure.
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\check.js")).ReadAll());

function hex(n) {
    return "0x" + ((n < 0 ? n + 0x100000000 : n).toString(16));
}

// The automation error a call raises, or null when it raises none.
function raised(call) {
    try {
        call();
        return null;
    } catch (e) {
        return e.number;
    }
}

function create(progId) {
    try {
        return new ActiveXObject(progId);
    } catch (e) {
        check("create " + progId, false, hex(e.number) + " " + e.description);
        return null;
    }
}

try {
    var lang = env.Item("LANG");
    check("the test runs under the Korean locale", lang.indexOf("ko_KR") === 0, lang);

    var names = ["SecureSession", "Veyra", "DSSession"];
    for (var i = 0; i < names.length; i++) {
        var progId = "Quillmark." + names[i] + ".1";
        check(progId + " is creatable", create(progId) !== null);
    }

    var s = create("Quillmark.SecureSession");
    if (s) {
        equal("RecoverFile result", s.RecoverFile(), -200171487);
        equal("GetErrorCode after RecoverFile", s.GetErrorCode(), 33);
        equal("GetErrorString after RecoverFile", s.GetErrorString(), "There is no such File");

        equal("Base64Encode(abc)", s.Base64Encode("abc"), "YWJj");
        equal("Base64Encode leaves the error code", s.GetErrorCode(), 33);
        // Text reaches the engine in the system code page (949): U+D55C is C7 D1 there.
        equal("Base64Encode of Korean text", s.Base64Encode("\ud55c"), "x9E=");
        equal("names in another case reach the same method", s.base64encode("abc"), "YWJj");
        var empty = s.Base64Encode("");
        check("Base64Encode of nothing gives no text", isNull(empty), empty);
        equal("GetErrorCode after an empty Base64Encode", s.GetErrorCode(), 14);
        equal("GetErrorString after an empty Base64Encode", s.GetErrorString(), "Empty Data Input");

        s.DecipherFile("in.enc", "out.txt", "cn=nobody", "secret");
        s.EncipherFile("in.txt", "cn=nobody");
        equal("the file methods leave the error code", s.GetErrorCode(), 14);

        // The type library converts arguments: a number is taken as text.
        equal("Base64Encode(123)", s.Base64Encode(123), "MTIz");

        // Errors of dispatch itself surface as script errors.
        equal("a missing argument", raised(function () { s.Base64Encode(); }),
              0x8002000E - 0x100000000);
        check("an unknown method raises", raised(function () { s.NoSuchMethod(); }) !== null);

        // Objects keep their own error codes.
        var other = create("Quillmark.SecureSession");
        equal("a new object starts at 0", other.GetErrorCode(), 0);
    }

    var v = create("Quillmark.Veyra");
    if (v) {
        equal("Veyra GetErrorCode at creation", v.GetErrorCode(), 0);
        equal("Veyra GetErrorString at creation", v.GetErrorString(), "Success");
        v.GetCertNum("user01");
        equal("GetCertNum leaves the error code", v.GetErrorCode(), 0);
        // An integer parameter given as text is converted; medium 9 is out of range.
        var list = v.getDNList("", "9", 700);
        check("getDNList for medium 9 gives no list", isNull(list), list);
        equal("getDNList for medium 9: No Media Choice", v.GetErrorCode(), 18);
        equal("getDNList for medium 9: message", v.GetErrorString(), "No Media Choice");
    }

    var d = create("Quillmark.DSSession");
    if (d) {
        equal("DSSession GetErrorCode at creation", d.GetErrorCode(), 0);
        d.RetrieveCRL("-----BEGIN CERTIFICATE-----");
        d.RetrieveCRLFromLDAP("127.0.0.1", 389, "cn=crl");
        equal("the CRL methods leave the error code", d.GetErrorCode(), 0);
        check("GetErrorString is text", typeof d.GetErrorString() === "string");
        check("a SecureSession method is not a DSSession one",
              raised(function () { d.Base64Encode("abc"); }) !== null);
    }
} catch (e) {
    check("no unexpected script error", false, hex(e.number) + " " + e.description);
}

verdict("dispatch_test.js");
