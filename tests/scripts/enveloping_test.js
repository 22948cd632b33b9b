// The automation classes doing their whole job from script, over a demo store: enveloping and
// the stored settings, the certificate directory, and validation. Prints one verdict line.
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(
    WScript.ScriptFullName.replace(/[^\\]*$/, "lib\\check.js")).ReadAll());

var USERS = ",ou=Users,o=Quillmark Demo,c=KR";
var HONG = "cn=\uD64D\uAE38\uB3D9" + USERS;   // valid
var LEE = "cn=\uC774\uC601\uD76C" + USERS;    // revoked by the CRL
var PARK = "cn=\uBC15\uBBFC\uC218" + USERS;   // expired
var CHOI = "cn=\uCD5C\uC9C0\uC6B0" + USERS;   // its CA revoked by the ARL
var SERVER = "cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR";
var TEXT = "\uC548\uB155\uD558\uC138\uC694, Quillmark! \uD55C\uAE00 \uBB38\uC7A5.";
var PASSWORD = "demo1234";
var pki = env.Item("QM_TEST_PKI");

function session() {
    return new ActiveXObject("Quillmark.SecureSession");
}

function forgetSettings() {
    run("reg delete \"HKCU\\SOFTWARE\\TesselCorp\\Oriel\\Veyra\\Brindel\" /f");
}

function storedSettings() {
    var s = session();
    var before = s.GetErrorCode();
    forgetSettings();
    failed("EncipherEx before any GenerateEx fails", s.EncipherEx(TEXT), s,
           "... with Symmetric Key Setting Failure", 11);
    failed("DecipherEx before any GenerateEx fails", s.DecipherEx("YWJj"), s,
           "... with code 11 too", 11);
    equal("getKEYIV before any GenerateEx is empty", s.getKEYIV(), "");
    check("the code of a fresh object was 0", before === 0);
}

function enveloping() {
    var a = session();
    var sealed = a.GenerateEx("SEED", SERVER);
    check("GenerateEx to the server's DN", !isNull(sealed), a.GetErrorString());
    equal("GenerateEx leaves code 0", a.GetErrorCode(), 0);
    equal("getKEYIV returns what GenerateEx returned", a.getKEYIV(), sealed);

    var cipher = a.EncipherEx(TEXT);
    check("EncipherEx", !isNull(cipher), a.GetErrorString());
    var b = session();
    equal("DecipherEx on another object gives the text back", b.DecipherEx(cipher), TEXT);
    equal("... and leaves code 0", b.GetErrorCode(), 0);

    var second = b.GenerateEx("aria", SERVER);
    check("a second GenerateEx (name in lower case)", !isNull(second) && second !== sealed);
    equal("getKEYIV now returns the second sealed text", a.getKEYIV(), second);
    check("text enciphered under the first key no longer deciphers to the text",
          a.DecipherEx(cipher) !== TEXT);
    var cipher2 = a.EncipherEx(TEXT);
    equal("the second key enciphers and deciphers", b.DecipherEx(cipher2), TEXT);

    failed("GenerateEx with an unknown algorithm fails", a.GenerateEx("NOPE", SERVER), a,
           "... with Wrong Algorithm", 1);
    failed("GenerateEx with AES256 (key and IV need 48 bytes) fails",
           a.GenerateEx("AES256", SERVER), a, "... with Public Key Encrypting Failure", 9);
    failed("GenerateEx with a DN the store does not hold fails",
           a.GenerateEx("SEED", "cn=Nobody,o=Nowhere"), a,
           "... with Can not read the Certificate", 5);
    equal("failed GenerateEx calls leave the settings alone", a.getKEYIV(), second);

    var pem = readAscii(pki + "\\server.pem");
    var third = a.GenerateEx("AES", pem);
    check("GenerateEx to a PEM certificate given as text", !isNull(third), a.GetErrorString());
    failed("GenerateEx with PEM that does not decode fails",
           a.GenerateEx("AES", "-----BEGIN CERTIFICATE-----\nnot base64\n"), a,
           "... with Can not read the Certificate", 5);

    failed("DecipherEx of text that is not Base64 fails", a.DecipherEx("%%% not base64"), a,
           "... with Symmetric Key Decrypting Failure", 13);
    equal("... and leaves the settings alone", a.getKEYIV(), third);
    failed("DecipherEx of an empty text fails", a.DecipherEx(""), a, "... with code 13", 13);
    failed("EncipherEx of an empty text fails", a.EncipherEx(""), a, "... with code 12", 12);
    check("Base64Encode still works", a.Base64Encode("abc") === "YWJj");
    equal("... and leaves the earlier code", a.GetErrorCode(), 12);
}

function directory() {
    var v = new ActiveXObject("Quillmark.Veyra");
    var all = v.getDNList("", 0, 700);
    check("getDNList lists the demo users", !isNull(all) && all.split("|").length === 6, all);
    equal("getDNList for a Korean identifier", v.getDNList("\uD64D\uAE38\uB3D9", 0, 700), HONG);
    equal("the identifier ignores ASCII case", v.getDNList("demo USER", 0, 700),
          "cn=Demo User" + USERS);
    failed("the identifier must be followed by a comma", v.getDNList("Demo", 0, 700), v,
           "... else: no certificate matching the UID", 32);
    check("a successful getDNList after a failed one", !isNull(v.getDNList("", 0, 700)));
    equal("... leaves the earlier code", v.GetErrorCode(), 32);
    failed("an empty medium lists nothing", v.getDNList("", 2, 700), v,
           "... with No Certificate", 8);

    failed("medium 4 is refused", v.getDNList("", 4, 700), v, "... with No Media Choice", 18);
    failed("and getCert remembers medium 4", v.getCert(HONG, PASSWORD), v,
           "... with No Media Choice again", 18);

    v.getDNList("", 0, 700);
    failed("getCert with an empty password fails", v.getCert(HONG, ""), v,
           "... with Wrong Password of Private Key", 3);
    failed("getCert with a wrong password fails", v.getCert(HONG, "demo12345"), v,
           "... with code 3", 3);
    var pem = v.getCert(HONG, PASSWORD);
    check("getCert with the password gives PEM",
          !isNull(pem) && pem.indexOf("-----BEGIN CERTIFICATE-----") === 0, pem);
    equal("... and code 0", v.GetErrorCode(), 0);
    failed("getCert of a DN the store does not hold", v.getCert("cn=Nobody", PASSWORD), v,
           "... with Can not read the Certificate", 5);
}

function validation() {
    var ds = new ActiveXObject("Quillmark.DSSession");
    var ca = readAscii(pki + "\\ca-bundle.pem");
    var crl = readAscii(pki + "\\crl.pem");
    var arl = readAscii(pki + "\\arl.pem");
    equal("a valid user", ds.GeneralValidation(HONG, ca, crl, arl, 0), 0);
    equal("a user the CRL revokes", ds.GeneralValidation(LEE, ca, crl, arl, 0), -198148077);
    equal("... reads as Invalid Certificate", ds.GetErrorCode(), 19);
    equal("the same user without the CRL", ds.GeneralValidation(LEE, ca, "", "", 0), 0);
    equal("an expired user", ds.GeneralValidation(PARK, ca, "", "", 0), -198148077);
    equal("a user under a CA the ARL revokes", ds.GeneralValidation(CHOI, ca, crl, arl, 0),
          -198148077);
    equal("... but valid without the ARL", ds.GeneralValidation(CHOI, ca, crl, "", 0), 0);
    equal("an empty DN is tested first", ds.GeneralValidation("", "", "", "", -1), -198148082);
    equal("then the medium", ds.GeneralValidation(HONG, ca, "", "", 9), -198148078);
    equal("then the store", ds.GeneralValidation("cn=Nobody", ca, "", "", 0), -198148091);
    equal("then the CA text", ds.GeneralValidation(HONG, "", "", "", 0), -198148081);
    equal("then the CRL", ds.GeneralValidation(HONG, ca, "-----BEGIN X509 CRL-----\n!\n", "", 0),
          -198148080);
    equal("then the ARL", ds.GeneralValidation(HONG, ca, "", "-----BEGIN X509 CRL-----\n!\n", 0),
          -198148079);
    equal("... which reads as Invalid ARL", ds.GetErrorString(), "Invalid ARL");
}

test("enveloping_test.js", function () {
    storedSettings();
    enveloping();
    directory();
    validation();
});
