// The MSI's refusal to go on while reccap runs (packaging/reccap.wxs.in), the check the setup
// program makes: Windows does not open a program's file for writing while the program runs
// from it, and opening it to append writes nothing. The MSI would otherwise replace the files
// at the next restart, or, where the Restart Manager is let in, end reccap mid-capture.
// A script rather than a DLL: the MSI tools of this build can embed no custom action DLL of
// their own making, and the script needs nothing beside Windows.

var forAppending = 8;
var succeeded = 1;
var failed = 3;
var informationMessage = 0x04000000;

function log(text)
{
    var record = Session.Installer.CreateRecord(0);
    record.StringData(0) = text;
    Session.Message(informationMessage, record);
}

function RefuseWhileRunning()
{
    var folder = Session.Property("INSTALLDIR");
    var program = folder + "reccap.exe";
    var files = new ActiveXObject("Scripting.FileSystemObject");
    if (!files.FileExists(program))
        return succeeded;
    try {
        files.OpenTextFile(program, forAppending, false).Close();
        return succeeded;
    } catch (e) {
        log("reccap is running from " + folder + ": close it, then run this installation again.");
        return failed;
    }
}
