// Helpers shared by the demo pages (each page evaluates this file first). A page shows its
// results to a person; here they go to a Unicode file that the demo prints, because the console
// of a script host is not a safe place for Korean text.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var env = new ActiveXObject("WScript.Shell").Environment("PROCESS");
var out = fso.CreateTextFile(env.Item("QM_DEMO_OUT"), true, true);
var failures = 0;

function say(text) {
    out.WriteLine(text);
}

function step(title) {
    say("");
    say("== " + title);
}

// The reason a call failed, as a page shows it: the message and its number.
function reason(object) {
    return object.GetErrorString() + " (code " + object.GetErrorCode() + ")";
}

function check(ok, what) {
    if (!ok) {
        failures++;
        say("   !! unexpected: " + what);
    }
}

function readAscii(path) {
    var file = fso.OpenTextFile(path, 1, false, 0);
    var text = file.ReadAll();
    file.Close();
    return text;
}

function writeAscii(path, text) {
    var file = fso.CreateTextFile(path, true, false);
    file.Write(text);
    file.Close();
}

function pkiFile(name) {
    return env.Item("QM_DEMO_PKI") + "\\" + name;
}

function workFile(name) {
    return env.Item("QM_DEMO_WORK") + "\\" + name;
}

// The first listed DN whose common name is `name`.
function findDn(list, name) {
    for (var i = 0; i < list.length; i++) {
        if (list[i].indexOf("cn=" + name + ",") === 0) {
            return list[i];
        }
    }
    return null;
}

function shorten(text, length) {
    return text.length > length ? text.substr(0, length) + "... (" + text.length + " characters)" : text;
}

function finish() {
    out.Close();
    WScript.Quit(failures === 0 ? 0 : 1);
}

// The console takes ASCII only (see say()): anything else is escaped.
function ascii(text) {
    var out = "";
    text = String(text);
    for (var i = 0; i < text.length; i++) {
        var c = text.charCodeAt(i);
        out += c >= 32 && c < 127 ? text.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
    }
    return out;
}

// Why a call could not be made at all (it threw). A page refused by the site lock is told so.
function thrown(e) {
    if ((e.number >>> 0) === 0x80070005) {
        return (e.description || "Permission denied: Quillmark's site lock refused the call") +
               ". See \"Which pages may drive Quillmark\" in the README; ./run wine reg query " +
               "HKCU\\SOFTWARE\\TesselCorp\\Oriel\\Quillmark shows the user's settings, " +
               "HKLM\\SOFTWARE\\Policies\\TesselCorp\\Quillmark the policy";
    }
    return e.number + " " + (e.description || e.message || "(no description)");
}

function run(page) {
    try {
        page();
    } catch (e) {
        failures++;
        say("The page failed: " + thrown(e));
        // The console too, for the caller to show when the page fails.
        WScript.Echo(ascii("The page failed: " + thrown(e)));
    }
    finish();
}
