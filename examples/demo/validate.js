// A page that checks the user's certificate before using it: against the CA certificates, the
// CRL and the ARL that the page's server published.
var here = new ActiveXObject("Scripting.FileSystemObject").GetParentFolderName(WScript.ScriptFullName);
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(here + "\\lib.js").ReadAll());

var USERS = [
    {name: "\uD64D\uAE38\uB3D9", expect: 0},          // 홍길동: valid
    {name: "\uC774\uC601\uD76C", expect: -198148077}, // 이영희: revoked by the CRL
    {name: "\uBC15\uBBFC\uC218", expect: -198148077}, // 박민수: expired
    {name: "\uCD5C\uC9C0\uC6B0", expect: -198148077}  // 최지우: its CA revoked by the ARL
];

run(function () {
    var veyra = WScript.CreateObject("Quillmark.Veyra");
    var validator = WScript.CreateObject("Quillmark.DSSession");
    var dns = (veyra.getDNList("", 0, 700) || "").split("|");
    var ca = readAscii(pkiFile("ca-bundle.pem"));
    var crl = readAscii(pkiFile("crl.pem"));
    var arl = readAscii(pkiFile("arl.pem"));

    step("GeneralValidation against the demo CAs, CRL and ARL");
    for (var i = 0; i < USERS.length; i++) {
        var dn = findDn(dns, USERS[i].name);
        var result = validator.GeneralValidation(dn, ca, crl, arl, 0);
        var verdict = result === 0 ? "valid" : "not valid: " + reason(validator);
        say("   " + USERS[i].name + ": " + result + " (" + verdict + ")");
        check(result === USERS[i].expect, USERS[i].name + " gave " + result);
    }
});
