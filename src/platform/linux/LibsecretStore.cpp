#include "LibsecretStore.h"

#include <QByteArray>
#include <QFileInfo>
#include <optional>
#include <type_traits>

// libsecret's headers pull in GLib, whose "signals" member names clash with Qt's keyword macro.
#undef signals
#include "LazyLibrary.h"

#include <libsecret/secret.h>

namespace larkhold {

namespace {

// libsecret and what it needs beneath (GIO, libgcrypt and some ten libraries) are loaded the first
// time a password is looked up or saved, not when the application starts. Without the library
// nothing is saved and nothing is found, as without a session bus.
struct Libsecret {
    decltype(&secret_password_lookupv_binary_sync) lookup;
    decltype(&secret_password_storev_binary_sync) store;
    decltype(&secret_password_clearv_sync) clear;
    decltype(&secret_value_new) newValue;
    decltype(&secret_value_get) valueBytes;
    decltype(&secret_value_unref) unrefValue;
};

const Libsecret* libsecret() {
    static LazyLibrary library("libsecret-1.so.0");
    static const std::optional<Libsecret> loaded = []() -> std::optional<Libsecret> {
        const auto get = [](auto& f, const char* name) {
            f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(library.symbol(name));
            return f != nullptr;
        };
        Libsecret l{};
        if (get(l.lookup, "secret_password_lookupv_binary_sync") &&
            get(l.store, "secret_password_storev_binary_sync") && get(l.clear, "secret_password_clearv_sync") &&
            get(l.newValue, "secret_value_new") && get(l.valueBytes, "secret_value_get") &&
            get(l.unrefValue, "secret_value_unref"))
            return l;
        return std::nullopt;
    }();
    return loaded ? &*loaded : nullptr;
}

// The attributes every item is filed under, as a table the library's "v" calls take.
struct Attributes {
    Attributes(const char* service, const QString& account)
        : account(account.toUtf8()), table(g_hash_table_new(g_str_hash, g_str_equal)) {
        g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(service));
        g_hash_table_insert(table, const_cast<char*>("account"), this->account.data());
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    QByteArray account; // the table points into it
    GHashTable* table;
};

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

} // namespace

// Plain libsecret calls, each waiting for the service's answer: the store runs them on its own thread.
// libsecret's synchronous calls run a main context of their own, so any thread may make them.
class LibsecretStore::LibsecretBackend final : public SecretStore::Backend {
public:
    std::optional<SecureBytes> readSecret(const QString& account) override;
    void storeSecret(const QString& account, ByteView secret) override;
    void removeSecret(const QString& account) override;
};

LibsecretStore::LibsecretStore() : SecretStore(std::make_shared<LibsecretBackend>()) {}

std::optional<SecureBytes> LibsecretStore::LibsecretBackend::readSecret(const QString& account) {
    const Libsecret* lib = sessionBusExpected() ? libsecret() : nullptr;
    if (!lib)
        return std::nullopt;
    const Attributes attributes(SecretStore::service, account);
    ErrorSink sink;
    SecretValue* value = lib->lookup(passwordSchema(), attributes.table, nullptr, &sink.error);
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar* data = lib->valueBytes(value, &length);
    std::optional<SecureBytes> bytes;
    if (data)
        bytes = SecureBytes(reinterpret_cast<const std::uint8_t*>(data),
                            reinterpret_cast<const std::uint8_t*>(data) + length);
    // libsecret keeps the secret in its own non-swappable memory and wipes it on release.
    lib->unrefValue(value);
    return bytes;
}

void LibsecretStore::LibsecretBackend::storeSecret(const QString& account, ByteView secret) {
    const Libsecret* lib = sessionBusExpected() ? libsecret() : nullptr;
    if (!lib)
        return;
    // Removing first also drops copies in other collections (the default collection may have changed since
    // the last save), so afterwards there is exactly one item per vault, or none when the store fails.
    removeSecret(account);

    const Attributes attributes(SecretStore::service, account);
    SecretValue* value =
        lib->newValue(reinterpret_cast<const gchar*>(secret.data()), static_cast<gssize>(secret.size()), "text/plain");
    ErrorSink sink;
    lib->store(passwordSchema(), attributes.table, SECRET_COLLECTION_DEFAULT, "Larkhold vault password", value, nullptr,
               &sink.error);
    lib->unrefValue(value);
}

void LibsecretStore::LibsecretBackend::removeSecret(const QString& account) {
    const Libsecret* lib = sessionBusExpected() ? libsecret() : nullptr;
    if (!lib)
        return;
    const Attributes attributes(SecretStore::service, account);
    ErrorSink sink;
    lib->clear(passwordSchema(), attributes.table, nullptr, &sink.error);
}

} // namespace larkhold
