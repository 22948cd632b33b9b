// The page side of the interop test (interop_test.sh drives it). Its first argument names a step:
//   seal ALGORITHM    GenerateEx to the server and EncipherEx of the test text: sealed.txt, cipher.txt
//   decipher FILE     DecipherEx of the Base64 text in FILE must give the test text
//   users             for each listed user: getCert (user<i>.pem) and GeneralValidation (user<i>.txt)
// Files go to the folder in QM_TEST_WORK.
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\check.js")).ReadAll());

var SERVER = "cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR";
// The same text as interop_test.sh's, which it writes in code page 949.
var TEXT = "\uC11C\uBC84\uB85C \uBCF4\uB0B4\uB294 \uBB38\uC7A5 - interop";
var work = env.Item("QM_TEST_WORK");
var pki = env.Item("QM_TEST_PKI");
var step = WScript.Arguments.Item(0);

test("interop_page.js " + step, function () {
    if (step === "seal") {
        var s = new ActiveXObject("Quillmark.SecureSession");
        var sealed = s.GenerateEx(WScript.Arguments.Item(1), SERVER);
        check("GenerateEx", !isNull(sealed), s.GetErrorString());
        var cipher = s.EncipherEx(TEXT);
        check("EncipherEx", !isNull(cipher), s.GetErrorString());
        writeAscii(work + "\\sealed.txt", sealed);
        writeAscii(work + "\\cipher.txt", cipher);
    } else if (step === "decipher") {
        var d = new ActiveXObject("Quillmark.SecureSession");
        var text = readAscii(work + "\\" + WScript.Arguments.Item(1));
        equal("DecipherEx of " + WScript.Arguments.Item(1), d.DecipherEx(text), TEXT);
    } else if (step === "users") {
        var v = new ActiveXObject("Quillmark.Veyra");
        var ds = new ActiveXObject("Quillmark.DSSession");
        var ca = readAscii(pki + "\\ca-bundle.pem");
        var crl = readAscii(pki + "\\crl.pem");
        var arl = readAscii(pki + "\\arl.pem");
        var dns = v.getDNList("", 0, 700).split("|");
        for (var i = 0; i < dns.length; i++) {
            var pem = v.getCert(dns[i], "demo1234");
            check("getCert of user " + i, !isNull(pem), v.GetErrorString());
            writeAscii(work + "\\user" + i + ".pem", pem);
            writeAscii(work + "\\user" + i + ".txt",
                       ds.GeneralValidation(dns[i], ca, "", "", 0) + " " +
                       ds.GeneralValidation(dns[i], ca, crl, "", 0) + " " +
                       ds.GeneralValidation(dns[i], ca, crl, arl, 0));
        }
    } else {
        check("a known step", false, step);
    }
});
