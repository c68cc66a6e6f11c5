// The window program's command line: --settings FILE, --help and --version.
// It is read before the windowing toolkit starts, so that --help and
// --version work without a display.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "params/registry_file_store.h"

namespace qx17 {

struct ProgramOptions {
    // The settings file to keep the window's values in, instead of the
    // default store (the registry on Windows, settings.reg elsewhere).
    std::optional<std::filesystem::path> settings;
    // The program's name and the words left for the toolkit (Qt's -platform
    // ...), in their order.
    std::vector<std::string> toolkit_arguments;
};

// Parses the command line into `options`. `toolkit_takes_the_rest`: Qt's own
// options (-platform NAME, -style NAME ...) are left for the toolkit, in
// their order. Any other word the program does not know, an option or a
// stray argument, is an error. Returns the exit code
// when the program ends at once: 0 after --help or --version (written to
// `out`), 2 after a bad command line (the reason written to `errors`).
std::optional<int> ParseProgramOptions(int argc, const char* const* argv,
                                       bool toolkit_takes_the_rest, ProgramOptions& options,
                                       std::ostream& out, std::ostream& errors);

// While it lives, the registry routines (and so the window's saved settings)
// use the settings file `options` names, read and saved exactly as the
// default settings file is; without one, the default store.
class ChosenSettingsStore {
  public:
    explicit ChosenSettingsStore(const ProgramOptions& options);
    ~ChosenSettingsStore();
    ChosenSettingsStore(const ChosenSettingsStore&) = delete;
    ChosenSettingsStore& operator=(const ChosenSettingsStore&) = delete;

  private:
    std::optional<RegistryFileStore> file_;
};

}  // namespace qx17
