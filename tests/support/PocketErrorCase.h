#pragma once

#include "PocketVaultError.h"

#include <functional>
#include <gtest/gtest.h>

namespace larkhold::test {

// Which Pocket Vault error `f` throws; a test failure when it throws none.
inline PocketVaultError::Case errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const PocketVaultError& e) {
        return e.which();
    }
    ADD_FAILURE() << "no PocketVaultError";
    return PocketVaultError::Case::full;
}

} // namespace larkhold::test
