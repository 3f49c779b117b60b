#include "Runtime.h"

#include "Crypto.h"
#include "Mounter.h"
#include "Util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace larkhold::diskimage {

// Escapes the characters XML gives a meaning to, and nothing else: the registry keeps paths as
// they are.
std::string escapeMarkup(const std::string& text);

namespace {

bool privateFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

std::string ensurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throwErrno(path, errno);
    }
    if (!privateFolder(path)) {
        throw ToolError(path + " is not a private folder of this user; refusing to keep state there");
    }
    return path;
}

std::string userName() {
    if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) {
        return pw->pw_name;
    }
    return std::to_string(::getuid());
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return "/tmp";
}

std::string registryFolder() {
    return ensurePrivateFolder(runtime::folder() + "/attached");
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out.push_back(text[i]);
            continue;
        }
        auto end = text.find(';', i);
        std::string entity = text.substr(i + 1, end == std::string::npos ? 0 : end - i - 1);
        if (entity == "amp") {
            out.push_back('&');
        } else if (entity == "lt") {
            out.push_back('<');
        } else if (entity == "gt") {
            out.push_back('>');
        } else if (entity == "quot") {
            out.push_back('"');
        } else {
            out.push_back('&');
            continue;
        }
        i = end;
    }
    return out;
}

std::string value(const std::string& text, const std::string& key) {
    auto k = text.find("<key>" + key + "</key>");
    if (k == std::string::npos) {
        return {};
    }
    auto open = text.find('>', text.find('<', k + key.size() + 11));
    auto close = text.find("</", open);
    if (open == std::string::npos || close == std::string::npos) {
        return {};
    }
    return unescape(text.substr(open + 1, close - open - 1));
}

std::optional<AttachedImage> load(const std::string& path) {
    try {
        auto bytes = readFile(path);
        std::string text(bytes.begin(), bytes.end());
        AttachedImage a;
        a.imagePath = value(text, "image-path");
        a.daemonPid = std::atoi(value(text, "daemon-pid").c_str());
        a.daemonStart = std::strtoull(value(text, "daemon-start").c_str(), nullptr, 10);
        a.mountPoint = value(text, "mount-point");
        a.diskFolder = value(text, "disk-folder");
        a.volumeName = value(text, "volume-name");
        a.device = value(text, "device");
        a.deviceObject = value(text, "device-object");
        a.hidden = text.find("<key>hidden</key>\n\t<true/>") != std::string::npos;
        if (a.imagePath.empty()) {
            return std::nullopt;
        }
        return a;
    } catch (const ToolError&) {
        return std::nullopt;
    }
}

std::string plistHeader() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n";
}

std::string entities(const AttachedImage& image, const std::string& indent) {
    return indent + "<key>system-entities</key>\n" + indent + "<array>\n" + indent + "\t<dict>\n" + indent +
           "\t\t<key>content-hint</key>\n" + indent + "\t\t<string>Linux_Filesystem</string>\n" + indent +
           "\t\t<key>dev-entry</key>\n" + indent + "\t\t<string>" + xmlEscape(image.diskFolder + "/disk") +
           "</string>\n" + indent + "\t\t<key>mount-point</key>\n" + indent + "\t\t<string>" +
           xmlEscape(image.mountPoint) + "</string>\n" + indent + "\t\t<key>volume-kind</key>\n" + indent +
           "\t\t<string>ext4</string>\n" + indent + "\t</dict>\n" + indent + "</array>\n";
}

} // namespace

bool deviceMountedAt(const std::string& device, const std::string& mountPoint) {
    return deviceAtFolder(device, mountPoint) == DeviceAtFolder::shown;
}

DeviceAtFolder deviceAtFolder(const std::string& device, const std::string& mountPoint) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        return DeviceAtFolder::absent;
    }
    const std::string wanted = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    // The last mount on the folder is the one its path reaches.
    std::string top;
    bool there = false;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, at;
        fields >> id >> parent >> dev >> root >> at;
        std::string decoded; // mountinfo spells space, tab, newline and backslash in octal
        for (std::size_t i = 0; i < at.size(); ++i) {
            if (at[i] == '\\' && i + 3 < at.size()) {
                decoded.push_back(static_cast<char>(std::strtol(at.substr(i + 1, 3).c_str(), nullptr, 8)));
                i += 3;
            } else {
                decoded.push_back(at[i]);
            }
        }
        if (decoded == mountPoint) {
            top = dev;
            there = there || dev == wanted;
        }
    }
    return top == wanted ? DeviceAtFolder::shown : there ? DeviceAtFolder::covered : DeviceAtFolder::absent;
}

bool AttachedImage::stillInItsFolder() const {
    return device.empty() ? isMountPoint(mountPoint) : deviceAtFolder(device, mountPoint) != DeviceAtFolder::absent;
}

bool AttachedImage::mountedInItsFolder() const {
    return device.empty() ? isMountPoint(mountPoint) : deviceMountedAt(device, mountPoint);
}

bool AttachedImage::alive() const {
    return processAlive(daemonPid, daemonStart);
}

std::string xmlEscape(const std::string& text) {
    return escapeMarkup(xmlSafeText(text));
}

std::string escapeMarkup(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string attachPlist(const AttachedImage& image) {
    return plistHeader() + "<dict>\n" + entities(image, "\t") + "</dict>\n</plist>\n";
}

std::string infoPlist(const std::vector<AttachedImage>& images) {
    std::string out = plistHeader() + "<dict>\n\t<key>images</key>\n\t<array>\n";
    for (const auto& image : images) {
        out += "\t\t<dict>\n\t\t\t<key>image-path</key>\n\t\t\t<string>" + xmlEscape(image.imagePath) +
               "</string>\n\t\t\t<key>image-type</key>\n\t\t\t<string>sparse bundle disk image</string>\n" +
               entities(image, "\t\t\t") + "\t\t</dict>\n";
    }
    return out + "\t</array>\n</dict>\n</plist>\n";
}

namespace runtime {

std::string folder() {
    // Resolved, because the disk folders below it are compared with the kernel's list of mounts.
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg && privateFolder(xdg)) {
        return realPath(ensurePrivateFolder(std::string(xdg) + "/larkhold"));
    }
    std::string run = "/run/user/" + std::to_string(::getuid());
    if (privateFolder(run)) {
        return realPath(ensurePrivateFolder(run + "/larkhold"));
    }
    return realPath(ensurePrivateFolder("/tmp/larkhold-" + std::to_string(::getuid())));
}

void log(const std::string& what, const std::string& transcript) {
    try {
        const std::string path = folder() + "/diskimage.log";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            return;
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size > (1 << 20)) {
            (void)::ftruncate(fd, 0);
        }
        const std::time_t now = std::time(nullptr);
        char stamp[32] = {};
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::gmtime(&now));
        const std::string entry = std::string(stamp) + " " + what + "\n" + withoutTrailingSpace(transcript) + "\n";
        (void)::write(fd, entry.data(), entry.size());
        ::close(fd);
    } catch (const std::exception&) {
    }
}

MountLock::MountLock() {
    const std::string path = folder() + "/mounts.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        throwErrno(path, errno);
    }
    // Whoever holds it only mounts or unmounts a volume, so two minutes is long past any wait
    // that will end by itself.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            int err = errno;
            ::close(fd_);
            throwErrno(path, err);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::close(fd_);
            throw ToolError(Failure::busy, "Resource busy (another volume is being mounted; try again)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

MountLock::~MountLock() {
    ::close(fd_);
}

std::string imageId(const std::string& imagePath) {
    auto digest = crypto::sha256(asBytes(imagePath));
    return hex(ByteView(digest).first(10));
}

std::string diskFolderFor(const std::string& imagePath) {
    return ensurePrivateFolder(folder() + "/disks") + "/" + imageId(imagePath);
}

WorkFolder::WorkFolder() {
    std::array<std::uint8_t, 8> r{};
    crypto::randomFill(r);
    path_ = ensurePrivateFolder(folder() + "/disks") + "/work-" + hex(r);
    const std::string lock = path_ + ".lock";
    lock_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_ < 0) {
        throwErrno(lock, errno);
    }
    ::flock(lock_, LOCK_EX);
    ensurePrivateFolder(path_);
}

WorkFolder::~WorkFolder() {
    ::rmdir(path_.c_str());
    ::unlink((path_ + ".lock").c_str());
    ::close(lock_);
}

void WorkFolder::noteMountPoint(const std::string& mountPoint) {
    if (::ftruncate(lock_, 0) == 0) {
        (void)::pwrite(lock_, mountPoint.data(), mountPoint.size(), 0);
    }
}

void sweepStaleWork() {
    const std::string disks = ensurePrivateFolder(folder() + "/disks");
    std::vector<std::string> locks;
    if (DIR* d = ::opendir(disks.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind("work-", 0) == 0 && name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0) {
                locks.push_back(disks + "/" + name);
            }
        }
        ::closedir(d);
    }
    for (const std::string& lock : locks) {
        int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (fd >= 0) {
                ::close(fd);
            }
            continue; // its tool is still at work
        }
        std::string mountPoint;
        readToEnd(fd, mountPoint, 4096);
        const std::string work = lock.substr(0, lock.size() - 5);
        if (!mountPoint.empty()) {
            abandonVolume({}, mountPoint);
            ::rmdir(mountPoint.c_str());
        }
        if (isMountPoint(work)) {
            fuseUnmount(work, true);
        }
        ::rmdir(work.c_str());
        ::unlink(lock.c_str());
        ::close(fd);
    }
}

namespace {

// A folder volumes are mounted in must be a real folder (no symbolic link) that only this user or
// root can change: anyone else able to write there could plant a link that moves a volume, and
// the files in it, into a folder of their own.
void requireTrustedFolder(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throwErrno(path, errno);
    }
    // A group of the user's own (the user's name, as with a umask of 002) is the user alone.
    const group* owners = ::getgrgid(st.st_gid);
    const bool ownGroup = st.st_gid == ::getgid() && owners && owners->gr_name && owners->gr_name == userName();
    if (!S_ISDIR(st.st_mode) || (st.st_uid != ::getuid() && st.st_uid != 0) || (st.st_mode & S_IWOTH) ||
        ((st.st_mode & S_IWGRP) && !ownGroup)) {
        throw ToolError(Failure::unsafeMountRoot,
                        "The folder for unlocked vaults is not safe to use: it must belong to you, and nobody else "
                        "may be able to change it.");
    }
}

} // namespace

std::string mountRoot(bool hidden) {
    std::string root;
    if (const char* env = std::getenv("LARKHOLD_MOUNT_ROOT"); env && *env) {
        root = env;
    } else {
        std::string media = "/media/" + userName();
        struct stat st {};
        if (::stat(media.c_str(), &st) != 0 && ::access("/media", W_OK) == 0) {
            ::mkdir(media.c_str(), 0700);
        }
        root = ::access(media.c_str(), W_OK | X_OK) == 0 ? media : homeFolder() + "/Vaults";
    }
    makeDirectories(root, 0700);
    // The kernel lists mounts by their resolved paths; a mount point spelt otherwise (a symbolic
    // link in the home folder's path, a trailing slash in the variable) would never be seen as
    // mounted. Below the resolved root no link is followed.
    root = realPath(root);
    requireTrustedFolder(root);
    if (hidden) {
        root += "/.larkhold-hidden";
        if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) {
            throwErrno(root, errno);
        }
        requireTrustedFolder(root);
    }
    return root;
}

std::string createMountPoint(const std::string& root, const std::string& volumeName) {
    // A folder name cannot hold a slash; the name shows it as a colon, as other desktops do. Names
    // kept from earlier versions of the tools may begin with a dot, which would hide the volume
    // or take the hidden volumes' folder, or may not be UTF-8, which the property lists cannot
    // carry; their folders get a safe spelling.
    std::string name = validUtf8(volumeName) ? volumeName : std::string("Untitled");
    std::replace(name.begin(), name.end(), '/', ':');
    if (name[0] == '.') {
        name[0] = '_';
    }
    for (int n = 0; n < 1000; ++n) {
        std::string path = root + "/" + (n == 0 ? name : name + " " + std::to_string(n));
        if (::mkdir(path.c_str(), 0700) == 0) {
            return path;
        }
        if (errno != EEXIST) {
            throwErrno(path, errno);
        }
        // A folder left empty by an earlier run may be taken again; a mount or files may not.
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !isMountPoint(path) &&
            ::rmdir(path.c_str()) == 0 && ::mkdir(path.c_str(), 0700) == 0) {
            return path;
        }
    }
    throw ToolError("no free mount point for \"" + name + "\" in " + root);
}

std::vector<AttachedImage> attachedImages() {
    std::vector<AttachedImage> out;
    std::string dir = registryFolder();
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        return out;
    }
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 6 && name.compare(name.size() - 6, 6, ".plist") == 0 && name[0] != '.') {
            if (auto a = load(dir + "/" + name)) {
                out.push_back(*a);
            }
        }
    }
    ::closedir(d);
    return out;
}

std::optional<AttachedImage> findByImage(const std::string& imagePath) {
    return load(registryFolder() + "/" + imageId(imagePath) + ".plist");
}

std::optional<AttachedImage> findByMountPoint(const std::string& mountPoint) {
    std::string wanted = mountPoint;
    while (wanted.size() > 1 && wanted.back() == '/') {
        wanted.pop_back();
    }
    // A dead service's entry may name a folder that another volume has taken since; the live
    // volume is the one meant.
    std::optional<AttachedImage> dead;
    for (auto& a : attachedImages()) {
        if (a.mountPoint == wanted && a.alive()) {
            return a;
        }
        if (a.mountPoint == wanted && !dead) {
            dead = a;
        }
    }
    return dead;
}

void forgetVolumesThatLeftTheirFolders() {
    for (const auto& a : attachedImages()) {
        // Volumes that udisks mounted are never in the tools' folders. A dead service's entry
        // stays for the clean-up of what it left.
        if (a.deviceObject.empty() && !a.mountPoint.empty() && a.alive() && !a.stillInItsFolder()) {
            forget(a.imagePath, a.daemonPid);
        }
    }
}

void save(const AttachedImage& a) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                       "\t<key>image-path</key>\n\t<string>" +
                       escapeMarkup(a.imagePath) + "</string>\n\t<key>daemon-pid</key>\n\t<integer>" +
                       std::to_string(a.daemonPid) + "</integer>\n\t<key>daemon-start</key>\n\t<integer>" +
                       std::to_string(a.daemonStart) + "</integer>\n\t<key>mount-point</key>\n\t<string>" +
                       escapeMarkup(a.mountPoint) + "</string>\n\t<key>disk-folder</key>\n\t<string>" +
                       escapeMarkup(a.diskFolder) + "</string>\n\t<key>volume-name</key>\n\t<string>" +
                       escapeMarkup(a.volumeName) + "</string>\n\t<key>device</key>\n\t<string>" +
                       escapeMarkup(a.device) + "</string>\n\t<key>device-object</key>\n\t<string>" +
                       escapeMarkup(a.deviceObject) + "</string>\n\t<key>hidden</key>\n\t" +
                       (a.hidden ? "<true/>" : "<false/>") + "\n</dict>\n</plist>\n";
    writeFileAtomically(registryFolder() + "/" + imageId(a.imagePath) + ".plist", asBytes(text));
}

void forget(const std::string& imagePath, int daemonPid) {
    std::string path = registryFolder() + "/" + imageId(imagePath) + ".plist";
    if (auto a = load(path); a && (daemonPid == 0 || a->daemonPid == daemonPid)) {
        ::unlink(path.c_str());
    }
}

void cleanUpAfterDeadDaemon(const AttachedImage& image) {
    MountLock lock;
    // The folder may have been free again for a while and taken by another image's volume.
    auto takenByAnother = [&](const std::string& path) {
        for (const auto& other : attachedImages()) {
            if (other.imagePath != image.imagePath && other.mountPoint == path && other.alive()) {
                return true;
            }
        }
        return false;
    };
    for (const std::string* path : {&image.mountPoint, &image.diskFolder}) {
        if (path->empty() || takenByAnother(*path)) {
            continue;
        }
        if (path == &image.mountPoint) {
            // The file system of a dead service turned read-only on the first failed write; it
            // leaves its folder now and goes once nothing in it is open.
            abandonVolume({image.device, image.deviceObject}, *path);
        } else if (isMountPoint(*path)) {
            fuseUnmount(*path, true);
        }
        ::rmdir(path->c_str());
    }
    forget(image.imagePath, image.daemonPid);
}

} // namespace runtime

} // namespace larkhold::diskimage
