#pragma once

#include <memory>
#include <string>

namespace larkhold::diskimage {

// A loop device over the decrypted disk file. `object` is its udisks object path on the desktop
// path and empty where the tool sets loop devices up itself.
struct LoopDevice {
    std::string path; // /dev/loopN
    std::string object;
    // As root, the device stays open until its file system is mounted: a device that clears
    // itself would otherwise be gone before the mount.
    mutable int hold = -1;
};

// Turns the decrypted disk into a mounted ext4 volume: a loop device over the open disk file, and
// the kernel's ext4 on it. Two ways: as root the tool asks the kernel itself; a desktop user asks
// udisks over the system bus, and polkit decides. Every loop device is set to clear itself once
// its file system is unmounted, which closes the disk file; the disk service watches for that.
class Mounter {
public:
    virtual ~Mounter() = default;

    // Whether the tool chooses the mount point (as root) or udisks does.
    virtual bool choosesMountPoint() const = 0;
    // Whether freezing, shutting down and moving a mounted file system are allowed.
    virtual bool privileged() const = 0;

    // A loop device over an open disk file; throws ToolError.
    virtual LoopDevice setUp(int diskFd) = 0;
    // Mounts the device's ext4 with errors=remount-ro at `wanted` (as root), or where udisks puts it
    // (`label` being the name udisks takes the folder from). Returns the mount point. On failure
    // the loop device is released and ToolError thrown with the kernel's or udisks' words.
    virtual std::string mount(const LoopDevice& device, const std::string& wanted) = 0;
    // Unmounts. Lazy detaches the volume even while files are open; otherwise a volume in use
    // stays mounted and the result is false.
    virtual bool unmount(const LoopDevice& device, const std::string& mountPoint, bool lazy) = 0;
    // Releases a loop device whose file system is not mounted; errors are ignored.
    virtual void release(const LoopDevice& device) = 0;
    // Whether the kernel will grow a mounted file system for this process (CAP_SYS_RESOURCE).
    virtual bool growsOnline() const = 0;
    // Grows the mounted file system to the size of its device (the kernel's online resize).
    virtual void grow(const LoopDevice& device, const std::string& mountPoint, unsigned long long bytes) = 0;
    // Sets the label udisks names the mount folder after.
    virtual void setLabel(const LoopDevice& device, const std::string& label) = 0;
};

// The kernel's own calls when this process may use them (root, or LARKHOLD_VOLUME_BACKEND=kernel),
// else udisks (or LARKHOLD_VOLUME_BACKEND=udisks). Throws ToolError when neither is possible.
std::unique_ptr<Mounter> makeMounter();

// Starts to hear the kernel's and udev's device events, where volumes go through udisks: called
// before the disk is served, whose folder the kernel tells of, it lets the attach tell later
// whether udev runs. Once per process; later calls do nothing.
void listenForDeviceEvents();

// A loop device over the disk file at `diskPath`, which is opened only to hand it over: the loop
// device keeps it open from then on, until it clears itself. Throws ToolError.
LoopDevice setUpLoopDevice(Mounter& mounter, const std::string& diskPath);

// The ext4 label for a volume name: at most 16 bytes, cut at a character boundary.
std::string labelFor(const std::string& volumeName);

// Unmounts, lazily, a volume left behind by a disk service that died; its loop device clears
// itself once the last file open in it is closed. Errors are ignored.
void abandonVolume(const LoopDevice& device, const std::string& mountPoint);

} // namespace larkhold::diskimage
