#pragma once

#include <QProxyStyle>

namespace larkhold {

// The application's style: the desktop's own, except that the icons a menu bar builds for its
// overflow button are read only when that button is first drawn. Reading them probes every
// image-format plug-in, which would otherwise be loaded before the first window shows, for a
// button that a menu bar with one menu never draws.
class ShellStyle : public QProxyStyle {
public:
    // `key`: the style to follow, as QStyleFactory names it.
    explicit ShellStyle(const QString& key);

    QIcon standardIcon(StandardPixmap icon, const QStyleOption* option = nullptr,
                       const QWidget* widget = nullptr) const override;
};

} // namespace larkhold
