// quillmark.js in Internet Explorer's world: where ActiveXObject exists, the page library drives
// the control itself with the API it offers in every browser (Promises, created by class name),
// and turns the control's refusals into an Error named NotAllowedError. cscript's JScript stands
// in for Internet Explorer's: the same engine family, no setTimeout, no native Promise.
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\check.js")).ReadAll());

var library = fso.GetParentFolderName(fso.GetParentFolderName(fso.GetParentFolderName(
    WScript.ScriptFullName))) + "\\browser\\page\\quillmark.js";
// The file is UTF-8; its code is ASCII, so reading it in any code page keeps the code intact.
eval(readAscii(library));

var LOCK_VALUE = "HKCU\\SOFTWARE\\TesselCorp\\Oriel\\Quillmark\\SiteLock";
var userLock; // undefined: not read (nothing to put back)
var seen = {};
// What `promise` settled to goes into seen[name]: { value } or { error, message }.
function settle(name, promise) {
    return promise.then(function (value) { seen[name] = { value: value }; },
        function (error) { seen[name] = { error: error.name, message: error.message }; });
}

try {
    check("the library is there", typeof Quillmark === "object" && typeof Quillmark.connect === "function");
    var qm = null;
    settle("connect", Quillmark.connect().then(function (c) { qm = c; return c; }));
    check("connect() resolves to the control's connection", qm !== null,
          seen.connect && seen.connect.error);
    if (qm) {
        var session = null, directory = null;
        qm.create("SecureSession").then(function (o) { session = o; });
        qm.create("Veyra").then(function (o) { directory = o; });
        settle("noClass", qm.create("Format"));
        equal("an unknown class is refused", seen.noClass && seen.noClass.error,
              "NotSupportedError");
        check("the classes are made", session !== null && directory !== null);

        settle("encode", session.Base64Encode("abc"));
        equal("Base64Encode resolves to the control's result", seen.encode && seen.encode.value,
              "YWJj");
        settle("code", session.GetErrorCode());
        equal("GetErrorCode resolves to a number", seen.code && seen.code.value, 0);
        settle("failed", session.DecipherEx("not base64 !"));
        check("a failed method resolves to what the control gives a script",
              seen.failed && isNull(seen.failed.value), seen.failed && seen.failed.error);
        settle("mismatch", directory.getDNList("", "medium zero", 0));
        equal("an argument the method cannot take rejects as a TypeError",
              seen.mismatch && seen.mismatch.error, "TypeError");
        settle("chained", session.Base64Encode("a").then(function () {
            return session.Base64Encode("ab");
        }));
        equal("calls chain", seen.chained && seen.chained.value, "YWI=");
        qm.close();
    }

    // Under a lock, an object that a page's script makes is refused (cscript's script engine gives
    // it a site that names no page): the control's Permission denied becomes NotAllowedError. The
    // user's own SiteLock, if any, is put back afterwards.
    try {
        userLock = shell.RegRead(LOCK_VALUE);
    } catch (e) {
        userLock = null;
    }
    shell.RegWrite(LOCK_VALUE, 1, "REG_DWORD");
    var locked = null;
    Quillmark.connect().then(function (c) { return c.create("SecureSession"); })
        .then(function (o) { locked = o; });
    if (locked) {
        settle("refused", locked.Base64Encode("abc"));
        equal("a refused call rejects as NotAllowedError", seen.refused && seen.refused.error,
              "NotAllowedError");
    } else {
        check("creation under the lock still gives an object to refuse", false);
    }
} catch (e) {
    check("no unexpected script error", false, e.number + " " + (e.description || e.message));
}
if (userLock === null) {
    run("reg delete HKCU\\SOFTWARE\\TesselCorp\\Oriel\\Quillmark /v SiteLock /f");
} else if (userLock !== undefined) {
    shell.RegWrite(LOCK_VALUE, userLock, "REG_DWORD");
}

verdict("page_library_test.js");
