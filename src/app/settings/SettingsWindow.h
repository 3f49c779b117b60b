#pragma once

#include "SettingsModel.h"

#include <QPointer>
#include <QWidget>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;

namespace larkhold {

class ShortcutRecorder;
class ThemeLabel;
class ShortcutRecorderModel;

// The settings window: one fixed-width column of grouped controls bound to the settings table. Every
// decision is SettingsModel's; this class lays the controls out and keeps them in step with it.
class SettingsWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 440;

    explicit SettingsWindow(SettingsModel::Deps deps, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // The application's settings window: made with `deps` on first use and reused afterwards, then shown
    // and brought to the front on the current desktop. The menu's "Settings…" (Ctrl+,) and the tray call it.
    static SettingsWindow* show(const SettingsModel::Deps& deps);
    using QWidget::show;
    // The window show() made, if any.
    static SettingsWindow* instance();

    SettingsModel& model() { return model_; }
    // The tallest the window may grow before its column scrolls; by default the screen's free height.
    void setHeightLimit(std::optional<int> limit);
    int heightLimit() const;
    ShortcutRecorderModel& recorderModel() { return *recorderModel_; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void build();
    void refresh();
    // Colours that depend on the scheme: the problem lines in a red that reads on it, visible check boxes.
    void applyScheme();
    void fitHeight();

    SettingsModel model_;
    std::optional<int> heightLimit_;
    QScrollArea* scroll_ = nullptr;
    QWidget* content_ = nullptr;
    std::unique_ptr<ShortcutRecorderModel> recorderModel_;

    QComboBox* design_ = nullptr;
    QCheckBox* autoLock_ = nullptr;
    QComboBox* after_ = nullptr;
    QCheckBox* screenLock_ = nullptr;
    QCheckBox* sleep_ = nullptr;
    QCheckBox* quit_ = nullptr;
    QCheckBox* panic_ = nullptr;
    ShortcutRecorder* recorder_ = nullptr;
    QLabel* recorderNote_ = nullptr;
    QCheckBox* showInTray_ = nullptr;
    QComboBox* trayClick_ = nullptr;
    QCheckBox* hideTaskbar_ = nullptr;
    QLabel* taskbarCaption_ = nullptr;
    QCheckBox* login_ = nullptr;
    QLabel* loginError_ = nullptr;
    QCheckBox* updates_ = nullptr;
    ThemeLabel* updateStatus_ = nullptr;
    QPushButton* checkNow_ = nullptr;
};

} // namespace larkhold
