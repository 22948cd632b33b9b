// A page that lets its user choose the recipient's certificate: GenerateEx with no DN shows the
// certificate selection dialog.
var here = new ActiveXObject("Scripting.FileSystemObject").GetParentFolderName(WScript.ScriptFullName);
eval(new ActiveXObject("Scripting.FileSystemObject").OpenTextFile(here + "\\lib.js").ReadAll());

run(function () {
    var session = WScript.CreateObject("Quillmark.SecureSession");
    step("GenerateEx(\"SEED\", \"\"): choose the recipient in the dialog");
    var sealed = session.GenerateEx("SEED", "");
    if (sealed) {
        say("   sealed to the chosen certificate: " + shorten(sealed, 60));
    } else {
        say("   no certificate chosen: " + reason(session));
    }
});
