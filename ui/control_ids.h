#pragma once
// Controls carry the numeric ids of their dialog templates, so code and tests find them by id.
#include <QString>
#include <QWidget>

namespace qx {

inline void SetControlId(QWidget* control, int id) {
    control->setProperty("controlId", id);
    control->setObjectName(QStringLiteral("ctl%1").arg(id));
}

template <typename T = QWidget>
T* FindControl(const QWidget* parent, int id) {
    return parent->findChild<T*>(QStringLiteral("ctl%1").arg(id));
}

}  // namespace qx
