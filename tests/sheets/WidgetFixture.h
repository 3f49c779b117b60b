#pragma once

#include "SheetsFixture.h"
#include "VaultSheetDialogs.h"
#include "VaultSheets.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <memory>

namespace larkhold::test {

// Sheets opened over a stand-in main window, on a store over the fake engine; typing and clicking
// through QTest as a user would.
class WidgetFixture : public SheetsFixture {
protected:
    WidgetFixture() {
        // Moves to the Trash land in the scratch folder, never in the user's own Trash.
        QDir().mkpath(dir.filePath(QStringLiteral("xdg")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("xdg"))));
        window.setWindowTitle(QStringLiteral("Larkhold"));
        window.resize(640, 480);
        window.show();
    }

    ~WidgetFixture() override {
        // Deleting one window may delete others (a sheet takes its folder chooser with it).
        QList<QPointer<QWidget>> windows;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top != &window && qobject_cast<QDialog*>(top))
                windows.append(top);
        for (const QPointer<QWidget>& top : windows)
            delete top.data();
        // Operations a closed sheet left running finish before the store goes.
        eventually([&] { return !store || store->busyVaults().isEmpty(); });
    }

    VaultSheets& sheets() {
        if (!factory)
            factory = std::make_unique<VaultSheets>(*store, secrets, owner);
        return *factory;
    }

    // Opens a sheet as the main window does and waits until it is on screen.
    template <class Sheet> Sheet* open(QDialog* dialog) {
        auto* sheet = qobject_cast<Sheet*>(dialog);
        EXPECT_NE(sheet, nullptr);
        dialog->open();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog, 60000));
        return sheet;
    }

    template <class W> static W* child(QWidget* sheet, const char* name) {
        W* w = sheet->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << "no " << name;
        return w;
    }

    static void type(QWidget* sheet, const char* field, const QString& text) {
        auto* edit = child<QLineEdit>(sheet, field);
        edit->setFocus();
        QTest::keyClicks(edit, text);
    }
    static void clear(QWidget* sheet, const char* field) {
        auto* edit = child<QLineEdit>(sheet, field);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
    }
    static QString text(QWidget* sheet, const char* field) { return child<QLineEdit>(sheet, field)->text(); }
    // Visible and showing this text; an empty expectation means hidden.
    static std::string shown(QWidget* sheet, const char* label) {
        auto* l = child<QLabel>(sheet, label);
        return l && l->isVisibleTo(sheet) ? l->text().toStdString() : std::string();
    }

    static void pressReturn(QWidget* sheet) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : sheet;
        QTest::keyClick(target, Qt::Key_Return);
    }

    // Closed and deleted (a closed sheet deletes itself on the next turn of the event loop).
    bool closes(const QPointer<QDialog>& sheet) {
        return eventually([&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return sheet.isNull();
        });
    }
    bool settles(SheetDialog* sheet) {
        return eventually([&] { return !sheet->model().working(); });
    }

    QMainWindow window;
    std::unique_ptr<VaultSheets> factory;
};

} // namespace larkhold::test
