#include "AttachedRegistry.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace larkhold {

namespace {

// The tools keep their state in a folder only the user can enter; one that is anything else makes
// them refuse to work, and so the listing fails here too.
enum class Folder { isPrivate, missing, refused };

Folder folderState(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? Folder::missing : Folder::refused;
    const bool owned = S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
    return owned ? Folder::isPrivate : Folder::refused;
}

// The tools' state folder, chosen as they choose it. Empty when it does not exist yet: then
// nothing was ever attached.
std::optional<std::string> stateFolder() {
    std::string folder;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string run = "/run/user/" + std::to_string(::getuid());
    if (xdg && *xdg && folderState(xdg) == Folder::isPrivate)
        folder = std::string(xdg) + "/larkhold";
    else if (folderState(run) == Folder::isPrivate)
        folder = run + "/larkhold";
    else
        folder = "/tmp/larkhold-" + std::to_string(::getuid());
    switch (folderState(folder)) {
    case Folder::missing:
        return std::string();
    case Folder::refused:
        return std::nullopt;
    case Folder::isPrivate:
        break;
    }
    char* resolved = ::realpath(folder.c_str(), nullptr);
    if (!resolved)
        return std::nullopt;
    folder = resolved;
    std::free(resolved);
    return folder;
}

// Small files only, and never a FIFO someone planted: it would hold the reader.
std::optional<std::string> readEntry(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, std::size_t(n));
        ok = text.size() <= (16u << 20);
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return text;
}

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out.push_back(text[i]);
            continue;
        }
        const std::size_t end = text.find(';', i);
        const std::string entity = text.substr(i + 1, end == std::string::npos ? 0 : end - i - 1);
        if (entity == "amp")
            out.push_back('&');
        else if (entity == "lt")
            out.push_back('<');
        else if (entity == "gt")
            out.push_back('>');
        else if (entity == "quot")
            out.push_back('"');
        else {
            out.push_back('&');
            continue;
        }
        i = end;
    }
    return out;
}

// The value after <key>key</key>, read exactly as the tools read their own entries.
std::string value(const std::string& text, const std::string& key) {
    const std::size_t k = text.find("<key>" + key + "</key>");
    if (k == std::string::npos)
        return {};
    const std::size_t open = text.find('>', text.find('<', k + key.size() + 11));
    const std::size_t close = text.find("</", open);
    if (open == std::string::npos || close == std::string::npos)
        return {};
    return unescaped(text.substr(open + 1, close - open - 1));
}

// Whether the process `pid` is the one that started at `startTime` (field 22 of its stat line)
// and has not ended: a reused process number is no service.
bool serviceRuns(int pid, std::uint64_t startTime) {
    if (pid <= 0)
        return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold spaces: fields are counted after its last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::string state, field;
    fields >> state;
    for (int i = 4; i <= 22 && fields >> field; ++i)
        if (i == 22)
            return std::strtoull(field.c_str(), nullptr, 10) == startTime && state != "Z";
    return false;
}

std::set<std::string> mountPoints() {
    std::set<std::string> out;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        fields >> id >> parent >> device >> root >> mountPoint;
        // Space, tab, newline and backslash are written as octal escapes.
        std::string decoded;
        for (std::size_t i = 0; i < mountPoint.size(); ++i) {
            if (mountPoint[i] == '\\' && i + 3 < mountPoint.size()) {
                decoded.push_back(char(std::strtol(mountPoint.substr(i + 1, 3).c_str(), nullptr, 8)));
                i += 3;
            } else {
                decoded.push_back(mountPoint[i]);
            }
        }
        out.insert(decoded);
    }
    return out;
}

// As the listing's text: bytes that are not UTF-8 and control characters read as U+FFFD.
QString listingText(const std::string& bytes) {
    QString text = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    for (QChar& c : text)
        if ((c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c.unicode() == 0x7f)
            c = QChar::ReplacementCharacter;
    return text;
}

} // namespace

std::optional<QMap<QString, QString>> readAttachedRegistry() {
    const std::optional<std::string> folder = stateFolder();
    if (!folder)
        return std::nullopt;
    QMap<QString, QString> attached;
    if (folder->empty())
        return attached;
    const std::string registry = *folder + "/attached";
    switch (folderState(registry)) {
    case Folder::missing:
        return attached;
    case Folder::refused:
        return std::nullopt;
    case Folder::isPrivate:
        break;
    }
    DIR* entries = ::opendir(registry.c_str());
    if (!entries)
        return std::nullopt;
    const std::set<std::string> mounted = mountPoints();
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (name.size() <= 6 || name.compare(name.size() - 6, 6, ".plist") != 0 || name[0] == '.')
            continue;
        const std::optional<std::string> text = readEntry(registry + "/" + name);
        if (!text)
            continue;
        const std::string imagePath = value(*text, "image-path");
        const std::string mountPoint = value(*text, "mount-point");
        const int pid = std::atoi(value(*text, "daemon-pid").c_str());
        const std::uint64_t started = std::strtoull(value(*text, "daemon-start").c_str(), nullptr, 10);
        if (imagePath.empty() || !serviceRuns(pid, started) || !mounted.count(mountPoint))
            continue;
        attached.insert(listingText(imagePath), listingText(mountPoint));
    }
    ::closedir(entries);
    return attached;
}

} // namespace larkhold
