#pragma once

#include "Bundle.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace larkhold::diskimage {

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
    // is an I/O error instead of a hole. An image without a record (made by earlier tools) gets
    // one of the bands present, which must include band 0: every file system writes its
    // superblock there. Throws ToolError(Failure::missingPart) when it is missing, or ToolError
    // when the record cannot be written.
    void keepRecord(const std::string& recordPath, ByteView sealKey);
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

private:
    struct Band;
    std::shared_ptr<Band> band(std::uint64_t index, bool create, int& error);
    long writeRange(const std::uint8_t* in, std::size_t length, std::uint64_t offset);
    long writeSectors(const std::uint8_t* in, std::uint64_t firstSector, std::uint64_t count);
    long readSectors(std::uint8_t* out, std::uint64_t firstSector, std::uint64_t count);
    int punch(const Band& band, std::uint64_t offset, std::uint64_t length);
    int writeRecord(const std::set<std::uint64_t>& bands);
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
    std::array<std::mutex, 64> sectorLocks_;
    std::uint64_t generation_;
};

} // namespace larkhold::diskimage
