#include "platform/command_line.h"

#ifdef _WIN32
#include "platform/StringConversion.h"
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace command_line {
namespace {

// The help's right margin.
constexpr size_t kHelpWidth = 98;

std::string WithoutEndingNewlines(std::string text) {
    text.erase(text.find_last_not_of('\n') + 1);
    return text;
}

// A description in lines that end before the help's right margin (CLI11 indents each one).
std::string Wrapped(const std::string& text, size_t width) {
    std::string wrapped, line;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            wrapped += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return wrapped + line;
}

// The usage line leads the description (see Configure), so CLI11's own is left out; the texts
// may end with a newline or not, and the help still has one blank line between its parts.
class Help : public CLI::Formatter {
public:
    Help() {
        label("REQUIRED", "(required)");
        label("Positionals", "Arguments");
        column_width(30);
    }
    std::string make_usage(const CLI::App*, std::string) const override { return {}; }
    std::string make_description(const CLI::App* app) const override {
        return WithoutEndingNewlines(app->get_description()) + "\n";
    }
    std::string make_option_desc(const CLI::Option* option) const override {
        return Wrapped(CLI::Formatter::make_option_desc(option), kHelpWidth - get_column_width());
    }
    std::string make_footer(const CLI::App* app) const override {
        return WithoutEndingNewlines(app->get_footer()) + "\n";
    }
};

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// CLI11's complaints in the words that the tools have always used. Only ArgumentMismatch needs
// it: the one about the option that it names first ("--cert: 1 required FILE missing").
std::string Complaint(const CLI::ParseError& e) {
    std::string message = e.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) == nullptr) {
        return message;
    }
    std::string name = message.substr(0, message.find_first_of(": "));
    if (Contains(message, " DIR missing")) {
        return name + " needs a folder";
    }
    if (Contains(message, " missing")) {
        return name + " needs a value";
    }
    if (Contains(message, "At Most")) {
        return name + " is given twice";
    }
    if (Contains(message, "flag override")) {
        return (name.rfind('-', 0) == 0 ? name : "--" + name) + " takes no value";
    }
    return message;
}

// The number of slips that turn one name into the other: a letter left out, added or changed,
// or two neighbouring letters swapped.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// " (did you mean --algorithm?)" when one of the options that `app` knows is a slip or two away
// from `arg` (one for a short name); nothing otherwise.
std::string Suggestion(const CLI::App& app, const std::string& arg) {
    std::string name = arg.substr(0, arg.find('='));
    if (name.rfind("--", 0) != 0 || name.size() < 4) {
        return {};
    }
    name.erase(0, 2);
    std::string best;
    size_t bestDistance = name.size() < 6 ? 1 : 2;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& known : option->get_lnames()) {
            size_t distance = EditDistance(name, known);
            if (distance <= bestDistance && distance > 0) {
                best = known;
                bestDistance = distance - 1; // a closer one still wins
            }
        }
    }
    return best.empty() ? std::string() : " (did you mean --" + best + "?)";
}

// The first argument that no option and no command took.
std::string Leftover(const CLI::App& app) {
    const std::string arg = app.remaining().front();
    bool option = arg.size() > 1 && arg[0] == '-';
    std::vector<CLI::App*> commands = app.get_subcommands();
    if (!commands.empty()) {
        const CLI::App& command = *commands.front();
        if (!option) {
            return "unexpected argument '" + arg + "' for " + command.get_name();
        }
        bool positionals =
            !command.get_options([](const CLI::Option* o) { return o->get_positional(); }).empty();
        std::string suggestion = Suggestion(command, arg);
        if (suggestion.empty()) {
            suggestion = Suggestion(app, arg);
        }
        if (suggestion.empty() && positionals) {
            suggestion = " (an argument that starts with - goes after --)";
        }
        return "unknown option " + arg + " for " + command.get_name() + suggestion;
    }
    if (option) {
        return "unknown option " + arg + Suggestion(app, arg);
    }
    bool hasCommands = !app.get_subcommands({}).empty();
    return (hasCommands ? "unknown command '" : "unexpected argument '") + arg + "'";
}

// The value of an environment variable, as UTF-8 (a Windows environment is UTF-16); nothing when
// it is unset.
std::optional<qm::WipedText> EnvironmentValue(const std::string& name) {
#ifdef _WIN32
    std::wstring wideName = qm::Utf8ToUtf16(name);
    DWORD units = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (units == 0) {
        return std::nullopt;
    }
    qm::Wiped<wchar_t> value(units);
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), units);
    if (length >= units) {
        return std::nullopt; // it changed between the two calls; no one's password is read half
    }
    return qm::Utf16ToUtf8<qm::WipedText>(std::wstring_view(value.data(), length));
#else
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return qm::WipedText(value);
#endif
}

std::filesystem::path PathFromUtf8(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

[[noreturn]] void TooLong(const std::string& option) {
    throw UsageError(option + ": the password is longer than " + std::to_string(kMaxPasswordBytes) +
                     " bytes");
}

} // namespace

void Configure(CLI::App& app, const std::string& program, const std::string& description) {
    app.name(program);
    app.description(description);
    app.formatter(std::make_shared<Help>());
    app.set_help_flag("-h,--help", "show this help and exit");
    app.set_version_flag("--version", program + " " QM_VERSION_DOTTED, "show the version and exit");
    // On Windows CLI11 would take "/media/stick" for an option; for these tools it is a path.
    app.allow_windows_style_options(false);
    // What nothing takes is named by Parse, in the tools' own words.
    app.allow_extras();
    // The program's own options (ledra-tool's --store) are taken after a command too.
    app.fallthrough();
}

std::string Paragraph(const std::string& text) {
    return Wrapped(text, kHelpWidth);
}

bool Parse(CLI::App& app, std::vector<std::string> args, std::ostream& out) {
    std::reverse(args.begin(), args.end()); // CLI11 takes them from the back
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return false;
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << "\n";
        return false;
    } catch (const CLI::RequiredError& e) {
        // An option that nothing took is the real fault: a misspelt option is often the very one
        // that is then missing ("--algoritm SEED" leaves --algorithm unset).
        if (!app.remaining().empty()) {
            throw UsageError(Leftover(app));
        }
        throw UsageError(Complaint(e));
    } catch (const CLI::ParseError& e) {
        throw UsageError(Complaint(e));
    }
    if (!app.remaining().empty()) {
        throw UsageError(Leftover(app));
    }
    return true;
}

int Run(const std::string& program, const std::function<int()>& body) {
    try {
        return body();
    } catch (const UsageError& e) {
        std::cerr << program << ": " << e.what() << "\n(" << program
                  << " --help shows how to use it)\n";
        return kBadCommandLine;
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << "\n";
        return kFailed;
    }
}

std::optional<qm::WipedText> ReadFirstLine(std::istream& in, size_t limit) {
    qm::WipedText line = qm::WipedText::ForOverwrite(64);
    size_t length = 0;
    for (int c; (c = in.get()) != std::char_traits<char>::eof() && c != '\r' && c != '\n';) {
        if (length == limit) {
            return std::nullopt;
        }
        if (length == line.size()) {
            // Grown by a copy into a larger buffer: the old one is wiped as it goes.
            qm::WipedText larger = qm::WipedText::ForOverwrite(std::min(limit, 2 * line.size()));
            std::copy(line.data(), line.data() + length, larger.data());
            line = std::move(larger);
        }
        line[length++] = char(c);
    }
    line.Shrink(length);
    line[length] = '\0';
    return line;
}

bool IsPasswordSource(std::string_view source) {
    return source.starts_with("pass:") || source.starts_with("env:") ||
           source.starts_with("file:") || source == "-";
}

qm::WipedText ReadPassword(std::string_view source, const std::string& option,
                           const std::function<std::optional<qm::WipedText>()>& readStandardInput) {
    auto after = [&](std::string_view prefix) { return std::string(source.substr(prefix.size())); };
    std::optional<qm::WipedText> text;
    if (source.starts_with("pass:")) {
        text.emplace(source.substr(5));
    } else if (source.starts_with("env:")) {
        text = EnvironmentValue(after("env:"));
        if (!text) {
            throw UsageError(option + ": the variable " + after("env:") + " is not set");
        }
    } else if (source.starts_with("file:")) {
        std::filesystem::path path = PathFromUtf8(source.substr(5));
        std::error_code error;
        std::ifstream file;
        // Unbuffered, so that the password passes through no buffer but the wiped one.
        file.rdbuf()->pubsetbuf(nullptr, 0);
        if (!std::filesystem::is_directory(path, error)) {
            file.open(path, std::ios::binary);
        }
        if (!file.is_open()) {
            throw std::runtime_error(option + ": cannot read the password file " + after("file:"));
        }
        text = ReadFirstLine(file);
        if (file.bad()) {
            throw std::runtime_error(option + ": cannot read the password file " + after("file:"));
        }
        if (!text) {
            TooLong(option);
        }
    } else if (source == "-") {
        text = readStandardInput ? readStandardInput() : ReadFirstLine(std::cin);
        if (!text) {
            TooLong(option);
        }
    } else {
        throw UsageError(option + ": give a password as pass:TEXT, env:VARIABLE, file:PATH or -");
    }
    if (text->size() > kMaxPasswordBytes) {
        TooLong(option);
    }
    if (text->empty()) {
        throw UsageError(option + ": the password is empty");
    }
    return std::move(*text);
}

} // namespace command_line
