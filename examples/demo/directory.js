// A login page: lists the user's certificates on the first medium, narrows the list to one user
// identifier, and asks for the certificate of the chosen DN with the key's password.
var here = new ActiveXObject("Scripting.FileSystemObject").GetParentFolderName(WScript.ScriptFullName);
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(here + "\\lib.js").ReadAll());

var HONG = "\uD64D\uAE38\uB3D9"; // 홍길동

run(function () {
    var veyra = WScript.CreateObject("Quillmark.Veyra");

    step("getDNList: the certificates on medium 0");
    var list = veyra.getDNList("", 0, 700);
    check(list, "getDNList failed: " + reason(veyra));
    var dns = list ? list.split("|") : [];
    for (var i = 0; i < dns.length; i++) {
        say("   " + dns[i]);
    }

    step("getDNList for the user identifier " + HONG);
    var mine = veyra.getDNList(HONG, 0, 700);
    check(mine, "no DN for " + HONG + ": " + reason(veyra));
    say("   " + mine);

    var dn = findDn(dns, HONG);
    step("getCert for " + dn + " with a wrong password");
    var refused = veyra.getCert(dn, "not-the-password");
    check(!refused, "a wrong password was accepted");
    say("   refused: " + reason(veyra));

    step("getCert with the key's password");
    var pem = veyra.getCert(dn, env.Item("QM_DEMO_PASSWORD"));
    check(pem, "getCert failed: " + reason(veyra));
    if (pem) {
        var lines = pem.split("\n");
        say("   " + lines[0]);
        say("   " + lines[1]);
        say("   ... " + lines.length + " lines of PEM");
        writeAscii(workFile("user-cert.pem"), pem);
    }
});
