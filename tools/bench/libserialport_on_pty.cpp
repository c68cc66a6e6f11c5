#include "tools/bench/libserialport_on_pty.h"

#include <elf.h>
#include <fcntl.h>
#include <libserialport.h>
#include <link.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <utility>

namespace qx17::bench {

namespace {

std::string Failed(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool WriteFile(const char* path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

using IoctlFunction = int (*)(int, unsigned long, ...);

// Passes the call through; a modem-line call a tty refuses (a pty has no modem
// lines) succeeds, and TIOCMGET reports no signal raised.
int ModemLinesOrNone(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int result = ::ioctl(fd, request, arg);
    const bool modem_lines =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result < 0 && errno == ENOTTY && modem_lines && ::isatty(fd)) {
        if (request == TIOCMGET) {
            *static_cast<int*>(arg) = 0;
        }
        return 0;
    }
    return result;
}

#if defined(__x86_64__)
constexpr std::uint64_t kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr std::uint64_t kGlobDat = R_X86_64_GLOB_DAT;
#elif defined(__aarch64__)
constexpr std::uint64_t kJumpSlot = R_AARCH64_JUMP_SLOT;
constexpr std::uint64_t kGlobDat = R_AARCH64_GLOB_DAT;
#endif

struct ImportSearch {
    std::size_t objects = 0;
    std::size_t patched = 0;
    std::string problem;
};

#if defined(__x86_64__) || defined(__aarch64__)
// Replaces the `ioctl` entries of libserialport's global offset table.
int PatchLibserialport(dl_phdr_info* info, std::size_t, void* data) {
    ImportSearch& search = *static_cast<ImportSearch*>(data);
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "libserialport") == nullptr) {
        return 0;
    }
    ++search.objects;
    const Elf64_Addr base = info->dlpi_addr;
    const Elf64_Dyn* dynamic = nullptr;
    Elf64_Addr relro_end = 0;
    for (Elf64_Half i = 0; i < info->dlpi_phnum; ++i) {
        const Elf64_Phdr& header = info->dlpi_phdr[i];
        if (header.p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const Elf64_Dyn*>(base + header.p_vaddr);
        } else if (header.p_type == PT_GNU_RELRO) {
            relro_end = base + header.p_vaddr + header.p_memsz;
        }
    }
    if (dynamic == nullptr) {
        search.problem = "libserialport has no dynamic section";
        return 1;
    }
    // The loader may or may not have relocated these addresses in place.
    const auto absolute = [base](Elf64_Addr address) {
        return address < base ? address + base : address;
    };
    Elf64_Addr symbols = 0, names = 0, plt_relocs = 0, relocs = 0;
    std::size_t plt_relocs_size = 0, relocs_size = 0;
    for (const Elf64_Dyn* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
            case DT_SYMTAB:
                symbols = absolute(entry->d_un.d_ptr);
                break;
            case DT_STRTAB:
                names = absolute(entry->d_un.d_ptr);
                break;
            case DT_JMPREL:
                plt_relocs = absolute(entry->d_un.d_ptr);
                break;
            case DT_PLTRELSZ:
                plt_relocs_size = entry->d_un.d_val;
                break;
            case DT_RELA:
                relocs = absolute(entry->d_un.d_ptr);
                break;
            case DT_RELASZ:
                relocs_size = entry->d_un.d_val;
                break;
            default:
                break;
        }
    }
    if (symbols == 0 || names == 0) {
        search.problem = "libserialport has no symbol table";
        return 1;
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    const auto page_mask = ~static_cast<Elf64_Addr>(page - 1);
    const IoctlFunction wrapper = &ModemLinesOrNone;
    for (const auto& [table, size] :
         {std::pair{plt_relocs, plt_relocs_size}, std::pair{relocs, relocs_size}}) {
        const auto* relocations = reinterpret_cast<const Elf64_Rela*>(table);
        for (std::size_t i = 0; table != 0 && i < size / sizeof(Elf64_Rela); ++i) {
            const Elf64_Rela& relocation = relocations[i];
            const std::uint64_t type = ELF64_R_TYPE(relocation.r_info);
            if (type != kJumpSlot && type != kGlobDat) {
                continue;
            }
            const auto* symbol =
                reinterpret_cast<const Elf64_Sym*>(symbols) + ELF64_R_SYM(relocation.r_info);
            if (std::strcmp(reinterpret_cast<const char*>(names) + symbol->st_name, "ioctl") != 0) {
                continue;
            }
            const Elf64_Addr slot = base + relocation.r_offset;
            void* const slot_page = reinterpret_cast<void*>(slot & page_mask);
            const auto page_size = static_cast<std::size_t>(page);
            if (::mprotect(slot_page, page_size, PROT_READ | PROT_WRITE) != 0) {
                search.problem = Failed("mprotect");
                return 1;
            }
            std::memcpy(reinterpret_cast<void*>(slot), &wrapper, sizeof wrapper);
            // The loader made the part of the table below the end of its
            // read-only-after-relocation segment read-only: so again.
            if ((slot & page_mask) < (relro_end & page_mask)) {
                ::mprotect(slot_page, page_size, PROT_READ);
            }
            ++search.patched;
        }
    }
    return 1;
}
#endif

}  // namespace

bool AnswerModemLinesForLibserialport(std::string& problem) {
#if defined(__x86_64__) || defined(__aarch64__)
    (void)sp_get_package_version_string();  // libserialport is loaded by now
    ImportSearch search;
    ::dl_iterate_phdr(&PatchLibserialport, &search);
    if (!search.problem.empty()) {
        problem = search.problem;
        return false;
    }
    if (search.objects == 0 || search.patched == 0) {
        problem = "libserialport's ioctl import was not found";
        return false;
    }
    return true;
#else
    problem = "no modem-line wrapper for this architecture";
    return false;
#endif
}

bool EnterPrivateMountNamespace(std::string& problem) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWNS) != 0) {
        // Without privileges: a user namespace in which this process is root.
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            problem = Failed("unshare");
            return false;
        }
        if (!WriteFile("/proc/self/setgroups", "deny") ||
            !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            problem = "cannot map this user into its namespace";
            return false;
        }
    }
    // Mounts made from here on must not travel back to the rest of the system.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        problem = Failed("making the mounts private");
        return false;
    }
    return true;
}

bool PortAlias::Bind(const std::string& slave_path, std::string& problem) {
    Unbind();
    if (::mount(slave_path.c_str(), kName, nullptr, MS_BIND, nullptr) != 0) {
        problem = Failed("bind-mounting the pty");
        return false;
    }
    bound_ = true;
    struct stat alias {};
    struct stat slave {};
    if (::stat(kName, &alias) != 0 || ::stat(slave_path.c_str(), &slave) != 0 ||
        !S_ISCHR(alias.st_mode) || alias.st_rdev != slave.st_rdev) {
        problem = std::string(kName) + " does not name the pty after the mount";
        Unbind();
        return false;
    }
    return true;
}

void PortAlias::Unbind() {
    if (bound_) {
        (void)::umount2(kName, MNT_DETACH);
        bound_ = false;
    }
}

}  // namespace qx17::bench
