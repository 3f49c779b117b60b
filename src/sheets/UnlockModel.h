#pragma once

#include "SheetModel.h"

#include <QString>
#include <optional>

namespace larkhold {

// The password prompt of a vault whose saved password cannot be used: the main window's sheet and
// the standalone unlock window. It hands the typed password to the store and closes only when the
// unlock succeeded; nothing is pre-filled.
class UnlockModel : public VaultPasswordModel {
    Q_OBJECT

public:
    UnlockModel(SheetServices services, Vault vault, QObject* parent = nullptr);

    bool saveToKeychain() const { return saveToKeychain_; }
    void setSaveToKeychain(bool save) { assign(saveToKeychain_, save); }

    QString title() const;
    QString subtitle() const;
    // "Hint: <hint>" for a stored hint that is not empty.
    std::optional<QString> hintLine() const;
    // Why the password is asked for although one is saved (system authentication did not pass).
    std::optional<QString> savedPasswordLine() const;
    QString primaryLabel() const;
    bool canUnlock() const;
    // What went wrong in the last attempt, as the store worded it; for a host without the main
    // window's alert. Cleared when the next attempt starts.
    const std::optional<QString>& failure() const { return failure_; }

    // The Unlock button and Return in the password field. False (and nothing started) while the
    // password is empty or an unlock is running.
    bool unlock();

private:
    QCoro::Task<> run(Vault vault, QString password, bool saveToKeychain);

    bool saveToKeychain_ = false;
    std::optional<QString> failure_;
};

} // namespace larkhold
