#include "SecretStore.h"

#include "UuidText.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace larkhold {

QString SecretStore::accountName(const QUuid& vaultId) {
    return uuidString(vaultId);
}

std::optional<QString> SecretStore::password(const QUuid& vaultId) {
    const std::optional<SecureBytes> bytes = readSecret(accountName(vaultId));
    if (!bytes)
        return std::nullopt;
    // Decoded straight from the wiped buffer, so no unwiped byte copy of the password is made on the way. A
    // leading U+FEFF is part of the password, not a byte-order mark: the save wrote it, so the read keeps it.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text =
        decoder(QByteArrayView(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size())));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

void SecretStore::savePassword(const QString& password, const QUuid& vaultId) {
    const QString account = accountName(vaultId);
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    SecureBytes bytes(static_cast<std::size_t>(encoder.requiredSpace(password.size())));
    char* const begin = reinterpret_cast<char*>(bytes.data());
    char* const end = encoder.appendToBuffer(begin, password);
    bytes.resize(static_cast<std::size_t>(end - begin));
    if (encoder.hasError()) {
        // A password with broken UTF-16 (a lone surrogate) cannot be stored faithfully; remembering a mangled
        // one would later be offered as the vault's password and fail, so nothing is remembered instead.
        removeSecret(account);
        return;
    }
    storeSecret(account, bytes);
}

void SecretStore::deletePassword(const QUuid& vaultId) {
    removeSecret(accountName(vaultId));
}

} // namespace larkhold
