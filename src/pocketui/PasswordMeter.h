#pragma once

#include <QString>

class QWidget;

namespace larkhold {

// The password strength meter the second password setup shows under its fields. One place that
// builds it, so the setup does not depend on how the meter is made.
QWidget* makePasswordMeter(QWidget* parent);
void showPasswordRating(QWidget* meter, const QString& password);

} // namespace larkhold
