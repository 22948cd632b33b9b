// Shared by the JScript tests (each evaluates this file first): checks that count and report,
// ASCII-only console output (cscript cannot print other text safely), and the environment.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var shell = new ActiveXObject("WScript.Shell");
var env = shell.Environment("PROCESS");
var checks = 0, failures = 0;

function ascii(value) {
    var text = String(value), out = "";
    for (var i = 0; i < text.length; i++) {
        var c = text.charCodeAt(i);
        out += (c >= 32 && c < 127) ? text.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
    }
    return out;
}

function check(what, ok, detail) {
    checks++;
    if (!ok) {
        failures++;
        WScript.Echo("FAIL: " + what + (detail ? " (" + ascii(detail) + ")" : ""));
    }
}

function equal(what, actual, expected) {
    check(what, actual === expected, "got " + ascii(actual) + ", expected " + ascii(expected));
}

// A null automation string reaches JScript as null or as an empty string, depending on the path.
function isNull(value) {
    return value === null || value === undefined || value === "";
}

// A call that failed: it gave no result, and `object` holds `code` as its error code after it.
function failed(what, result, object, codeWhat, code) {
    check(what, isNull(result));
    equal(codeWhat, object.GetErrorCode(), code);
}

function readAscii(path) {
    var file = fso.OpenTextFile(path, 1, false, 0);
    var text = file.AtEndOfStream ? "" : file.ReadAll();
    file.Close();
    return text;
}

function writeAscii(path, text) {
    var file = fso.CreateTextFile(path, true, false);
    file.Write(text);
    file.Close();
}

// Runs a console command and waits for it; its exit status.
function run(command) {
    return shell.Run(command, 0, true);
}

// Prints the verdict line that the test runner reads, and quits with the script's status.
function verdict(name) {
    WScript.Echo((failures === 0 ? "PASS: " : "FAIL: ") + name + ", " + (checks - failures) +
                 " passed, " + failures + " failed");
    WScript.Quit(failures === 0 ? 0 : 1);
}

function test(name, body) {
    try {
        body();
    } catch (e) {
        check(name + " threw", false, e.number + " " + e.description);
    }
    verdict(name);
}
