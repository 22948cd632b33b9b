// The main job of a page: make a session key sealed to the server's certificate, send the sealed
// text to the server, and encipher what the user typed under that key.
var here = new ActiveXObject("Scripting.FileSystemObject").GetParentFolderName(WScript.ScriptFullName);
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(here + "\\lib.js").ReadAll());

var SERVER = "cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR";
// 안녕하세요, 퀼마크입니다. 이 문장은 페이지가 서버에 보낸 것입니다.
var SENTENCE = "\uC548\uB155\uD558\uC138\uC694, \uD03C\uB9C8\uD06C\uC785\uB2C8\uB2E4. " +
               "\uC774 \uBB38\uC7A5\uC740 \uD398\uC774\uC9C0\uAC00 \uC11C\uBC84\uC5D0 " +
               "\uBCF4\uB0B8 \uAC83\uC785\uB2C8\uB2E4.";

run(function () {
    var session = WScript.CreateObject("Quillmark.SecureSession");
    var algorithm = env.Item("QM_DEMO_ALGORITHM");

    step("GenerateEx(\"" + algorithm + "\") to " + SERVER);
    var sealed = session.GenerateEx(algorithm, SERVER);
    check(sealed, "GenerateEx failed: " + reason(session));
    say("   sealed text for the server: " + shorten(sealed || "", 60));
    check(session.getKEYIV() === sealed, "getKEYIV differs from the sealed text");
    writeAscii(workFile("sealed.txt"), sealed || "");

    step("EncipherEx of the user's sentence");
    say("   " + SENTENCE);
    var cipher = session.EncipherEx(SENTENCE);
    check(cipher, "EncipherEx failed: " + reason(session));
    say("   ciphertext: " + shorten(cipher || "", 60));
    writeAscii(workFile("cipher.txt"), cipher || "");

    // Another page (another object) reads the same stored key.
    var other = WScript.CreateObject("Quillmark.SecureSession");
    var back = other.DecipherEx(cipher);
    check(back === SENTENCE, "DecipherEx on a second object gave: " + back);
    say("   DecipherEx on another SecureSession object gives the sentence back: " +
        (back === SENTENCE ? "yes" : "NO"));
});
