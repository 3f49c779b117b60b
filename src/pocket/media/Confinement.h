#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

// Seals off a decoder process of ours (larkhold-pdf-render, larkhold-photo-decode) before it reads
// one byte of vault content: a file that exploits a decoding library then finds no environment, no
// descriptor but its input and its pipes, no file, no network, no other process and no new program,
// and a cap on the memory and processor time it can take.
namespace larkhold::confinement {

struct Limits {
    // Address space, libraries and thread stacks included.
    std::uint64_t addressSpaceBytes = 0;
    // Processor time over the process's whole life, all threads together.
    unsigned cpuSeconds = 0;
};

// How the parent tells a decoder its limits on the command line: "--limits MIB SECONDS".
constexpr const char* kLimitsOption = "--limits";
// Asks the decoder to report, once confined, what it can still do (a line starting "probe") and
// then to wait for stdin to close, instead of decoding anything.
constexpr const char* kProbeOption = "--probe";
// The only line a decoder that could not seal itself off writes; it then ends with this code.
constexpr const char* kUnconfinedLine = "unconfined";
constexpr int kUnconfinedExitCode = 3;

// Seals off the calling process, which must still be single-threaded. `prepare` runs after the
// namespaces and limits are in place and before descriptors are closed and the system-call filter
// is loaded: it loads whatever the decoding libraries would otherwise open later (plugins, codecs).
// Keeps stdin, stdout and the descriptors in `keep`; stderr is closed too. False, and nothing
// should be decoded, when any step could not be taken; new namespaces are the exception where the
// kernel does not allow unprivileged ones.
bool confine(const Limits& limits, std::initializer_list<int> keep, const std::function<void()>& prepare);

// The decoder's part of the command line: [--probe] [--limits MIB SECONDS] FD. False when it does
// not parse.
struct Arguments {
    bool probe = false;
    Limits limits;
    int fd = -1;
};
bool parseArguments(int argc, char** argv, Arguments& out);

// For --probe: what the confined process can still do, as one line on stdout, then waits for stdin
// to close.
void probe(int fd);

} // namespace larkhold::confinement
