#pragma once

#include "PocketImport.h"

#include <QProcess>

// The import's side of larkhold-photo-decode: photos are re-encoded there, never in the process
// that holds the keys. For the import's worker threads, which wait for the answer.
namespace larkhold {

// Throws PocketImport::Failure, naming `name`; a decoder that does not answer in time, or that
// endRunningDecoders() ends, makes the file unreadable.
PocketImport::Reencoded reencodeInHelper(ByteView bytes, bool optimizePhotos, const QString& name);

// While it lives, endRunningDecoders() ends the process (PdfRenderer::check uses it too).
class RunningDecoder {
public:
    explicit RunningDecoder(const QProcess& process);
    ~RunningDecoder();
    RunningDecoder(const RunningDecoder&) = delete;
    RunningDecoder& operator=(const RunningDecoder&) = delete;

private:
    int pidfd_;
};

} // namespace larkhold
