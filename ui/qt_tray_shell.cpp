#include "ui/qt_tray_shell.h"

#include <QCursor>
#include <QMenu>

#include "ui/program_icon.h"

namespace qx {

QtTrayShell::QtTrayShell() = default;
QtTrayShell::~QtTrayShell() = default;

bool QtTrayShell::Available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool QtTrayShell::Notify(TrayOperation operation, const TrayRecord& record) {
    if (operation == kTrayDelete) {
        icon_.reset();
        return true;
    }
    if (!Available()) return false;
    if (operation == kTrayModify && !icon_) return false;  // the icon was lost: nothing to modify
    if (!icon_) {
        icon_ = std::make_unique<QSystemTrayIcon>();
        connect(icon_.get(), &QSystemTrayIcon::activated, this, &QtTrayShell::OnActivated);
    }
    id_ = record.id;
    if (record.fields & kTrayFieldIcon) icon_->setIcon(ProgramIcon());
    if (record.fields & kTrayFieldTip) icon_->setToolTip(QString::fromStdString(record.tip));
    icon_->show();
    // A desktop notification cannot be taken back, so an empty balloon simply shows nothing.
    if ((record.fields & kTrayFieldInfo) && !record.info.empty()) {
        icon_->showMessage(QString::fromStdString(record.infoTitle),
                           QString::fromStdString(record.info), QSystemTrayIcon::Information,
                           static_cast<int>(record.timeoutMs));
    }
    return true;
}

int QtTrayShell::TrackMenu(const std::vector<TrayMenuItem>& items) {
    QMenu menu;
    for (const TrayMenuItem& item : items) {
        menu.addAction(QString::fromStdString(item.text))->setData(item.command);
    }
    const QAction* chosen = menu.exec(QCursor::pos());
    return chosen != nullptr ? chosen->data().toInt() : 0;
}

void QtTrayShell::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (!onMessage) return;
    if (reason == QSystemTrayIcon::DoubleClick) onMessage(id_, kTrayLeftDoubleClick);
    if (reason == QSystemTrayIcon::Context) onMessage(id_, kTrayRightButtonUp);
}

}  // namespace qx
