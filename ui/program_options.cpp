#include "ui/program_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>
#include <vector>

namespace qx17 {

namespace {

constexpr const char* kDescription =
    "The QX17 Parameter Editor: reads a QX17 tracker's parameters over a serial port, shows and "
    "checks every value, writes them back, and remembers the last values.";

// A settings file must be a file this user can read, or not exist yet (the
// first save creates it): anything else would lose values or show defaults.
std::string CheckSettingsFile(const std::string& text) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(text, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        return "";
    }
    if (error || status.type() != std::filesystem::file_type::regular) {
        return text + " is not a file";
    }
    if (!std::ifstream(text, std::ios::binary)) {
        return text + " cannot be read";
    }
    return "";
}

// The options Qt takes out of the command line itself (QGuiApplication,
// QApplication and the xcb platform), with one dash or two: those with a
// value in the next word, those without, and those with it after "=".
constexpr std::string_view kToolkitOptionsWithValue[] = {"platform",
                                                         "platformpluginpath",
                                                         "platformtheme",
                                                         "plugin",
                                                         "qwindowgeometry",
                                                         "geometry",
                                                         "qwindowtitle",
                                                         "title",
                                                         "qwindowicon",
                                                         "icon",
                                                         "session",
                                                         "style",
                                                         "stylesheet",
                                                         "display",
                                                         "name",
                                                         "visual"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "testability", "widgetcount",
                                              "sync",    "nograb",      "dograb"};
constexpr std::string_view kToolkitPrefixes[] = {"style=", "stylesheet=", "qmljsdebugger="};

// How many words from `word` on Qt takes as one of its options (with its
// value): 0 when `word` is not one.
int ToolkitWords(std::string_view word) {
    if (word.size() < 2 || word[0] != '-') {
        return 0;
    }
    word.remove_prefix(word.starts_with("--") ? 2 : 1);
    if (std::ranges::find(kToolkitOptionsWithValue, word) != std::end(kToolkitOptionsWithValue)) {
        return 2;
    }
    if (std::ranges::find(kToolkitFlags, word) != std::end(kToolkitFlags)) {
        return 1;
    }
    for (std::string_view prefix : kToolkitPrefixes) {
        if (word.starts_with(prefix)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

std::optional<int> ParseProgramOptions(int argc, const char* const* argv,
                                       bool toolkit_takes_the_rest, ProgramOptions& options,
                                       std::ostream& out, std::ostream& errors) {
    // Qt's own options (and their values) go to Qt, in their order; every
    // other word is the program's, so an unknown option or a stray argument
    // is refused here, before Qt would need a display.
    options.toolkit_arguments = {argc > 0 ? argv[0] : "qx17eep"};
    std::vector<std::string> own;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        const int qt_words = toolkit_takes_the_rest ? ToolkitWords(word) : 0;
        if (qt_words == 0) {
            own.emplace_back(word);
            if (word == "--settings" && i + 1 < argc) {
                own.emplace_back(argv[++i]);  // a file name, whatever it looks like
            }
            continue;
        }
        for (int k = 0; k < qt_words && i < argc; ++k, ++i) {
            options.toolkit_arguments.emplace_back(argv[i]);
        }
        --i;
    }

    CLI::App app{kDescription, "qx17eep"};
    app.set_version_flag("--version", std::string("qx17eep ") + QX17_VERSION);
    std::string settings;
    app.add_option("--settings", settings,
                   "keep the window's values in FILE, a settings file in the registry's export "
                   "format (one per customer, say), instead of the default store")
        ->type_name("FILE")
        ->check(CheckSettingsFile);
    const std::string usage = toolkit_takes_the_rest
                                  ? "Usage: qx17eep [--settings FILE] [Qt options]"
                                  : "Usage: qx17eep [--settings FILE]";
    if (toolkit_takes_the_rest) {
        app.footer("Qt's own options (-platform, -style ...) are passed to Qt.");
    } else {
        app.footer("Without --settings the values are kept in the registry of the current user.");
    }
    // A bad command line gets the reason and a short usage, not the whole help.
    app.failure_message([usage](const CLI::App*, const CLI::Error& e) {
        return std::string("qx17eep: ") + e.what() + "\n" + usage +
               "\nTry 'qx17eep --help' for more information.\n";
    });
    try {
        std::vector<std::string> reversed(own.rbegin(), own.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, errors) == 0 ? 0 : 2;
    }
    if (!settings.empty()) {
        options.settings = std::filesystem::absolute(settings);
    }
    return std::nullopt;
}

ChosenSettingsStore::ChosenSettingsStore(const ProgramOptions& options) {
    if (options.settings) {
        UseRegistryStore(&file_.emplace(*options.settings));
    }
}

ChosenSettingsStore::~ChosenSettingsStore() {
    if (file_) {
        UseRegistryStore(nullptr);
    }
}

}  // namespace qx17
