// qx17eep: the QX17 Parameter Editor.
#include <iostream>
#include <optional>
#include <vector>

#include "ui/form_settings.h"
#include "ui/program_options.h"
#include "ui/qt_program.h"

int main(int argc, char** argv) {
    qx17::ProgramOptions options;
    if (const std::optional<int> code =
            qx17::ParseProgramOptions(argc, argv, true, options, std::cout, std::cerr)) {
        return *code;
    }
    const qx17::ChosenSettingsStore settings_store(options);
    // Qt keeps argc and argv for the whole run.
    std::vector<char*> qt_argv;
    for (std::string& word : options.toolkit_arguments) {
        qt_argv.push_back(word.data());
    }
    qt_argv.push_back(nullptr);
    int qt_argc = static_cast<int>(qt_argv.size() - 1);
    return qx17::RunQtProgram(qt_argc, qt_argv.data(), qx17::DefaultFormSettings());
}
