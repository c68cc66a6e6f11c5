// Without a registry, the settings live in a file of our own.
#include <cstdlib>
#include <memory>

#include "params/registry.h"
#include "params/registry_file_store.h"

namespace qx17 {

std::filesystem::path DefaultSettingsFile() {
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        config = std::filesystem::path(home) / ".config";
    } else {
        config = ".";
    }
    return config / "Kestrowind" / "QX17EEP" / "settings.reg";
}

RegistryStore& NativeRegistryStore() {
    // Follows the environment, so that a changed XDG_CONFIG_HOME (a test's
    // own folder) takes effect.
    static std::unique_ptr<RegistryFileStore> store;
    const std::filesystem::path file = DefaultSettingsFile();
    if (!store || store->File() != file) {
        store = std::make_unique<RegistryFileStore>(file);
    }
    return *store;
}

}  // namespace qx17
