// qm-msi-classes: the registry entries of Quillmark's classes for one user, as a WiX include for
// the per-user package (package/Quillmark.wxs), made from what self-registration runs: the
// classes' registry scripts and the type library's interface definitions.
#include "package/msi/user_registry.h"
#include "platform/command_line.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using command_line::UsageError;

constexpr const char* kAbout =
    R"(usage: qm-msi-classes --arch x64|x86 --idl FILE [--output FILE] SCRIPT...

Writes, as a WiX include of RegistryValue elements, what self-registration of Quillmark.dll
writes to HKEY_CLASSES_ROOT, for HKEY_CURRENT_USER\Software\Classes: each registry script run
in register mode, then the type library's entries as RegisterTypeLib writes them for the
architecture's module. The module is the package's file Quillmark.dll, in its folder INSTALLDIR.
)";

// What the installer knows at install time only: the module's path (short, as the scripts'
// %MODULE% is, and long, as the type library's registration has it) and its folder.
const std::string kModuleShortPath = "\x1fmodule-short-path\x1f";
const std::string kModulePath = "\x1fmodule-path\x1f";
const std::string kFolder = "\x1f"
                            "folder\x1f";
const std::vector<qm::msi::Reference> kReferences{
    {kModuleShortPath, "[!Quillmark.dll]"},
    {kModulePath, "[#Quillmark.dll]"},
    {kFolder, "[INSTALLDIR]"},
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

int Run(const std::vector<std::string>& args) {
    std::string arch, idlPath, outputPath;
    std::vector<std::string> scripts;
    CLI::App app;
    command_line::Configure(app, "qm-msi-classes", kAbout);
    app.footer(command_line::kExitStatusHelp);
    app.add_option("--arch", arch)
        ->type_name("x64|x86")
        ->required()
        ->description("the module's architecture: the type library is registered for win64 or "
                      "win32");
    app.add_option("--idl", idlPath)
        ->type_name("FILE")
        ->required()
        ->description("the interface definitions that the type library is made from");
    app.add_option("--output", outputPath)
        ->type_name("FILE")
        ->description("where to write the include (default: standard output)");
    app.add_option("scripts", scripts)
        ->type_name("SCRIPT")
        ->required()
        ->description("the classes' registry scripts, in the order of registration");
    if (!command_line::Parse(app, args, std::cout)) {
        return command_line::kDone;
    }
    if (arch != "x64" && arch != "x86") {
        throw UsageError("--arch: give x64 or x86, not '" + arch + "'");
    }

    qm::msi::RecordingRegistry registry;
    const qm::reg::Replacements replacements{{"Module", kModuleShortPath}};
    for (const std::string& script : scripts) {
        qm::reg::Result result =
            qm::reg::RunScript(ReadText(script), replacements, qm::reg::Mode::Register, registry);
        if (registry.refusedRoot) {
            throw std::runtime_error(script + " writes outside HKEY_CLASSES_ROOT and "
                                              "HKEY_CURRENT_USER, which a per-user install "
                                              "cannot");
        }
        if (result != qm::reg::kOk) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
            throw std::runtime_error(script + " does not run: " + code);
        }
    }
    qm::msi::RecordTypeLibrary(registry, qm::msi::ReadTypeLibrary(ReadText(idlPath)),
                               arch == "x64" ? qm::msi::Architecture::X64
                                             : qm::msi::Architecture::X86,
                               kModulePath, kFolder);

    std::string include = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                          "<!-- Made by qm-msi-classes from the registry scripts and the "
                          "interface definitions: not to be edited. -->\n"
                          "<Include>\n" +
                          qm::msi::WixRegistryValues(registry.Rows(), "  ", kReferences) +
                          "</Include>\n";
    if (outputPath.empty()) {
        std::cout << include;
        return std::cout.flush() ? command_line::kDone : command_line::kFailed;
    }
    std::ofstream out(outputPath, std::ios::binary);
    if (!(out << include) || !out.flush()) {
        throw std::runtime_error("cannot write " + outputPath);
    }
    return command_line::kDone;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return command_line::Run("qm-msi-classes", [&] { return Run(args); });
}
