#pragma once

#include "SecureBytes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace larkhold::diskimage {

inline constexpr std::uint64_t kSectorSize = 4096;
inline constexpr std::uint64_t kBandSize = 8u << 20;
inline constexpr std::uint64_t kMinimumSize = 8u << 20;
inline constexpr std::uint64_t kMaximumSize = 16ull << 40;
inline constexpr std::size_t kXtsKeySize = 64;
inline constexpr std::size_t kNameKeySize = 32;
inline constexpr std::size_t kMasterKeySize = kXtsKeySize + kNameKeySize;
inline constexpr std::size_t kMaxVolumeNameBytes = 255;

// Cost of the password hash. New images always get the default; an image's own parameters are
// accepted only inside the bounds, so a damaged or hostile key file can neither make attach
// allocate absurd memory nor spin for hours.
struct KdfParams {
    std::uint32_t iterations;
    std::uint32_t memoryKiB;
    std::uint32_t lanes;
};
// Four lanes, each hashed on a core of its own: the same 128 MiB and passes as one lane, a quarter of the wait.
inline constexpr KdfParams kDefaultKdf{3, 128u * 1024, 4};
inline constexpr KdfParams kMinKdf{1, 8u * 1024, 1};
inline constexpr KdfParams kMaxKdf{10, 1024u * 1024, 8};

// The UUID of an ext4 file system, as its superblock holds it.
using FileSystemId = std::array<std::uint8_t, 16>;

// The master key of one image: the XTS key of the disk sectors, then the key of the name record.
class MasterKey {
public:
    explicit MasterKey(SecureBytes bytes) : bytes_(std::move(bytes)) {}
    static MasterKey generate();
    ByteView xtsKey() const { return ByteView(bytes_).first(kXtsKeySize); }
    ByteView nameKey() const { return ByteView(bytes_).subspan(kXtsKeySize, kNameKeySize); }
    ByteView bytes() const { return bytes_; }
    // Wipes the key; it is of no use afterwards.
    void forget() { wipe(bytes_.data(), bytes_.size()); }

private:
    SecureBytes bytes_;
};

// An image folder on disk: Info.plist (size limit, band and sector size), the wrapped key,
// the encrypted volume name and bands/ with the encrypted sectors. The folder's own name is the
// caller's business.
class Bundle {
public:
    // Reads and checks Info.plist; throws ToolError for anything that is not one of our images.
    static Bundle open(const std::string& path);
    // Writes the metadata of a new image into an existing empty folder.
    // fileSystemId is the UUID its file system will be made with.
    static Bundle initialise(const std::string& path, std::uint64_t sizeBytes, const std::string& volumeName,
                             ByteView password, const MasterKey& key, KdfParams kdf = kDefaultKdf,
                             const FileSystemId& fileSystemId = {});

    const std::string& path() const { return path_; }
    std::string bandsPath() const { return path_ + "/bands"; }
    // The sealed list of the bands the image has written (see BandStore::keepRecord).
    std::string bandRecordPath() const { return path_ + "/bands.record"; }
    // The sealed identity of the volume beside it (see VolumeIdentity).
    std::string identityPath() const { return path_ + "/volume-id"; }
    // Where a repair keeps the bands as they were before it (see BandStore::keepBandsAsTheyAre).
    std::string repairKeepPath() const { return path_ + "/repair-kept"; }
    // Whether the image was made or used by tools that keep the band record: then a record that is
    // missing or does not open is a part of the vault lost, never an image of earlier tools. Taken
    // when the image is opened, before a missing copy of the name is written again.
    bool keepsBandRecord() const { return keepsBandRecord_; }
    std::uint64_t sizeBytes() const { return sizeBytes_; }

    // Throws AuthenticationError when the password does not open the key.
    MasterKey unlock(ByteView password) const;
    void rewrap(const MasterKey& key, ByteView newPassword) const;
    // The name is kept twice, so that one damaged or lost copy does not cost the vault its name;
    // a copy that is missing or damaged is written again from the other. When both are gone the
    // name of the image folder stands in, so the right password still opens the vault.
    std::string volumeName(const MasterKey& key) const;
    void setVolumeName(const MasterKey& key, const std::string& name) const;
    void setSize(std::uint64_t sizeBytes);

    static std::string infoPlist(std::uint64_t sizeBytes);
    // Any name a volume may carry, including those given by earlier versions of the tools.
    static bool validVolumeName(const std::string& name);
    // A name for a new or renamed volume: also well-formed UTF-8 (the names end up in the
    // property lists the application parses) and not beginning with "." (the hidden volumes'
    // folder is one, and file managers hide such names).
    static bool acceptableNewVolumeName(const std::string& name);

private:
    std::string path_;
    std::uint64_t sizeBytes_ = 0;
    bool keepsBandRecord_ = true;
};

// The record of written bands: the indices of the band files that must exist, sealed with the
// name key so that a damaged or altered record is recognised, and numbered: each record written
// counts one up, and the volume's identity file carries the same number, so that an older copy of
// the record put back (a sync client or a backup restoring one file) is recognised as well. Records
// of the previous tools have no number. nullopt when there is none or it does not open.
struct BandRecord {
    std::set<std::uint64_t> bands;
    std::optional<std::uint64_t> number;
};
std::optional<BandRecord> readBandRecord(const std::string& path, ByteView key);
void writeBandRecord(const std::string& path, ByteView key, const std::set<std::uint64_t>& bands, std::uint64_t number);

// The volume's identity, sealed with the name key: the UUID of the file system the image was made
// with (all zero until known: images of earlier tools learn it on their first attach), by which
// band 0 is recognised as holding this vault's file system and not another's, and the number of
// the latest band record. nullopt when there is none or it does not open.
struct VolumeIdentity {
    FileSystemId fileSystem{};
    std::uint64_t recordNumber = 0;
};
std::optional<VolumeIdentity> readVolumeIdentity(const std::string& path, ByteView key);
void writeVolumeIdentity(const std::string& path, ByteView key, const VolumeIdentity& identity);
bool knownFileSystem(const FileSystemId& id);
// The UUID as mkfs.ext4 -U takes it.
std::string fileSystemIdText(const FileSystemId& id);

// The file name under bands/ of the band with this index: the index in lower-case hexadecimal.
std::string bandFileName(std::uint64_t index);

// Parses a size argument: a decimal number with the unit k, m, g or t (powers of 1024), as in "256m".
// Throws ToolError when it is malformed.
std::uint64_t parseSizeArgument(const std::string& text);

} // namespace larkhold::diskimage
