#include "serial/port_names_posix.h"

#include <sys/stat.h>

#include <cstdlib>

namespace qx17 {

std::filesystem::path DefaultPortFolder() {
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        config = std::filesystem::path(home) / ".config";
    } else {
        return {};
    }
    return config / "Kestrowind" / "QX17EEP" / "ports";
}

std::optional<int> ComPortNumber(std::string_view name) {
    if (name.size() < 4 || name.size() > 5) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if ((name[i] | 0x20) != "com"[i]) {
            return std::nullopt;
        }
    }
    const std::string_view digits = name.substr(3);
    if (digits[0] == '0') {
        return std::nullopt;
    }
    int number = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        number = number * 10 + (ch - '0');
    }
    if (number < 1 || number > 32) {
        return std::nullopt;
    }
    return number;
}

std::optional<std::string> ResolvePortPath(std::string_view name,
                                           const std::filesystem::path& port_folder) {
    if (!name.empty() && name.front() == '/') {
        return std::string(name);
    }
    const std::optional<int> number = ComPortNumber(name);
    if (!number) {
        return std::nullopt;
    }
    if (!port_folder.empty()) {
        const std::filesystem::path link = port_folder / ("com" + std::to_string(*number));
        struct stat info;
        if (::lstat(link.c_str(), &info) == 0) {
            return link.string();  // opening follows the link
        }
    }
    return "/dev/ttyS" + std::to_string(*number - 1);
}

}  // namespace qx17
