// What a web page's script does with Quillmark, runnable outside a browser:
//   ./run script examples/page.js
// The page creates the three objects by ProgID when it loads, encodes a text, lists the user's
// certificates on the first medium and reports every failure through GetErrorString, as a page
// shows it to its user. Exits with 0 when Base64Encode("abc") gives "YWJj".
//
// A page in a browser writes `new ActiveXObject(...)`; here the script host makes the objects
// (WScript.CreateObject), so that they are its own, as a local program's: under a site lock the
// host's `new ActiveXObject` gives an object a site that names no page, which the lock refuses.

// A page writes into its document; here the console stands in for it (ASCII only: escaped).
function show(text) {
    var out = "";
    text = String(text);
    for (var i = 0; i < text.length; i++) {
        var c = text.charCodeAt(i);
        out += (c >= 32 && c < 127) ? text.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
    }
    WScript.Echo(out);
}

var session, directory, validator;

function onLoad() {
    session = WScript.CreateObject("Quillmark.SecureSession");
    directory = WScript.CreateObject("Quillmark.Veyra");
    validator = WScript.CreateObject("Quillmark.DSSession");
    show("Quillmark is ready: SecureSession, Veyra and DSSession created");
}

// A call that could not be made at all throws; a refusal of the site lock says so.
var E_ACCESSDENIED = 0x80070005;

function failure(e) {
    if ((e.number >>> 0) === E_ACCESSDENIED) {
        return (e.description || "Permission denied: Quillmark's site lock refused the call") +
               "; see \"Which pages may drive Quillmark\" in the README";
    }
    return e.number + " " + (e.description || e.message || "");
}

function encode(text) {
    var encoded = session.Base64Encode(text);
    if (!encoded) {
        show("Base64Encode failed: " + session.GetErrorString() + " (" + session.GetErrorCode() + ")");
        return null;
    }
    show("Base64Encode(\"" + text + "\") = " + encoded);
    return encoded;
}

function listCertificates(medium) {
    var list = directory.getDNList("", medium, 700);
    if (!list) {
        show("No certificate on medium " + medium + ": " + directory.GetErrorString());
        return [];
    }
    var names = list.split("|");
    for (var i = 0; i < names.length; i++) {
        show("  certificate " + (i + 1) + ": " + names[i]);
    }
    return names;
}

try {
    onLoad();
    var ok = encode("abc") === "YWJj";
    listCertificates(0);
    show("DSSession reports: " + validator.GetErrorString());
    WScript.Quit(ok ? 0 : 1);
} catch (e) {
    show("The page failed: " + failure(e));
    WScript.Quit(2);
}
