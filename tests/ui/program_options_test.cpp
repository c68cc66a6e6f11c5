// The window program's command line, read before any display is opened.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ui/program_options.h"

namespace qx17 {
namespace {

using testing::ElementsAreArray;
using testing::HasSubstr;

struct Case {
    const char* what;
    std::vector<const char*> words;  // after the program's name
    bool toolkit_takes_the_rest;
    std::optional<int> exit_code;
    const char* output;                // a part of what goes to out (or to errors on exit 2)
    const char* settings;              // the file name the settings path ends with, or ""
    std::vector<const char*> toolkit;  // after the program's name
};

TEST(ProgramOptions, TheCommandLineEndsTheProgramOrSaysWhatToRunWith) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    const std::string folder_text = folder.string();
    const Case cases[] = {
        {"help", {"--help"}, true, 0, "--settings FILE", "", {}},
        {"help, Windows", {"--help"}, false, 0, "registry of the current user", "", {}},
        {"version", {"--version"}, true, 0, "qx17eep " QX17_VERSION, "", {}},
        {"no options", {}, true, std::nullopt, "", "", {}},
        {"a settings file",
         {"--settings", "customer.reg"},
         false,
         std::nullopt,
         "",
         "customer.reg",
         {}},
        {"a settings file and Qt's options",
         {"-platform", "offscreen", "--settings=customer.reg", "-reverse", "--style=fusion"},
         true,
         std::nullopt,
         "",
         "customer.reg",
         {"-platform", "offscreen", "-reverse", "--style=fusion"}},
        {"--settings without a file", {"--settings"}, true, 2, "--settings", "", {}},
        {"a folder as the settings file",
         {"--settings", folder_text.c_str()},
         true,
         2,
         "is not a file",
         "",
         {}},
        {"an unknown option, Windows", {"--bogus"}, false, 2, "--bogus", "", {}},
        {"an unknown option, Linux", {"--bogus"}, true, 2, "--bogus", "", {}},
        {"a stray argument, with a short usage",
         {"-platform", "offscreen", "customer.reg"},
         true,
         2,
         "Usage: qx17eep [--settings FILE]",
         "",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<const char*> argv = {"/usr/bin/qx17eep"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        ProgramOptions options;
        std::ostringstream out, errors;
        const std::optional<int> code =
            ParseProgramOptions(static_cast<int>(argv.size()), argv.data(),
                                c.toolkit_takes_the_rest, options, out, errors);
        EXPECT_EQ(code, c.exit_code);
        EXPECT_THAT(code == 2 ? errors.str() : out.str(), HasSubstr(c.output));
        if (code) {
            continue;
        }
        if (*c.settings == '\0') {
            EXPECT_FALSE(options.settings);
        } else {
            ASSERT_TRUE(options.settings);
            EXPECT_TRUE(options.settings->is_absolute());
            EXPECT_EQ(options.settings->filename(), c.settings);
        }
        std::vector<std::string> toolkit = {"/usr/bin/qx17eep"};
        toolkit.insert(toolkit.end(), c.toolkit.begin(), c.toolkit.end());
        EXPECT_THAT(options.toolkit_arguments, ElementsAreArray(toolkit));
    }
}

}  // namespace
}  // namespace qx17
