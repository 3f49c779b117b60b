#pragma once

#include <QIcon>
#include <QString>

namespace larkhold {

// The tray icon: a closed lock while every vault is locked, an open one while any is open. The artwork is a
// monochrome pair drawn in the panel's foreground colour (light on a dark panel, dark on a light one) and kept once
// made; without the artwork the theme's lock symbols stand in, looked up again at each call.
namespace MenuBarIcon {

QString imageName(bool anyUnlocked);
// `darkPanel` is the panel's colour when `panelSeen`, else only a guess: a tray that draws the icon itself
// (StatusNotifierItem) or a translucent one shows no colour to read. A guessed panel gets the ink ringed with
// the other colour, so that the lock reads on a light panel and a dark one alike.
QIcon image(bool anyUnlocked, bool darkPanel, bool panelSeen);

} // namespace MenuBarIcon
} // namespace larkhold

// Registers the application library's bundled images; call once before the first window (a static library's
// resources are not registered by themselves).
void initAppResources();
