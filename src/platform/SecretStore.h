#pragma once

#include "SecureBytes.h"

#include <QFuture>
#include <QString>
#include <QUuid>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace larkhold {

// Remembered vault passwords, one item per vault, kept by the desktop's secret service.
//
// Items are keyed by a fixed service text and the vault id as an account name, and hold the password's
// UTF-8 bytes; that key and byte form are what any backend must keep. None of the operations fails towards
// the caller: a missing, unreadable or undecodable item reads as "no remembered password", and a save or
// delete that the backend cannot carry out is silent, because the caller then simply asks for the password.
//
// A secret service is another process and may not answer: a locked keyring shows an unlock prompt nobody
// answers, a stalled daemon never replies. So no operation waits for it. The backend's calls run one after
// the other, in the order they were made, on a thread of the store's own. A lookup that has not answered
// within the deadline reads as "no remembered password"; a save or delete is only handed over. While one
// call hangs, a vault has at most one lookup waiting behind it: asking again shares that lookup's answer.
//
// The store's end (the application's quit) waits a short while for saves and deletes still to be done.
// Those that cannot be done by then are written down (setStaleRecord), and the next store removes their
// vaults' items before anything else, so that a password that was to be replaced is never offered again.
//
// The public operations are fixed here so that the account text, the UTF-8 conversion and the wiping of
// temporary bytes are the same for every backend; a backend only moves bytes.
class SecretStore {
public:
    // The service every item is filed under; shared with the application's predecessor.
    static constexpr const char* service = "com.quillmere.TarnFolder";
    // Long enough for a healthy service on a busy machine, short enough that nobody gives up waiting.
    static constexpr std::chrono::milliseconds kDeadline{8000};
    // How long the store's end waits for saves and deletes handed over.
    static constexpr std::chrono::milliseconds kEndDeadline{2000};

    // What a lookup found: a password, none, or no answer from the secret service in time.
    struct Lookup {
        enum class Outcome { found, none, noAnswer };
        Outcome outcome = Outcome::none;
        std::optional<QString> password;
    };

    virtual ~SecretStore();
    SecretStore(const SecretStore&) = delete;
    SecretStore& operator=(const SecretStore&) = delete;

    // The remembered password of a vault, or nothing when there is none, no secret service answers in
    // time, or the stored bytes are not valid UTF-8. May be called from any thread; the deadline is timed
    // by the application's event loop.
    QFuture<std::optional<QString>> password(const QUuid& vaultId);
    // The same, telling a keyring that did not answer apart from one that has no password for the vault.
    QFuture<Lookup> lookUp(const QUuid& vaultId);

    // Remembers a password for a vault, replacing any earlier one, so there is never more than one item per
    // vault. When the backend cannot store it, the vault is left with no remembered password at all (never a
    // stale one) and nobody is told.
    void savePassword(const QString& password, const QUuid& vaultId);

    // Forgets the remembered password of a vault. A vault without one is no error.
    void deletePassword(const QUuid& vaultId);

    // Forgets the remembered password of a vault if it is `was` (a password just refused).
    void forgetPasswordIf(const QUuid& vaultId, const QString& was);

    // Replaces the remembered password of a vault with `password` if there is one and, when `onlyIf` is
    // given, it is that text; a vault without one keeps having none.
    void replaceSavedPassword(const QUuid& vaultId, const QString& password, std::optional<QString> onlyIf);

    void setDeadline(std::chrono::milliseconds deadline) { deadline_ = deadline; }
    void setEndDeadline(std::chrono::milliseconds deadline) { endDeadline_ = deadline; }

    // The file that keeps the vaults whose items are to be removed because a save or delete could not be
    // done before an earlier store ended. Their removal is handed over at once; set it before any other call.
    void setStaleRecord(const QString& path);

    // The account text of a vault: 36 characters, upper-case hexadecimal, 8-4-4-4-12, no braces.
    static QString accountName(const QUuid& vaultId);

protected:
    // What a backend does. Its calls come one at a time from the store's thread (or the caller's, see
    // setCallsInline), and may go on after the store itself is gone: a backend owns what it touches.
    class Backend {
    public:
        virtual ~Backend() = default;
        virtual std::optional<SecureBytes> readSecret(const QString& account) = 0;
        // Must leave exactly one item for the account on success and none on failure.
        virtual void storeSecret(const QString& account, ByteView secret) = 0;
        virtual void removeSecret(const QString& account) = 0;
    };

    explicit SecretStore(std::shared_ptr<Backend> backend);

    // Runs the backend's calls on the caller's thread at once (an in-memory backend that cannot hang);
    // calls already handed to the store's thread still run there first.
    void setCallsInline(bool callsInline);
    // Calls handed to the store's thread that have not ended yet.
    int callsUnderWay() const;

private:
    struct Answer;
    struct Worker;
    using Job = std::function<void(Backend&)>;
    // Hands a call over; `lookup` is set for a lookup, which shares the call of one for the same account
    // that already waits.
    void run(Job job, const QString& account, std::shared_ptr<Answer> lookup = {});

    std::shared_ptr<Backend> backend_;
    std::shared_ptr<Worker> worker_;
    std::thread thread_;
    std::chrono::milliseconds deadline_ = kDeadline;
    std::chrono::milliseconds endDeadline_ = kEndDeadline;
    std::atomic<bool> inline_ = false;
};

// The name the rest of the application knows the remembered-password store by.
using Keychain = SecretStore;

} // namespace larkhold
