#include "platform/command_line.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>

namespace command_line {
namespace {

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
        return Wrapped(CLI::Formatter::make_option_desc(option), 98 - get_column_width());
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
        return "unknown option " + arg + " for " + command.get_name() +
               (positionals ? " (an argument that starts with - goes after --)" : "");
    }
    if (option) {
        return "unknown option " + arg;
    }
    bool hasCommands = !app.get_subcommands({}).empty();
    return (hasCommands ? "unknown command '" : "unexpected argument '") + arg + "'";
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

} // namespace command_line
