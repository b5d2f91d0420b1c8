#include "platform/linux/pulse/pulse_process_applications.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string_view>

#include <pulse/proplist.h>

#include "platform/file_descriptor.h"
#include "platform/linux/pulse/pulse_identity.h"

namespace vx {

namespace {

struct FreeProplist {
    void operator()(pa_proplist* properties) const { pa_proplist_free(properties); }
};
using Proplist = std::unique_ptr<pa_proplist, FreeProplist>;

struct CloseDirectory {
    void operator()(DIR* directory) const { closedir(directory); }
};

// Environments are not large; a longer one is read this far.
constexpr size_t kEnvironmentLimit = 1 << 20;

std::string readAll(int directory, const char* name) {
    FileDescriptor file(openat(directory, name, O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file.valid()) return text;
    char buffer[8192];
    while (text.size() < kEnvironmentLimit) {
        ssize_t got = read(file.get(), buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, size_t(got));
    }
    return text;
}

std::string binaryName(int directory) {
    char path[4096];
    ssize_t length = readlinkat(directory, "exe", path, sizeof path - 1);
    if (length <= 0) return {};
    std::string_view target(path, size_t(length));
    // A binary replaced while it runs reads "/path/name (deleted)".
    constexpr std::string_view kDeleted = " (deleted)";
    if (target.ends_with(kDeleted)) target.remove_suffix(kDeleted.size());
    size_t slash = target.rfind('/');
    return std::string(slash == std::string_view::npos ? target : target.substr(slash + 1));
}

}  // namespace

// Mirrors how libpulse builds a client's properties from its environment: each
// PULSE_PROP_<key>=value first, then PULSE_PROP's "key=value ..." list for keys
// not set yet; the Flatpak id and the binary only where nothing named them.
std::string processIdentity(const std::string& environment, const std::string& binary) {
    Proplist properties(pa_proplist_new());
    if (!properties) return {};
    constexpr std::string_view kPrefix = "PULSE_PROP_";
    std::string list, flatpak;
    size_t at = 0;
    while (at < environment.size()) {
        size_t end = environment.find('\0', at);
        if (end == std::string::npos) end = environment.size();
        std::string_view entry(environment.data() + at, end - at);
        at = end + 1;
        size_t equals = entry.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view name = entry.substr(0, equals), value = entry.substr(equals + 1);
        if (name == "PULSE_PROP")
            list = value;
        else if (name == "FLATPAK_ID")
            flatpak = value;
        else if (name.starts_with(kPrefix) && name.size() > kPrefix.size()) {
            std::string key(name.substr(kPrefix.size()));
            if (!pa_proplist_contains(properties.get(), key.c_str()))
                pa_proplist_sets(properties.get(), key.c_str(), std::string(value).c_str());
        }
    }
    if (!list.empty()) {
        Proplist given(pa_proplist_from_string(list.c_str()));
        if (given) pa_proplist_update(properties.get(), PA_UPDATE_MERGE, given.get());
    }
    const char* portal = "pipewire.access.portal.app_id";
    if (!flatpak.empty() && !pa_proplist_contains(properties.get(), portal))
        pa_proplist_sets(properties.get(), portal, flatpak.c_str());
    if (!binary.empty() &&
        !pa_proplist_contains(properties.get(), PA_PROP_APPLICATION_PROCESS_BINARY))
        pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_PROCESS_BINARY, binary.c_str());
    return playerIdentity(properties.get());
}

std::vector<RunningApplication> processApplications() {
    std::vector<RunningApplication> applications;
    std::unique_ptr<DIR, CloseDirectory> processes(opendir("/proc"));
    if (!processes) return applications;
    const uid_t user = geteuid();
    const pid_t self = getpid();
    std::set<std::string> known;
    while (dirent* entry = readdir(processes.get())) {
        char* rest = nullptr;
        long pid = std::strtol(entry->d_name, &rest, 10);
        if (pid <= 0 || *rest != '\0' || pid == self) continue;
        FileDescriptor directory(
            openat(dirfd(processes.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat owner {};
        if (!directory.valid() || fstat(directory.get(), &owner) != 0 || owner.st_uid != user)
            continue;
        std::string environment = readAll(directory.get(), "environ");
        if (environment.empty()) continue;  // kernel threads, zombies, processes not ours to read
        std::string identity = processIdentity(environment, binaryName(directory.get()));
        if (!identity.empty() && known.insert(identity).second)
            applications.push_back(RunningApplication{identity});
    }
    return applications;
}

}  // namespace vx
