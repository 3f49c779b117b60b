#pragma once

#include "BandStore.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct fuse_session;

namespace larkhold::diskimage {

// Serves a BandStore as the single file "disk" in a private FUSE folder, for a loop device and the
// ext4 tools to work on. An attached image's
// service also offers two control files: "name" (write-only; closing it after writing a new
// volume name hands that name to the rename handler, whose result is what close() reports),
// "check" (opening it runs the check handler; reading it gives the report) and "write-out"
// (opening it runs the write-out handler, whose failure is what open() reports).
class DiskServer {
public:
    using RenameHandler = std::function<int(const std::string&)>;
    // Checks the volume's file system; returns the report, or an empty text when it cannot now.
    using CheckHandler = std::function<std::string()>;
    // Writes out what the volume holds; 0, or -errno (-ENOSPC: the host disk is full).
    using WriteOutHandler = std::function<int()>;

    explicit DiskServer(BandStore& store, RenameHandler onRename = {}, CheckHandler onCheck = {},
                        WriteOutHandler onWriteOut = {});
    ~DiskServer();
    DiskServer(const DiskServer&) = delete;
    DiskServer& operator=(const DiskServer&) = delete;

    // Mounts the folder (which must exist and be empty) and serves it from worker threads.
    void start(const std::string& folder);
    // Unmounts (lazily if something still holds the disk open), waits for the workers and flushes.
    void stop();
    std::string diskPath() const { return folder_ + "/disk"; }

    BandStore& store() { return store_; }
    // Opens of the disk file that are not closed yet. A loop device holds the disk open for as
    // long as it exists, so the count falls to zero once the volume is unmounted and its loop
    // device is gone; the handler (called on a server thread) hears of each fall to zero.
    void onIdle(std::function<void()> handler);
    int openDisks();
    // Waits until nothing holds the disk open any more; false when that did not happen in time.
    bool waitUntilIdle(std::chrono::milliseconds patience);
    void diskOpened();
    void diskClosed();
    bool offersName() const { return static_cast<bool>(onRename_); }
    // The "name" file: opening starts a new name, writes fill it in, closing hands it over.
    void beginName();
    int writeName(const char* data, std::size_t size, std::uint64_t offset);
    int commitName();
    bool offersCheck() const { return static_cast<bool>(onCheck_); }
    int runCheck();
    int readReport(char* out, std::size_t size, std::uint64_t offset);
    bool offersWriteOut() const { return static_cast<bool>(onWriteOut_); }
    int runWriteOut() { return onWriteOut_(); }

private:
    BandStore& store_;
    RenameHandler onRename_;
    std::mutex nameMutex_;
    std::string name_;
    CheckHandler onCheck_;
    std::mutex reportMutex_;
    std::string report_;
    WriteOutHandler onWriteOut_;
    std::mutex openMutex_;
    std::condition_variable closed_;
    int openDisks_ = 0;
    std::function<void()> onIdle_;
    std::string folder_;
    struct fuse_session* session_ = nullptr;
    std::thread loop_;
};

// Throws ToolError with a clear message when this system cannot mount FUSE file systems.
void requireFuse();

} // namespace larkhold::diskimage
