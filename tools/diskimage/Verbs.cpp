#include "Verbs.h"

#include "Util.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace larkhold::diskimage {

ImageLock::ImageLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        throwErrno(path, errno);
    }
    tryAgain();
}

ImageLock::~ImageLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ImageLock::tryAgain() {
    held_ = held_ || ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    return held_;
}

Options parse(const std::vector<std::string>& args, std::size_t from) {
    Options o;
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                throw ToolError("option " + a + " needs a value");
            }
            return args[++i];
        };
        if (a == "-plist") {
            o.plist = true;
        } else if (a == "-stdinpass") {
            o.stdinpass = true;
        } else if (a == "-nobrowse") {
            o.nobrowse = true;
        } else if (a == "-force") {
            o.force = true;
        } else if (a == "-oldstdinpass") {
            o.oldStdinpass = true;
        } else if (a == "-newstdinpass") {
            o.newStdinpass = true;
        } else if (a == "-size") {
            o.size = next();
        } else if (a == "-volname") {
            o.volname = next();
        } else if (a == "-encryption") {
            o.encryption = next();
        } else if (a == "-type") {
            o.type = next();
        } else if (a == "-fs") {
            o.fs = next();
        } else if (a.size() > 1 && a[0] == '-') {
            throw ToolError("unknown option " + a);
        } else {
            o.positional.push_back(a);
        }
    }
    return o;
}

int runVerb(const char* tool, const std::string& verb, const std::function<int()>& body) {
    try {
        return body();
    } catch (const ToolError& e) {
        std::fprintf(stderr, "%s: %s failed - %s\n", tool, verb.c_str(), e.what());
        return e.exitCode();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s failed - %s\n", tool, verb.c_str(), e.what());
        return 1;
    }
}

} // namespace larkhold::diskimage
