#include "LibsecretStore.h"

#include <QByteArray>
#include <QFileInfo>

// libsecret's headers pull in GLib, whose "signals" member names clash with Qt's keyword macro.
#undef signals
#include <libsecret/secret.h>

namespace larkhold {

namespace {

// Items are matched on service and account alone, so any item filed under the service for a vault counts,
// whichever program wrote it.
const SecretSchema* passwordSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.larkhold.Larkhold.VaultPassword";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

// GLib finds the session bus through DBUS_SESSION_BUS_ADDRESS or the user's runtime folder and otherwise
// tries to auto-launch a new bus, which can hang or leave a stray daemon behind. Checking the same two
// places first lets a session without a bus answer "nothing saved" at once.
bool sessionBusExpected() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtimeDir.isEmpty() && QFileInfo::exists(runtimeDir + QStringLiteral("/bus"));
}

struct ErrorSink {
    GError* error = nullptr;
    ~ErrorSink() {
        if (error)
            g_error_free(error);
    }
};

constexpr const char* endOfAttributes = nullptr;

} // namespace

std::optional<SecureBytes> LibsecretStore::readSecret(const QString& account) {
    if (!sessionBusExpected())
        return std::nullopt;
    const QByteArray accountUtf8 = account.toUtf8();
    ErrorSink sink;
    SecretValue* value = secret_password_lookup_binary_sync(passwordSchema(), nullptr, &sink.error, "service", service,
                                                            "account", accountUtf8.constData(), endOfAttributes);
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar* data = secret_value_get(value, &length);
    std::optional<SecureBytes> bytes;
    if (data)
        bytes = SecureBytes(reinterpret_cast<const std::uint8_t*>(data),
                            reinterpret_cast<const std::uint8_t*>(data) + length);
    // libsecret keeps the secret in its own non-swappable memory and wipes it on release.
    secret_value_unref(value);
    return bytes;
}

void LibsecretStore::storeSecret(const QString& account, ByteView secret) {
    if (!sessionBusExpected())
        return;
    // Removing first also drops copies in other collections (the default collection may have changed since
    // the last save), so afterwards there is exactly one item per vault, or none when the store fails.
    removeSecret(account);

    const QByteArray accountUtf8 = account.toUtf8();
    SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                                          static_cast<gssize>(secret.size()), "text/plain");
    ErrorSink sink;
    secret_password_store_binary_sync(passwordSchema(), SECRET_COLLECTION_DEFAULT, "Larkhold vault password", value,
                                      nullptr, &sink.error, "service", service, "account", accountUtf8.constData(),
                                      endOfAttributes);
    secret_value_unref(value);
}

void LibsecretStore::removeSecret(const QString& account) {
    if (!sessionBusExpected())
        return;
    const QByteArray accountUtf8 = account.toUtf8();
    ErrorSink sink;
    secret_password_clear_sync(passwordSchema(), nullptr, &sink.error, "service", service, "account",
                               accountUtf8.constData(), endOfAttributes);
}

} // namespace larkhold
