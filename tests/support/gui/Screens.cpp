#include "Screens.h"

#include "ColorScheme.h"
#include "Theme.h"

#include <QAbstractAnimation>
#include <QAccessible>
#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QSet>
#include <QTest>
#include <QWidget>
#include <algorithm>

namespace larkhold::test {

namespace {

QString describe(const QWidget* w) {
    QString text = QString::fromLatin1(w->metaObject()->className());
    if (!w->objectName().isEmpty())
        text += QLatin1Char('#') + w->objectName();
    if (const auto* label = qobject_cast<const QLabel*>(w))
        text += QStringLiteral(" “%1”").arg(label->text());
    else if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        text += QStringLiteral(" “%1”").arg(button->text());
    return text;
}

bool mayElide(const QLabel* label, const ScreenOptions& options) {
    if (options.showWhole.contains(label->objectName()))
        return false;
    if (options.mayElide.contains(label->objectName()))
        return true;
    if (const auto* themed = qobject_cast<const ThemeLabel*>(label))
        return themed->elideMode() != Qt::ElideNone;
    return false;
}

// Whether a PDF view shows its page: pages are drawn on a thread of their own, and until then only
// the blank sheet shows.
bool pdfDrawn(QWidget* view) {
    if (!view->isVisible())
        return true;
    const QImage shot = view->grab().toImage();
    for (int y = 0; y < shot.height(); y += 2) {
        for (int x = 0; x < shot.width(); x += 2) {
            if (qGray(shot.pixel(x, y)) < 60)
                return true;
        }
    }
    return false;
}

// What still moves on its own: animations that end and have not ended, PDF pages not drawn yet. The
// screen shows what a user sees once nothing is left here.
QStringList stillMoving(QWidget* window) {
    QStringList moving;
    for (const QAbstractAnimation* animation : window->findChildren<QAbstractAnimation*>()) {
        if (animation->state() == QAbstractAnimation::Running && animation->loopCount() >= 0) {
            const auto* owner = qobject_cast<const QWidget*>(animation->parent());
            moving.append(QStringLiteral("an animation of ") +
                          (owner ? describe(owner) : QStringLiteral("the window")));
        }
    }
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (child->inherits("QPdfView") && !pdfDrawn(static_cast<QAbstractScrollArea*>(child)->viewport()))
            moving.append(QStringLiteral("the page of ") + describe(child));
    }
    return moving;
}

// Empty once everything has come to rest; otherwise what had not after a generous wait.
QStringList settle(QWidget* widget) {
    for (int i = 0; i < 3; ++i) {
        if (widget->layout())
            widget->layout()->activate();
        QApplication::processEvents();
    }
    QWidget* window = widget->window();
    if (QTest::qWaitFor([window] { return stillMoving(window).isEmpty(); }, 60'000))
        return {};
    return stillMoving(window);
}

QStringList imageProblems(const QImage& image) {
    if (image.isNull() || image.width() == 0 || image.height() == 0)
        return {QStringLiteral("the image is empty")};
    QSet<QRgb> colours;
    const int stepX = qMax(1, image.width() / 64);
    const int stepY = qMax(1, image.height() / 64);
    for (int y = 0; y < image.height(); y += stepY) {
        for (int x = 0; x < image.width(); x += stepX)
            colours.insert(image.pixel(x, y));
    }
    if (colours.size() < 2)
        return {QStringLiteral("the image is of one colour")};
    return {};
}

// What a screen reader offers to act on; each needs a name it can read out.
bool isControl(QAccessible::Role role) {
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::Dial:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::PageTab:
    case QAccessible::Link:
    case QAccessible::ProgressBar:
    case QAccessible::List:
    case QAccessible::Table:
    case QAccessible::Tree:
        return true;
    default:
        return false;
    }
}

void collectUnnamed(QAccessibleInterface* node, QStringList& problems, int depth) {
    if (!node || !node->isValid() || depth > 64)
        return;
    const QAccessible::State state = node->state();
    if (state.invisible)
        return;
    const bool focusable = state.focusable;
    const QAccessible::Role role = node->role();
    const bool control = isControl(role) || (focusable && role == QAccessible::Client);
    if (control && node->text(QAccessible::Name).trimmed().isEmpty()) {
        QObject* object = node->object();
        const auto* widget = qobject_cast<const QWidget*>(object);
        problems.append(QStringLiteral("%1 has no name a screen reader can read")
                            .arg(widget ? describe(widget)
                                        : (object ? QString::fromLatin1(object->metaObject()->className())
                                                  : QStringLiteral("a control"))));
    }
    for (int i = 0; i < node->childCount(); ++i)
        collectUnnamed(node->child(i), problems, depth + 1);
}

} // namespace

QStringList unnamedControls(QWidget* window) {
    QStringList problems;
    collectUnnamed(QAccessible::queryAccessibleInterface(window), problems, 0);
    return problems;
}

QString screensDir() {
    return QStringLiteral(LARKHOLD_SCREENS_DIR);
}

void useColorScheme(bool dark) {
    ColorScheme::apply(*qobject_cast<QApplication*>(QCoreApplication::instance()), dark);
    QApplication::processEvents();
}

QStringList screenProblems(QWidget* widget, const ScreenOptions& options) {
    QStringList problems;
    if (widget->width() <= 0 || widget->height() <= 0)
        problems.append(QStringLiteral("%1 has no size").arg(describe(widget)));
    const QList<QWidget*> children = widget->findChildren<QWidget*>();
    // A name to check that matches nothing would make the check pass by mistake.
    for (const QString& name : options.showWhole) {
        const bool found = std::any_of(children.cbegin(), children.cend(), [&](const QWidget* child) {
            return child->objectName() == name && qobject_cast<const QLabel*>(child) && child->isVisibleTo(widget);
        });
        if (!found)
            problems.append(QStringLiteral("no visible label “%1” to check").arg(name));
    }
    for (QWidget* child : children) {
        if (!child->isVisibleTo(widget) || child->isWindow())
            continue;
        const QSize hint = child->sizeHint();
        if (hint.isValid() && !hint.isEmpty() && (child->width() <= 0 || child->height() <= 0))
            problems.append(QStringLiteral("%1 collapsed to nothing").arg(describe(child)));

        if (auto* label = qobject_cast<QLabel*>(child)) {
            if (label->text().isEmpty() || label->textFormat() == Qt::RichText || mayElide(label, options))
                continue;
            if (label->wordWrap()) {
                if (label->heightForWidth(label->width()) > label->height() + 1)
                    problems.append(QStringLiteral("%1 is cut off at the bottom").arg(describe(label)));
                continue;
            }
            const QFontMetrics fm(label->font());
            const int available = label->contentsRect().width() - 2 * label->margin();
            for (const QString& line : label->text().split(QLatin1Char('\n'))) {
                const int needed = fm.horizontalAdvance(line);
                if (needed > available + 1) {
                    problems.append(QStringLiteral("%1 is cut short (needs %2 px, has %3)")
                                        .arg(describe(label))
                                        .arg(needed)
                                        .arg(available));
                    break;
                }
            }
            if (fm.height() * label->text().count(QLatin1Char('\n')) + fm.height() > label->contentsRect().height() + 2)
                problems.append(QStringLiteral("%1 is cut off at the bottom").arg(describe(label)));
        } else if (auto* button = qobject_cast<QAbstractButton*>(child)) {
            if (button->text().isEmpty())
                continue;
            if (button->sizeHint().width() > button->width() + 1)
                problems.append(QStringLiteral("%1 is narrower than its label (needs %2 px, has %3)")
                                    .arg(describe(button))
                                    .arg(button->sizeHint().width())
                                    .arg(button->width()));
        }
    }
    return problems;
}

ScreenReport renderScreen(QWidget* widget, const QString& area, const QString& name, const ScreenOptions& options) {
    ScreenReport report;
    QDir().mkpath(QDir(screensDir()).filePath(area));
    if (!widget->isVisible())
        widget->show();
    if (!QTest::qWaitForWindowExposed(widget->window(), 60'000))
        report.problems.append(QStringLiteral("the window never showed"));

    for (const bool dark : {false, true}) {
        if ((dark && !options.dark) || (!dark && !options.light))
            continue;
        useColorScheme(dark);
        if (options.beforeGrab)
            options.beforeGrab(dark);
        const QStringList moving = settle(widget);
        if (!moving.isEmpty())
            report.problems.append(QStringLiteral("%1 (%2): never came to rest: %3")
                                       .arg(name, dark ? QStringLiteral("dark") : QStringLiteral("light"),
                                            moving.join(QStringLiteral(", "))));
        const QPixmap shot = widget->grab();
        const QString path =
            QDir(screensDir())
                .filePath(QStringLiteral("%1/%2-%3.png")
                              .arg(area, name, dark ? QStringLiteral("dark") : QStringLiteral("light")));
        if (!shot.save(path))
            report.problems.append(QStringLiteral("could not write %1").arg(path));
        (dark ? report.darkPath : report.lightPath) = path;
        const QString scheme = dark ? QStringLiteral("dark: ") : QStringLiteral("light: ");
        for (const QString& problem : imageProblems(shot.toImage()))
            report.problems.append(scheme + problem);
        for (const QString& problem : screenProblems(widget, options))
            report.problems.append(scheme + problem);
        if (!dark || !options.light) {
            for (const QString& problem : unnamedControls(widget->window()))
                report.problems.append(problem);
        }
        // A window that forces its own scheme keeps it; every other one must follow the application.
        if (!widget->window()->testAttribute(Qt::WA_SetPalette) && ColorScheme::isDark(widget) != dark)
            report.problems.append(scheme + QStringLiteral("the window was not drawn with the %1 palette")
                                                .arg(dark ? QStringLiteral("dark") : QStringLiteral("light")));
    }
    useColorScheme(false);
    return report;
}

} // namespace larkhold::test
