// Late-bound calls per second from JScript: Quillmark's dispatch path against a peer that ships
// with the scripting runtime (Scripting.Dictionary), in one run. Prints the rates and the ratio
// (Quillmark's rate over the peer's; 1.0 or more meets the goal).
//   cscript //nologo dispatch.js [CALLS]
var calls = WScript.Arguments.length > 0 ? parseInt(WScript.Arguments(0), 10) : 200000;

function rate(name, call) {
    for (var w = 0; w < 500; w++) {
        call(); // names resolved and type information loaded before the clock starts
    }
    var best = 0;
    for (var round = 0; round < 3; round++) {
        var start = new Date().getTime();
        for (var i = 0; i < calls; i++) {
            call();
        }
        var ms = Math.max(new Date().getTime() - start, 1);
        best = Math.max(best, calls * 1000 / ms);
    }
    WScript.Echo(name + ": " + Math.round(best) + " calls/s");
    return best;
}

try {
    var session = new ActiveXObject("Quillmark.SecureSession");
    var dictionary = new ActiveXObject("Scripting.Dictionary");
    dictionary.Add("key", "value");
    if (session.Base64Encode("Quillmark") !== "UXVpbGxtYXJr") {
        WScript.Echo("note: Base64Encode does not encode yet (engine missing?); its rate is that of the failing call");
    }

    var encode = rate("SecureSession.Base64Encode(short text)", function () { session.Base64Encode("Quillmark"); });
    var errorCode = rate("SecureSession.GetErrorCode()", function () { session.GetErrorCode(); });
    var exists = rate("Scripting.Dictionary.Exists(key)", function () { dictionary.Exists("key"); });
    WScript.Echo("ratio Base64Encode / Dictionary.Exists: " + (encode / exists).toFixed(2));
    WScript.Echo("ratio GetErrorCode / Dictionary.Exists: " + (errorCode / exists).toFixed(2));
    WScript.Quit(0);
} catch (e) {
    WScript.Echo("benchmark failed: " + e.number + " " + e.description);
    WScript.Quit(1);
}
