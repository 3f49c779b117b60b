#pragma once

#include "BandStore.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct fuse;

namespace larkhold::diskimage {

// Serves a BandStore as the single file "disk" in a private FUSE folder, so that the ext4 tools
// and fuse2fs work on the decrypted disk without a loop device or root. An attached image's
// service also offers two control files: "name" (write-only; closing it after writing a new
// volume name hands that name to the rename handler, whose result is what close() reports) and
// "check" (opening it runs the check handler; reading it gives the report).
class DiskServer {
public:
    using RenameHandler = std::function<int(const std::string&)>;
    // Checks the volume's file system; returns the report, or an empty text when it cannot now.
    using CheckHandler = std::function<std::string()>;

    explicit DiskServer(BandStore& store, RenameHandler onRename = {}, CheckHandler onCheck = {});
    ~DiskServer();
    DiskServer(const DiskServer&) = delete;
    DiskServer& operator=(const DiskServer&) = delete;

    // Mounts the folder (which must exist and be empty) and serves it from worker threads.
    void start(const std::string& folder);
    // Unmounts (lazily if something still holds the disk open), waits for the workers and flushes.
    void stop();
    std::string diskPath() const { return folder_ + "/disk"; }

    BandStore& store() { return store_; }
    bool offersName() const { return static_cast<bool>(onRename_); }
    // The "name" file: opening starts a new name, writes fill it in, closing hands it over.
    void beginName();
    int writeName(const char* data, std::size_t size, std::uint64_t offset);
    int commitName();
    bool offersCheck() const { return static_cast<bool>(onCheck_); }
    int runCheck();
    int readReport(char* out, std::size_t size, std::uint64_t offset);

private:
    BandStore& store_;
    RenameHandler onRename_;
    std::mutex nameMutex_;
    std::string name_;
    CheckHandler onCheck_;
    std::mutex reportMutex_;
    std::string report_;
    std::string folder_;
    struct fuse* fuse_ = nullptr;
    std::thread loop_;
};

// Throws ToolError with a clear message when this system cannot mount FUSE file systems.
void requireFuse();

} // namespace larkhold::diskimage
