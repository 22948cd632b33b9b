// The page side of korean_password_test.sh: every user in the store has a key under the Korean
// password, stored in a different way; getCert must hand out each certificate for the password
// and answer Wrong Password of Private Key (3) for a wrong one. Its argument is the number of
// users to expect.
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\check.js")).ReadAll());

// "비밀번호1234", and a wrong one a key stroke away.
var PASSWORD = "\uBE44\uBC00\uBC88\uD638" + "1234";
var WRONG = "\uBE44\uBC00\uBC88\uD638" + "1235";

test("korean_password_page.js", function () {
    var v = new ActiveXObject("Quillmark.Veyra");
    var list = v.getDNList("", 0, 700);
    check("getDNList", !isNull(list), v.GetErrorString());
    var dns = isNull(list) ? [] : list.split("|");
    equal("users in the store", dns.length, Number(WScript.Arguments.Item(0)));
    for (var i = 0; i < dns.length; i++) {
        var pem = v.getCert(dns[i], PASSWORD);
        check("getCert with the password, " + dns[i],
              !isNull(pem) && pem.indexOf("-----BEGIN CERTIFICATE-----") === 0,
              v.GetErrorString());
        check("getCert with a wrong password, " + dns[i], isNull(v.getCert(dns[i], WRONG)));
        equal("... answers Wrong Password of Private Key, " + dns[i], v.GetErrorCode(), 3);
    }
});
