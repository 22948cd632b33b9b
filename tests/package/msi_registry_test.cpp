// The per-user package's registry entries (package/msi): the registry scripts recorded as the
// installer's rows, the type library read from interface definitions, and the rows written as
// WiX source that the installer writes back literally.
#include "package/msi/user_registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

using namespace qm;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// The rows as text: key, name and value, or the key alone.
std::vector<std::string> Described(const msi::RecordingRegistry& registry) {
    std::vector<std::string> rows;
    for (const msi::Row& row : registry.Rows()) {
        std::string name = row.name.empty() ? "" : " [" + row.name + "]";
        rows.push_back(row.key + (row.keyOnly ? " (key)" : name + " = " + row.value.text));
    }
    return rows;
}

std::vector<std::string> Recorded(const std::string& script) {
    msi::RecordingRegistry registry;
    EXPECT_EQ(reg::RunScript(script, {{"Module", "MODULE"}}, reg::Mode::Register, registry),
              reg::kOk);
    return Described(registry);
}

std::string ReadSource(const std::string& path) {
    std::ifstream in(std::string(QM_SOURCE_DIR) + "/" + path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(MsiRegistry, ScriptsAreRecordedAsTheUsersClassesWithWhatRegistrationLeaves) {
    // ForceRemove deletes before it writes, so a key written twice is recorded once, as the
    // second run left it; a key without values or subkeys is a key of its own; keys and values
    // are named without regard to case, as in the registry.
    EXPECT_THAT(
        Recorded("HKCR\r\n{\r\n\tNoRemove CLSID\r\n\t{\r\n"
                 "\t\tForceRemove {X} = s 'old'\r\n\t\t{\r\n\t\t\tStale = s 'gone'\r\n\t\t}\r\n"
                 "\t\tForceRemove {x} = s 'Class'\r\n\t\t{\r\n"
                 "\t\t\tForceRemove 'Programmable'\r\n"
                 "\t\t\tInprocServer32 = s '%MODULE%'\r\n\t\t\t{\r\n"
                 "\t\t\t\tval ThreadingModel = s 'Free'\r\n"
                 "\t\t\t\tval threadingmodel = s 'Apartment'\r\n\t\t\t}\r\n"
                 "\t\t}\r\n\t}\r\n}\r\n"
                 "HKCU\r\n{\r\n\tSoftware\r\n\t{\r\n\t\tTool = s 'v'\r\n\t}\r\n}\r\n"),
        ElementsAre("Software\\Classes\\CLSID\\{x} = Class",
                    "Software\\Classes\\CLSID\\{x}\\Programmable (key)",
                    "Software\\Classes\\CLSID\\{x}\\InprocServer32 = MODULE",
                    "Software\\Classes\\CLSID\\{x}\\InprocServer32 [ThreadingModel] = "
                    "Apartment",
                    "Software\\Tool = v"));
}

TEST(MsiRegistry, ScriptsThatWriteForTheWholeMachineAreRefused) {
    msi::RecordingRegistry registry;
    EXPECT_NE(reg::RunScript("HKLM\r\n{\r\n\tSoftware = s 'x'\r\n}\r\n", {}, reg::Mode::Register,
                             registry),
              reg::kOk);
    EXPECT_TRUE(registry.refusedRoot);
    EXPECT_TRUE(registry.Rows().empty());
}

TEST(MsiRegistry, TheShippedScriptsRegisterEachClassByItsProgIds) {
    msi::RecordingRegistry registry;
    for (const char* name : {"SecureSession", "Veyra", "DSSession"}) {
        ASSERT_EQ(reg::RunScript(ReadSource(std::string("module/resources/") + name + ".rgs"),
                                 {{"Module", "MODULE"}}, reg::Mode::Register, registry),
                  reg::kOk)
            << name;
    }
    std::vector<std::string> rows = Described(registry);
    // Twelve entries a class: five for its ProgIDs, seven (one a key alone) for its CLSID.
    EXPECT_EQ(rows.size(), 36u);
    EXPECT_THAT(rows, ::testing::Contains("Software\\Classes\\Quillmark.Veyra\\CurVer = "
                                          "Quillmark.Veyra.1"));
    EXPECT_THAT(rows, ::testing::Contains("Software\\Classes\\CLSID\\{150DC113-F10D-42A1-9B03-"
                                          "AA4D7A166950}\\InprocServer32 = MODULE"));
}

TEST(MsiRegistry, TheTypeLibraryIsReadFromItsDefinitionsAndRecordedAsRegistrationWritesIt) {
    const msi::TypeLibrary library = msi::ReadTypeLibrary(ReadSource("automation/Quillmark.idl"));
    EXPECT_EQ(library.id, "{A148AAB5-390F-402F-8075-291C4A8787F1}");
    EXPECT_EQ(library.version, "1.0");
    EXPECT_EQ(library.lcid, 1033u);
    EXPECT_EQ(library.description, "Quillmark 1.0 Type Library");
    ASSERT_EQ(library.interfaces.size(), 3u); // not again for the coclasses' [default] lines
    EXPECT_EQ(library.interfaces[1].name, "IVeyra");
    EXPECT_EQ(library.interfaces[1].id, "{2A89F55A-CD0E-4AE4-93FF-BBAE52EBB4CD}");

    for (auto [architecture, subkey] :
         {std::pair{msi::Architecture::X64, "win64"}, std::pair{msi::Architecture::X86, "win32"}}) {
        msi::RecordingRegistry registry;
        msi::RecordTypeLibrary(registry, library, architecture, "PATH", "FOLDER\\");
        std::vector<std::string> rows = Described(registry);
        const std::string base =
            "Software\\Classes\\TypeLib\\{A148AAB5-390F-402F-8075-291C4A8787F1}\\1.0";
        EXPECT_THAT(rows,
                    ::testing::IsSupersetOf({base + " = Quillmark 1.0 Type Library",
                                             base + "\\409\\" + subkey + " = PATH",
                                             base + "\\FLAGS = 8", base + "\\HELPDIR = FOLDER\\"}));
        const std::string veyra = "Software\\Classes\\Interface\\{2A89F55A-CD0E-4AE4-93FF-"
                                  "BBAE52EBB4CD}";
        EXPECT_THAT(rows,
                    ::testing::IsSupersetOf(
                        {veyra + " = IVeyra",
                         veyra + "\\ProxyStubClsid32 = {00020424-0000-0000-C000-000000000046}",
                         veyra + "\\TypeLib [Version] = 1.0"}));
        EXPECT_EQ(rows.size(), 4u + 3u * 5u);
    }
}

TEST(MsiRegistry, DefinitionsAreReadOnlyWhereTheyDeclareSomething) {
    // Comments do not count; an interface that the marshaler cannot serve is not registered;
    // the library's attributes give its flags; a string may hold brackets and commas.
    const msi::TypeLibrary library = msi::ReadTypeLibrary(R"(
        // [uuid(00000000-0000-0000-0000-000000000001), dual] interface IOld : IDispatch {};
        /* [uuid(00000000-0000-0000-0000-000000000002), dual] interface IGone : IDispatch {}; */
        [object, uuid(00000000-0000-0000-0000-0000000000aa), pointer_default(unique)]
        interface ICustom : IUnknown {};
        [object, uuid(00000000-0000-0000-0000-0000000000bb), oleautomation]
        interface IAuto : IUnknown {};
        [uuid(00000000-0000-0000-0000-0000000000cc), version(2.1), hidden, control,
         helpstring("Lib [2], with a comma")]
        library Lib { [uuid(00000000-0000-0000-0000-0000000000dd)] coclass C { interface IAuto; }; };
    )");
    ASSERT_EQ(library.interfaces.size(), 1u);
    EXPECT_EQ(library.interfaces[0].id, "{00000000-0000-0000-0000-0000000000BB}");
    EXPECT_EQ(library.version, "2.1");
    EXPECT_EQ(library.lcid, 0u);
    EXPECT_EQ(library.description, "Lib [2], with a comma");
    EXPECT_EQ(library.flags, 2u | 4u | 8u);

    EXPECT_THROW(msi::ReadTypeLibrary("[object, uuid(00000000-0000-0000-0000-000000000001), dual]"
                                      " interface I : IDispatch {};"),
                 std::runtime_error);
    EXPECT_THROW(msi::ReadTypeLibrary("[version(1.0)] library L {};"), std::runtime_error);
}

TEST(MsiRegistry, WixSourceKeepsEveryValueLiteralButTheInstallersReferences) {
    reg::Value literal;
    literal.text = "#1 [Property] <&> \"q\" {GUID} STANDIN";
    reg::Value number;
    number.type = reg::Value::Type::Number;
    number.number = 7;
    const std::vector<msi::Row> rows{
        {"Software\\Classes\\K[1]", "Name", literal, false},
        {"Software\\Classes\\K", "", number, false},
        {"Software\\Classes\\Empty", "", {}, true},
    };
    const std::string wix = msi::WixRegistryValues(rows, "  ", {{"STANDIN", "[#File]"}});
    EXPECT_EQ(wix, "  <RegistryValue Root=\"HKCU\" Key=\"Software\\Classes\\K[\\[]1[\\]]\" "
                   "Name=\"Name\" Type=\"string\" Value=\"##1 [\\[]Property[\\]] &lt;&amp;&gt; "
                   "&quot;q&quot; {GUID} [#File]\" />\n"
                   "  <RegistryValue Root=\"HKCU\" Key=\"Software\\Classes\\K\" Type=\"integer\" "
                   "Value=\"7\" />\n"
                   "  <RegistryValue Root=\"HKCU\" Key=\"Software\\Classes\\Empty\" Name=\"*\" "
                   "Type=\"string\" Value=\"\" />\n");
    EXPECT_THAT(wix, Not(HasSubstr("STANDIN")));

    // The installer reads an empty value as no value at all: such a row cannot be written.
    EXPECT_THROW(msi::WixRegistryValues({{"Software\\K", "V", reg::Value{}, false}}, "", {}),
                 std::runtime_error);
}

} // namespace
