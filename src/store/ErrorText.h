#pragma once

#include "DiskImage.h"
#include "PocketVaultError.h"
#include "ProcessRunner.h"

#include <QString>
#include <exception>

namespace larkhold {

// The user's text of any exception the engines throw: the Pocket Vault container, the disk-image
// tools and the process launcher each carry a sentence meant for the user.
inline QString describeError(const std::exception& error) {
    if (const auto* pocket = dynamic_cast<const PocketVaultError*>(&error))
        return pocket->message();
    if (const auto* disk = dynamic_cast<const DiskImageError*>(&error))
        return disk->message();
    if (const auto* launch = dynamic_cast<const ProcessLaunchError*>(&error))
        return launch->message();
    return QString::fromUtf8(error.what());
}

// The same for a caught exception of any type; one that is no std::exception has no text to show.
inline QString describeError(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return describeError(e);
    } catch (...) {
    }
    return QStringLiteral("An unexpected error occurred.");
}

} // namespace larkhold
