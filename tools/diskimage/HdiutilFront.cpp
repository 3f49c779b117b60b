// What the name hdiutil runs. A lock (detach) is run here, in a program that loads neither
// libcrypto nor libfuse3 nor, for root, libsystemd: its start is most of what a lock costs. Every
// other verb, and any other name, goes on in the full program beside it, under the same argv[0].
#include "Util.h"
#include "Verbs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

// The full program is the one installed or built with this one, wherever the caller found it.
std::string fullProgram() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return {};
    }
    return larkhold::diskimage::dirName(std::string(self, std::size_t(length))) + "/larkhold-diskimage";
}

} // namespace

int main(int argc, char** argv) {
    using namespace larkhold::diskimage;
    if (argc > 1 && std::strcmp(argv[1], "detach") == 0 && baseName(argv[0]) == "hdiutil") {
        findSystemPrograms();
        // As in the full program: nothing of this process is for a core dump or another process.
        ::prctl(PR_SET_DUMPABLE, 0);
        const std::vector<std::string> args(argv + 1, argv + argc);
        return runVerb("hdiutil", "detach", [&] { return detach(parse(args, 1)); });
    }
    const std::string program = fullProgram();
    ::execv(program.c_str(), argv);
    std::fprintf(stderr, "%s: cannot run %s: %s\n", argc > 0 ? baseName(argv[0]).c_str() : "hdiutil",
                 program.empty() ? "larkhold-diskimage" : program.c_str(), std::strerror(errno));
    return 1;
}
