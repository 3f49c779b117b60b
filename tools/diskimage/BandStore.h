#pragma once

#include "Bundle.h"

#include <array>
#include <cerrno>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace larkhold::diskimage {

// The marker, in the folder of kept bands, of a disk that has been shown as the keeping left it.
inline constexpr const char* kKeptBandsShown = "shown";

// The decrypted virtual disk of one image. Its sectors live in band files of kBandSize bytes
// under bands/, encrypted with AES-256-XTS tweaked by the sector number. A band that does not
// exist, bytes past a band file's end and an all-zero ciphertext sector are holes that read as
// zeros; sectors written with zero plaintext are stored as holes, so a bundle takes only the
// space its data needs. Thread-safe; every method returns 0 or a byte count, or -errno, and
// never throws, so damaged band files surface as I/O errors, not as a crash.
class BandStore {
public:
    BandStore(std::string bandsPath, std::uint64_t sizeBytes, const MasterKey& key);
    ~BandStore();
    BandStore(const BandStore&) = delete;
    BandStore& operator=(const BandStore&) = delete;

    std::uint64_t size() const { return size_; }
    // Keeps the record of written bands at recordPath, sealed with sealKey: every band written
    // from now on is listed there, and a listed band whose file is missing or shorter than a band
    // is an I/O error instead of a hole. Each record is numbered, and the volume's identity file
    // beside it (volume-id) carries the latest number, so that a record older than the identity is
    // recognised. An image of earlier tools without a record gets one of the bands present, which
    // must include band 0: every file system writes its superblock there; one with a record of the
    // previous tools gets it numbered. Throws ToolError(Failure::missingPart), before anything is
    // changed, when band 0 is missing there, or when the record is missing or does not open although
    // the image keeps one (recordExpected), or is older than the identity; ToolError when the
    // record cannot be written.
    void keepRecord(const std::string& recordPath, ByteView sealKey, bool recordExpected = false);
    // The UUID of the file system the identity file names; all zero when it names none yet.
    const FileSystemId& fileSystemId() const { return fileSystem_; }
    // Records the UUID of the file system found on the disk of an image that had none recorded.
    // Throws ToolError.
    void noteFileSystemId(const FileSystemId& id);
    // From now on keeps each band as it is now, before its first change, in `folder` (ciphertext
    // as it lies, so nothing there is plaintext), with the list of the bands there are now; a
    // folder kept before is carried on. takeBackKeptBands() then puts the disk back as it was when
    // the keeping began. For repairs: every band a repair changes can be taken back. Throws
    // ToolError.
    void keepBandsAsTheyAre(const std::string& folder);
    bool keepingBands() const { return keeping_; }
    // Stops keeping and lets what was kept go.
    void stopKeepingBands();
    // Notes in the folder that the disk has been shown as it is now (see kKeptBandsShown).
    void markKeptBandsShown();
    // Puts the bands kept in `folder` back, removes the bands made since and lists the bands as
    // they were, then removes the folder. Run again after an interruption, it finishes. Throws
    // ToolError.
    void takeBackKeptBands(const std::string& folder);
    // Listed bands whose file is missing or short; empty without a record.
    std::vector<std::uint64_t> missingBands();
    // Removes the bands past a disk of newSize bytes and what lies past it in the last one, from
    // the record first; for shrinking. Throws ToolError.
    void removeBeyond(std::uint64_t newSize);
    long read(std::uint8_t* out, std::size_t length, std::uint64_t offset);
    long write(const std::uint8_t* in, std::size_t length, std::uint64_t offset);
    // Turns the whole sectors inside the range into holes; a band left without data is removed.
    int discard(std::uint64_t offset, std::uint64_t length);
    // Makes every write so far durable.
    int sync();
    // Wipes the key: every read, write and discard fails from now on.
    void close();
    // While on, every write and discard fails once a read or write has failed: a check that could
    // not read or write one block must not write what it decides next, such as a superblock it
    // made up for the blocks it could not write.
    void refuseWritesAfterAFailure(bool on) { refuseAfterFailure_ = on; }
    // Whether a write failed because the disk that holds the bands is full.
    bool ranOutOfSpace() const { return ranOutOfSpace_; }
    // Whether a read or write failed for a reason other than a full disk (a missing, short or
    // unreadable band).
    bool failedToReadOrWrite() const { return ioFailed_; }
    // Writes, discards and syncs that failed so far, for whoever must tell whether what was
    // written since it last asked reached the disk: those that failed for want of room on the
    // disk that holds the bands, and the others.
    struct Failures {
        std::uint64_t noSpace = 0;
        std::uint64_t other = 0;
        bool operator==(const Failures&) const = default;
    };
    Failures failures() const { return {noSpaceFailures_, otherFailures_}; }

private:
    struct Band;
    std::shared_ptr<Band> band(std::uint64_t index, bool create, int& error);
    long writeRange(const std::uint8_t* in, std::size_t length, std::uint64_t offset);
    int discardRange(std::uint64_t offset, std::uint64_t length);
    long writeSectors(const std::uint8_t* in, std::uint64_t firstSector, std::uint64_t count);
    long readSectors(std::uint8_t* out, std::uint64_t firstSector, std::uint64_t count);
    int punch(const Band& band, std::uint64_t offset, std::uint64_t length);
    int writeRecord(const std::set<std::uint64_t>& bands);
    int writeIdentity();
    int keepBand(std::uint64_t index, const Band& band);
    int beginKeptFolder();
    bool recorded(std::uint64_t index) const { return record_ && recorded_.count(index) != 0; }
    std::mutex& sectorLock(std::uint64_t sector) { return sectorLocks_[sector % sectorLocks_.size()]; }

    std::string bandsPath_;
    std::uint64_t size_;
    std::array<std::uint8_t, kXtsKeySize> key_{};
    std::mutex bandsMutex_;
    std::unordered_map<std::uint64_t, std::shared_ptr<Band>> open_;
    std::set<std::uint64_t> dirty_;
    bool bandsCreated_ = false;            // the folder changed since the last sync
    std::atomic<bool> syncFailed_ = false; // a band closed since the last sync failed to flush
    std::atomic<bool> ranOutOfSpace_ = false;
    std::atomic<bool> ioFailed_ = false;
    std::atomic<std::uint64_t> noSpaceFailures_ = 0;
    std::atomic<std::uint64_t> otherFailures_ = 0;
    void countFailure(long rc) { ++(rc == -ENOSPC ? noSpaceFailures_ : otherFailures_); }
    std::atomic<bool> closed_ = false;
    std::atomic<bool> refuseAfterFailure_ = false;
    // The record of written bands. recorded_ is guarded by bandsMutex_; recordMutex_ orders the
    // writes of the record file, so that an older list never lands after a newer one.
    bool record_ = false;
    std::string recordPath_;
    std::array<std::uint8_t, kNameKeySize> recordKey_{};
    std::set<std::uint64_t> recorded_;
    bool recordDirty_ = false;
    std::mutex recordMutex_;
    std::string identityPath_;
    std::uint64_t recordNumber_ = 0; // guarded by recordMutex_
    FileSystemId fileSystem_{};
    // The bands kept as they were (see keepBandsAsTheyAre): those listed then, and of them the
    // ones already kept. Guarded by keptMutex_.
    std::atomic<bool> keeping_ = false;
    std::mutex keptMutex_;
    std::string keptPath_;
    std::set<std::uint64_t> keptBefore_;
    std::set<std::uint64_t> kept_;
    bool keptBegun_ = false; // the folder and its list exist
    std::array<std::mutex, 64> sectorLocks_;
    std::uint64_t generation_;
};

} // namespace larkhold::diskimage
