#pragma once

#include "PocketItem.h"
#include "SecureBytes.h"

#include <QImage>
#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace larkhold {

// Turns one file chosen or dropped by the user into one Pocket item: a PDF, a photo or a text
// note, decided by the file's contents, never by its name. Photos are always re-encoded so that
// nothing of the original's metadata (camera, location, comments, colour profile) goes along.
// Works without a display and on any thread.
class PocketImport {
public:
    // One file may hold at most this many bytes (as stored in the vault; for a photo, after
    // re-encoding). Equal is accepted.
    static constexpr std::int64_t kLimitBytes = 5'242'880;
    // Photos with more pixels than this are refused before they are decoded: a small file can
    // otherwise claim a size that takes gigabytes to decode.
    static constexpr std::int64_t kMaxPixels = 100'000'000;
    // Long side of a photo when "Optimize photos" is on.
    static constexpr int kOptimizedLongSide = 2500;

    class Failure : public std::exception {
    public:
        enum class Case { unsupported, tooLarge, unreadable, unconfined };
        enum class Content { note, photo, pdf };

        static Failure unsupported(const QString& fileName);
        static Failure tooLarge(const QString& fileName, std::int64_t bytes, Content content);
        static Failure unreadable(const QString& fileName);
        // The file could not be checked: this machine would not let the process that reads it be
        // sealed off (Confinement.h).
        static Failure unconfined(const QString& fileName);

        Case which() const noexcept { return case_; }
        const QString& fileName() const noexcept { return fileName_; }
        std::int64_t bytes() const noexcept { return bytes_; }
        Content content() const noexcept { return content_; }

        QString message() const;
        const char* what() const noexcept override { return what_.c_str(); }

    private:
        Failure(Case c, QString fileName, std::int64_t bytes, Content content);

        Case case_;
        QString fileName_;
        std::int64_t bytes_;
        Content content_;
        std::string what_;
    };

    // The item for the file at `path`, dated now with a fresh id. Throws Failure; the file itself
    // is never changed.
    static PocketItem item(const QString& path, bool optimizePhotos);

    // A photo's bytes decoded and written anew, with nothing of the original's metadata; its file
    // extension. Throws Failure, naming `name`. Runs in the photo decoder's sealed-off process only
    // (PhotoDecodeMain.cpp): item() hands photos there.
    struct Reencoded {
        SecureBytes data;
        QString extension;
    };
    static Reencoded reencodePhoto(ByteView bytes, bool optimizePhotos, const QString& name);

    // Ends at once every decoder an import is waiting for, each of whose files then counts as
    // unreadable (a lock wants nothing more read).
    static void endRunningDecoders();

    // Whether this machine can write HEIC. Without an encoder a HEIC photo is kept as JPEG.
    static bool canWriteHeic();

    // Whether the first bytes of a file (64 are enough) are those of a HEIC photo.
    static bool isHeic(ByteView head);
    // The pixels of a HEIC photo held in memory (a stored item), upright and in its own colour space.
    // A null image when the bytes are no HEIC photo that an import could read.
    static QImage decodeHeic(ByteView bytes);
    // Lets Qt's image readers allocate what the largest photo taken needs at 4 bytes a pixel, and
    // no more. Every decoder of photos calls it first.
    static void allowPhotoAllocations();
};

} // namespace larkhold
