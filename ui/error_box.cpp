#include "ui/error_box.h"

namespace qx17 {

namespace {
char Lower(char ch) {
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}
}  // namespace

std::string ApplicationTitle(std::string_view program_path) {
    const std::size_t slash = program_path.find_last_of("/\\");
    std::string_view name =
        slash == std::string_view::npos ? program_path : program_path.substr(slash + 1);
    name = name.substr(0, name.find('.'));
    std::string title;
    for (char ch : name) {
        title.push_back(title.empty() ? ch : Lower(ch));
    }
    return title;
}

std::string ErrorBoxText(std::string_view message) {
    std::string text(message);
    if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') {
        text.push_back('.');
    }
    return text;
}

}  // namespace qx17
