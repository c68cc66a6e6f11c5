#include "ui/program_options.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <system_error>

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

}  // namespace

std::optional<int> ParseProgramOptions(int argc, const char* const* argv,
                                       bool toolkit_takes_the_rest, ProgramOptions& options,
                                       std::ostream& out, std::ostream& errors) {
    CLI::App app{kDescription, "qx17eep"};
    app.set_version_flag("--version", std::string("qx17eep ") + QX17_VERSION);
    std::string settings;
    app.add_option("--settings", settings,
                   "keep the window's values in FILE, a settings file in the registry's export "
                   "format (one per customer, say), instead of the default store")
        ->type_name("FILE")
        ->check(CheckSettingsFile);
    if (toolkit_takes_the_rest) {
        app.allow_extras();
        app.footer("Qt's own options (-platform, -style ...) are passed to Qt.");
    } else {
        app.footer("Without --settings the values are kept in the registry of the current user.");
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, errors) == 0 ? 0 : 2;
    }
    if (!settings.empty()) {
        options.settings = std::filesystem::absolute(settings);
    }
    options.toolkit_arguments = {argc > 0 ? argv[0] : "qx17eep"};
    for (const std::string& word : app.remaining()) {
        options.toolkit_arguments.push_back(word);
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
