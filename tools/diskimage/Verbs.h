#pragma once

#include "Runtime.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace larkhold::diskimage {

// The image folder's own flock: whoever holds it may change the bands. An attached image's
// service holds it for as long as the image is attached.
class ImageLock {
public:
    explicit ImageLock(const std::string& path);
    ~ImageLock();
    ImageLock(const ImageLock&) = delete;
    ImageLock& operator=(const ImageLock&) = delete;
    bool tryAgain();
    bool held() const { return held_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

// The options of an hdiutil verb.
struct Options {
    std::vector<std::string> positional;
    bool plist = false, stdinpass = false, nobrowse = false, force = false;
    bool oldStdinpass = false, newStdinpass = false;
    std::string size, volname, encryption, type, fs;
};

// args[from…] as options; throws ToolError for an unknown one or a missing value.
Options parse(const std::vector<std::string>& args, std::size_t from);

// Runs one verb and returns the process exit status: a failure ends as "<tool>: <verb> failed -
// <sentence>" on standard error, its kind the status.
int runVerb(const char* tool, const std::string& verb, const std::function<int()>& body);

// An attached volume by its mount point as given, made absolute, or with symbolic links resolved.
// The last needs stat(), which a volume with a damaged file system may fail, so it comes last.
std::optional<AttachedImage> findVolume(const std::string& mountPoint);

// hdiutil detach: ends an attached image's service, which takes the key with it, and returns once
// it has ended. The one verb the hdiutil front program runs itself (HdiutilFront.cpp).
int detach(const Options& o);

} // namespace larkhold::diskimage
