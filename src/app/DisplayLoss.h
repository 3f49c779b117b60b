#pragma once

#include <functional>

namespace larkhold::DisplayLoss {

// The X server going away (killed, crashed, its session ended) normally ends the process on the spot: the
// platform plugin calls exit() the moment it finds the connection broken, and nothing of the application runs
// after that. Once watch() was called, a broken connection is reported to `onLoss` instead, once, on the main
// thread, and whatever it starts runs to its end; ending the process is then up to the application. The windows
// left are drawn nowhere, which is harmless.
void watch(std::function<void()> onLoss);
// Back to the platform's own handling (the process ends at once on a broken connection).
void stopWatching();
bool happened();

} // namespace larkhold::DisplayLoss
