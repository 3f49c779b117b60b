// One program that answers to the names hdiutil, diskutil and mdutil; the build links those
// names to it, and the application runs them by absolute path.
#include "Commands.h"
#include "Util.h"

#include <cstdio>
#include <string>
#include <sys/prctl.h>
#include <vector>

int main(int argc, char** argv) {
    using namespace larkhold::diskimage;
    findSystemPrograms();
    // Passwords and, in an attached image's service, the image key live in this process: no core
    // dump may carry them and no other process of the user may read them through ptrace.
    ::prctl(PR_SET_DUMPABLE, 0);
    std::string name = baseName(argc > 0 ? argv[0] : "");
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (name == "hdiutil") {
        return hdiutil(args);
    }
    if (name == "diskutil") {
        return diskutil(args);
    }
    if (name == "mdutil") {
        return mdutil(args);
    }
    std::fprintf(stderr, "%s: run this program as hdiutil, diskutil or mdutil\n", name.c_str());
    return 64;
}
