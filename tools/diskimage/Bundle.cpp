#include "Bundle.h"

#include "Argon2id.h"
#include "Crypto.h"
#include "Util.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace larkhold::diskimage {

namespace {

// Key file: magic ‖ iterations ‖ memoryKiB ‖ lanes (little-endian u32) ‖ salt ‖ GCM box of the
// master key. Everything before the box is the box's associated data, so parameters or salt
// that were altered make the password fail instead of deriving a different key silently.
constexpr char kKeyMagic[8] = {'L', 'H', 'V', 'K', 'E', 'Y', 0, 1};
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kKeyHeaderSize = sizeof kKeyMagic + 12 + kSaltSize;
constexpr std::size_t kKeyFileSize = kKeyHeaderSize + crypto::kGcmOverhead + kMasterKeySize;
constexpr char kNameAad[] = "larkhold volume name v1";
constexpr char kRecordAad[] = "larkhold band record v1";
constexpr char kNumberedRecordAad[] = "larkhold band record v2";
constexpr char kIdentityAad[] = "larkhold volume identity v1";

std::string keyPath(const std::string& bundle) {
    return bundle + "/key";
}
std::string namePath(const std::string& bundle) {
    return bundle + "/volume";
}
std::string nameCopyPath(const std::string& bundle) {
    return bundle + "/volume-copy";
}
std::string infoPath(const std::string& bundle) {
    return bundle + "/Info.plist";
}

void putU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint32_t getU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool withinBounds(const KdfParams& k) {
    return k.iterations >= kMinKdf.iterations && k.iterations <= kMaxKdf.iterations &&
           k.memoryKiB >= kMinKdf.memoryKiB && k.memoryKiB <= kMaxKdf.memoryKiB && k.lanes >= kMinKdf.lanes &&
           k.lanes <= kMaxKdf.lanes && k.memoryKiB >= 8 * k.lanes;
}

SecureBytes deriveWrappingKey(ByteView password, ByteView salt, const KdfParams& kdf) {
    return Argon2id::hash(password, salt, {}, {}, kdf.iterations, kdf.memoryKiB, kdf.lanes, crypto::kKeySize);
}

std::vector<std::uint8_t> sealKey(const MasterKey& key, ByteView password, const KdfParams& kdf) {
    std::vector<std::uint8_t> file(kKeyFileSize);
    std::memcpy(file.data(), kKeyMagic, sizeof kKeyMagic);
    putU32(file.data() + 8, kdf.iterations);
    putU32(file.data() + 12, kdf.memoryKiB);
    putU32(file.data() + 16, kdf.lanes);
    crypto::randomFill(std::span(file).subspan(20, kSaltSize));
    SecureBytes wrapping = deriveWrappingKey(password, ByteView(file).subspan(20, kSaltSize), kdf);
    crypto::aesGcmSeal(wrapping, key.bytes(), ByteView(file).first(kKeyHeaderSize),
                       std::span(file).subspan(kKeyHeaderSize));
    return file;
}

// Pulls the integer that follows <key>name</key> out of our own property list.
std::optional<std::uint64_t> plistInteger(const std::string& text, const std::string& name) {
    auto key = text.find("<key>" + name + "</key>");
    if (key == std::string::npos) {
        return std::nullopt;
    }
    auto open = text.find_first_not_of(" \t\r\n", key + name.size() + 11);
    if (open == std::string::npos || text.compare(open, 9, "<integer>") != 0) {
        return std::nullopt;
    }
    auto start = open + 9;
    auto end = text.find("</integer>", start);
    if (end == std::string::npos || end == start || end - start > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (auto i = start; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9' || value > (UINT64_MAX - 9) / 10) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return value;
}

// One copy of the sealed volume name, or nullopt when it is missing or damaged.
std::optional<std::string> openName(const std::string& path, const MasterKey& key) {
    try {
        auto box = readFile(path);
        if (box.size() <= crypto::kGcmOverhead || box.size() > crypto::kGcmOverhead + kMaxVolumeNameBytes) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> plain(box.size() - crypto::kGcmOverhead);
        if (!crypto::aesGcmOpen(key.nameKey(), box, asBytes(kNameAad), plain)) {
            return std::nullopt;
        }
        std::string name(plain.begin(), plain.end());
        return Bundle::validVolumeName(name) ? std::optional(name) : std::nullopt;
    } catch (const ToolError&) {
        return std::nullopt;
    }
}

// Writes the good copy of the name over the other one; a failure leaves the vault as usable as
// it was, so it is not reported.
void copyName(const std::string& from, const std::string& to) {
    try {
        writeFileAtomically(to, readFile(from));
    } catch (const ToolError&) {
    }
}

} // namespace

MasterKey MasterKey::generate() {
    // XTS is only secure with two different halves (and OpenSSL refuses equal ones), so a draw
    // with equal halves, however unlikely, is drawn again rather than left to fail every write.
    for (;;) {
        MasterKey key(crypto::randomBytes(kMasterKeySize));
        ByteView xts = key.xtsKey();
        if (!crypto::equalConstantTime(xts.first(kXtsKeySize / 2), xts.last(kXtsKeySize / 2))) {
            return key;
        }
    }
}

std::string Bundle::infoPlist(std::uint64_t sizeBytes) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>band-size</key>\n\t<integer>" +
           std::to_string(kBandSize) +
           "</integer>\n"
           "\t<key>cipher</key>\n\t<string>aes-256-xts</string>\n"
           "\t<key>diskimage-bundle-type</key>\n\t<string>org.larkhold.sparsebundle</string>\n"
           "\t<key>sector-size</key>\n\t<integer>" +
           std::to_string(kSectorSize) +
           "</integer>\n"
           "\t<key>size</key>\n\t<integer>" +
           std::to_string(sizeBytes) +
           "</integer>\n"
           "\t<key>version</key>\n\t<integer>1</integer>\n"
           "</dict>\n</plist>\n";
}

bool Bundle::validVolumeName(const std::string& name) {
    // A slash is kept in the name; only the mount point's folder spells it differently. Control
    // characters are not: the mount point appears in the property lists the application parses,
    // where XML does not allow them, and one bad name would hide every attached volume.
    return !name.empty() && name.size() <= kMaxVolumeNameBytes && name != "." && name != ".." &&
           std::none_of(name.begin(), name.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f;
           });
}

bool Bundle::acceptableNewVolumeName(const std::string& name) {
    return validVolumeName(name) && name[0] != '.' && validUtf8(name);
}

Bundle Bundle::open(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throwErrno(path, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        throw ToolError(path + ": not a disk image");
    }
    auto bytes = readFile(infoPath(path));
    std::string text(bytes.begin(), bytes.end());
    auto size = plistInteger(text, "size");
    auto band = plistInteger(text, "band-size");
    auto sector = plistInteger(text, "sector-size");
    if (!size || !band || !sector || text.find("org.larkhold.sparsebundle") == std::string::npos) {
        throw ToolError(path + ": not a disk image (Info.plist is not recognised)");
    }
    if (*band != kBandSize || *sector != kSectorSize || *size < kMinimumSize || *size > kMaximumSize ||
        *size % kSectorSize != 0) {
        throw ToolError(path + ": unsupported disk image layout");
    }
    Bundle b;
    b.path_ = path;
    b.sizeBytes_ = *size;
    struct stat any {};
    b.keepsBandRecord_ = ::lstat(b.bandRecordPath().c_str(), &any) == 0 ||
                         ::lstat(nameCopyPath(path).c_str(), &any) == 0 || ::lstat(b.identityPath().c_str(), &any) == 0;
    return b;
}

Bundle Bundle::initialise(const std::string& path, std::uint64_t sizeBytes, const std::string& volumeName,
                          ByteView password, const MasterKey& key, KdfParams kdf, const FileSystemId& fileSystemId) {
    Bundle b;
    b.path_ = path;
    b.sizeBytes_ = sizeBytes;
    if (::mkdir(b.bandsPath().c_str(), 0700) != 0) {
        throwErrno(b.bandsPath(), errno);
    }
    writeBandRecord(b.bandRecordPath(), key.nameKey(), {}, 0);
    writeVolumeIdentity(b.identityPath(), key.nameKey(), {fileSystemId, 0});
    writeFileAtomically(keyPath(path), sealKey(key, password, kdf));
    b.setVolumeName(key, volumeName);
    std::string info = infoPlist(sizeBytes);
    writeFileAtomically(infoPath(path), asBytes(info));
    return b;
}

MasterKey Bundle::unlock(ByteView password) const {
    auto file = readFile(keyPath(path_));
    if (file.size() != kKeyFileSize || std::memcmp(file.data(), kKeyMagic, sizeof kKeyMagic) != 0) {
        throw ToolError(keyPath(path_) + ": the key file is damaged");
    }
    KdfParams kdf{getU32(file.data() + 8), getU32(file.data() + 12), getU32(file.data() + 16)};
    if (!withinBounds(kdf)) {
        throw ToolError(keyPath(path_) + ": the key file asks for unsupported password-hash parameters");
    }
    SecureBytes wrapping = deriveWrappingKey(password, ByteView(file).subspan(20, kSaltSize), kdf);
    SecureBytes master(kMasterKeySize);
    if (!crypto::aesGcmOpen(wrapping, ByteView(file).subspan(kKeyHeaderSize), ByteView(file).first(kKeyHeaderSize),
                            master)) {
        throw AuthenticationError();
    }
    return MasterKey(std::move(master));
}

void Bundle::rewrap(const MasterKey& key, ByteView newPassword) const {
    writeFileAtomically(keyPath(path_), sealKey(key, newPassword, kDefaultKdf));
}

std::string Bundle::volumeName(const MasterKey& key) const {
    const auto first = openName(namePath(path_), key);
    const auto second = openName(nameCopyPath(path_), key);
    if (first && second != first) {
        copyName(namePath(path_), nameCopyPath(path_)); // also gives images of earlier tools their copy
    } else if (second && !first) {
        copyName(nameCopyPath(path_), namePath(path_));
    }
    if (first || second) {
        return first ? *first : *second;
    }
    // Neither copy opens: the folder's name without its extension ("Work" for Work.sparsebundle).
    // It is not stored, so a copy that comes back (a sync that had not finished) wins again.
    std::string name = baseName(path_);
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    return acceptableNewVolumeName(name) ? name : std::string("Untitled");
}

void Bundle::setVolumeName(const MasterKey& key, const std::string& name) const {
    if (!validVolumeName(name)) {
        throw ToolError("invalid volume name");
    }
    std::vector<std::uint8_t> box(name.size() + crypto::kGcmOverhead);
    crypto::aesGcmSeal(key.nameKey(), asBytes(name), asBytes(kNameAad), box);
    writeFileAtomically(namePath(path_), box);
    writeFileAtomically(nameCopyPath(path_), box);
}

void Bundle::setSize(std::uint64_t sizeBytes) {
    std::string info = infoPlist(sizeBytes);
    writeFileAtomically(infoPath(path_), asBytes(info));
    sizeBytes_ = sizeBytes;
}

namespace {

void putU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint64_t getU64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

// The plaintext of a sealed file, or nullopt when it is missing, too short or does not open.
std::optional<std::vector<std::uint8_t>> openSealed(const std::string& path, ByteView key, const char* aad,
                                                    std::size_t least) {
    std::vector<std::uint8_t> box;
    try {
        box = readFile(path);
    } catch (const ToolError&) {
        return std::nullopt;
    }
    if (box.size() < crypto::kGcmOverhead + least) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> plain(box.size() - crypto::kGcmOverhead);
    if (!crypto::aesGcmOpen(key, box, asBytes(aad), plain)) {
        return std::nullopt;
    }
    return plain;
}

void writeSealed(const std::string& path, ByteView key, const char* aad, ByteView plain) {
    std::vector<std::uint8_t> box(plain.size() + crypto::kGcmOverhead);
    crypto::aesGcmSeal(key, plain, asBytes(aad), box);
    writeFileAtomically(path, box);
}

} // namespace

// Plaintext: the record's number (numbered records only), then an 8-byte count of bands, so that
// an empty record still has content, then one bit per band, band 0 in the lowest bit of the first
// byte. The two kinds are told apart by their associated data.
std::optional<BandRecord> readBandRecord(const std::string& path, ByteView key) {
    BandRecord record;
    auto plain = openSealed(path, key, kNumberedRecordAad, 16);
    std::size_t at = 0;
    if (plain) {
        record.number = getU64(plain->data());
        at = 8;
    } else if (!(plain = openSealed(path, key, kRecordAad, 8))) {
        return std::nullopt;
    }
    const std::uint64_t count = getU64(plain->data() + at);
    at += 8;
    if (count > (plain->size() - at) * 8 || count > kMaximumSize / kBandSize) {
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        if ((*plain)[at + i / 8] >> (i % 8) & 1) {
            record.bands.insert(i);
        }
    }
    return record;
}

void writeBandRecord(const std::string& path, ByteView key, const std::set<std::uint64_t>& bands,
                     std::uint64_t number) {
    const std::uint64_t count = bands.empty() ? 0 : *bands.rbegin() + 1;
    std::vector<std::uint8_t> plain(16 + (count + 7) / 8, 0);
    putU64(plain.data(), number);
    putU64(plain.data() + 8, count);
    for (std::uint64_t index : bands) {
        plain[16 + index / 8] |= static_cast<std::uint8_t>(1u << (index % 8));
    }
    writeSealed(path, key, kNumberedRecordAad, plain);
}

// Plaintext: the file system's UUID, then the number of the latest band record.
std::optional<VolumeIdentity> readVolumeIdentity(const std::string& path, ByteView key) {
    auto plain = openSealed(path, key, kIdentityAad, 24);
    if (!plain || plain->size() != 24) {
        return std::nullopt;
    }
    VolumeIdentity identity;
    std::memcpy(identity.fileSystem.data(), plain->data(), identity.fileSystem.size());
    identity.recordNumber = getU64(plain->data() + 16);
    return identity;
}

void writeVolumeIdentity(const std::string& path, ByteView key, const VolumeIdentity& identity) {
    std::array<std::uint8_t, 24> plain{};
    std::memcpy(plain.data(), identity.fileSystem.data(), identity.fileSystem.size());
    putU64(plain.data() + 16, identity.recordNumber);
    writeSealed(path, key, kIdentityAad, plain);
}

bool knownFileSystem(const FileSystemId& id) {
    return std::any_of(id.begin(), id.end(), [](std::uint8_t b) { return b != 0; });
}

std::string fileSystemIdText(const FileSystemId& id) {
    std::string text = hex(id);
    for (std::size_t at : {20u, 16u, 12u, 8u}) {
        text.insert(at, "-");
    }
    return text;
}

std::string bandFileName(std::uint64_t index) {
    char name[24];
    std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(index));
    return name;
}

std::uint64_t parseSizeArgument(const std::string& text) {
    if (text.size() < 2 || text.size() > 20) {
        throw ToolError("invalid size \"" + text + "\"");
    }
    // k, m, g, t: 1024 to the power of 1, 2, 3, 4.
    const auto power =
        std::string_view("kmgt").find(static_cast<char>(std::tolower(static_cast<unsigned char>(text.back()))));
    if (power == std::string_view::npos) {
        throw ToolError("invalid size \"" + text + "\"");
    }
    const std::uint64_t unit = 1ull << (10 * (power + 1));
    std::uint64_t value = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || value > (kMaximumSize / unit)) {
            throw ToolError("invalid size \"" + text + "\"");
        }
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (value > kMaximumSize / unit) {
        throw ToolError("invalid size \"" + text + "\"");
    }
    return value * unit;
}

} // namespace larkhold::diskimage
