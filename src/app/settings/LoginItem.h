#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace larkhold {

// Starting Larkhold at login: an XDG autostart entry, org.larkhold.Larkhold.desktop, in the user's
// autostart folder. Its presence is the status.
class LoginItem {
public:
    static constexpr const char* kFileName = "org.larkhold.Larkhold.desktop";

    // $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
    static QString defaultFolder();

    // `executable` is the program the entry starts; by default the running one.
    explicit LoginItem(QString folder = defaultFolder(), QString executable = {});

    QString filePath() const;
    bool isEnabled() const;
    // Writes or removes the entry. Returns why that failed, or nothing on success; asking for the
    // state it is already in succeeds.
    std::optional<QString> setEnabled(bool enabled);

    // The entry's text for a program path; none when the path cannot be written into an entry.
    static std::optional<QByteArray> desktopEntry(const QString& executable);

private:
    QString folder_;
    QString executable_;
};

} // namespace larkhold
