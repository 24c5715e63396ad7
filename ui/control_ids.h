#pragma once
// Controls carry the numeric ids of their dialog templates, so code and tests find them by id.
#include <QString>
#include <QWidget>
#include <array>

#include "core/channel.h"

namespace qx {

// Ids more than one file names: the interface selector on every page and the Ports page's lists.
constexpr int kInterfaceSelectorId = 1012;
constexpr std::array<int, kChannelCount> kPortListIds{1004, 1005, 1006, 1007};

inline void SetControlId(QWidget* control, int id) {
    control->setProperty("controlId", id);
    control->setObjectName(QStringLiteral("ctl%1").arg(id));
}

template <typename T = QWidget>
T* FindControl(const QWidget* parent, int id) {
    return parent->findChild<T*>(QStringLiteral("ctl%1").arg(id));
}

}  // namespace qx
