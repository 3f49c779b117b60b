#pragma once

#include <string>
#include <vector>

namespace larkhold::diskimage {

// Each returns the process exit status; they print their results and messages themselves.
int hdiutil(const std::vector<std::string>& args);
int diskutil(const std::vector<std::string>& args);
int mdutil(const std::vector<std::string>& args);

} // namespace larkhold::diskimage
