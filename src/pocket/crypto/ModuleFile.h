#pragma once

#include <climits>
#include <string>
#include <unistd.h>

namespace larkhold {

// The path of one of the program's own modules, for a LazyLibrary. Programs of the build tree (the
// application run from there, the tests) take the build tree's modules, installed ones the
// installed modules: never a module of another build.
inline std::string moduleFile(const char* name) {
    static const std::string folder = [] {
        char self[PATH_MAX];
        const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
        const std::string program = length > 0 ? std::string(self, std::size_t(length)) : std::string();
        const bool inBuildTree = program.rfind(LARKHOLD_BUILD_DIR "/", 0) == 0;
        return std::string(inBuildTree ? LARKHOLD_MODULE_BUILD_DIR : LARKHOLD_MODULE_DIR);
    }();
    return folder + "/" + name;
}

} // namespace larkhold
