#pragma once

#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace larkhold {

// The errors of the Pocket Vault container, each with the message the user sees.
class PocketVaultError : public std::exception {
public:
    enum class Case {
        full,                   // an item list does not fit into an area
        badPassword,            // no slot opens with the password
        notAPocketVault,        // the file's size is not one of the tiers
        damaged,                // an area or its payload does not decode
        sameAsCurrentPassword,  // a second password equal to the one that unlocked the vault
        passwordOpensOtherArea, // a new password that already opens the vault's other area
        changedElsewhere,       // the file is no longer the one this storage read or last wrote
        movedElsewhere,         // the file was moved away or deleted since this storage read or last wrote it
    };

    static PocketVaultError full(std::int64_t needed, std::int64_t capacity);
    static PocketVaultError badPassword() { return PocketVaultError(Case::badPassword); }
    static PocketVaultError notAPocketVault() { return PocketVaultError(Case::notAPocketVault); }
    static PocketVaultError damaged() { return PocketVaultError(Case::damaged); }
    static PocketVaultError sameAsCurrentPassword() { return PocketVaultError(Case::sameAsCurrentPassword); }
    static PocketVaultError passwordOpensOtherArea() { return PocketVaultError(Case::passwordOpensOtherArea); }
    static PocketVaultError changedElsewhere() { return PocketVaultError(Case::changedElsewhere); }
    static PocketVaultError movedElsewhere() { return PocketVaultError(Case::movedElsewhere); }

    Case which() const noexcept { return case_; }
    // Byte counts of a `full` error; 0 for the other cases.
    std::int64_t needed() const noexcept { return needed_; }
    std::int64_t capacity() const noexcept { return capacity_; }

    QString message() const;
    const char* what() const noexcept override { return what_.c_str(); }

private:
    explicit PocketVaultError(Case c, std::int64_t needed = 0, std::int64_t capacity = 0);

    Case case_;
    std::int64_t needed_;
    std::int64_t capacity_;
    std::string what_;
};

} // namespace larkhold
