// The two actions of the Ports page, run by the main window: applying the chosen port numbers
// to the selected interface, and removing every virtual port on the machine; and telling the
// user which ports the provisioning made.
#include <QTimer>

#include "app/string_ids.h"
#include "app/strings.h"
#include "app/window_rules.h"
#include "platform/ports_directory.h"
#include "ui/CInterfaceManagerDlg.h"
#include "ui/CPagePorts.h"
#include "ui/CTrayIcon.h"

namespace qx {

void CInterfaceManagerDlg::ApplyPortSelection() {
    CPagePorts* page = PortsPage();
    CHVInterface* link = Manager().Link(Selected());
    if (!page || !link) return;
    Manager().provisioning.UpdatePorts(*link, page->ChosenPortNumbers());
    SaveSettings(*link);
    OnInterfacesChanged();
    ActivatePage(0);
}

// A port enters its channel's slot only after its creation is reported ended, so whether it
// exists is looked at once the provisioning has returned to the event loop.
void CInterfaceManagerDlg::AwaitCreatedPort(int port) {
    if (createdPorts_.empty()) QTimer::singleShot(0, this, [this] { AnnounceCreatedPorts(); });
    createdPorts_.push_back(port);
}

void CInterfaceManagerDlg::AnnounceCreatedPorts() {
    std::vector<std::pair<int, std::string>> ports;
    for (int port : createdPorts_) ports.emplace_back(port, LivePortPath(port));
    createdPorts_.clear();
    const CreatedPortsBalloon balloon = CreatedPortsBalloonText(ports);
    m_trayIcon->ShowBalloon("", balloon.text,
                            balloon.stays ? kTrayBalloonStays : kTrayBalloonDesktopTimeout);
}

// The path of the bound port with that number; empty when no channel has it.
std::string CInterfaceManagerDlg::LivePortPath(int port) const {
    for (const std::unique_ptr<CHVInterface>& link : m_manager.list) {
        MutexLock lock(link->portGuard);
        for (const ChannelPortSlot& slot : link->ports) {
            if (slot.portNumber == port && slot.instance && slot.sink)
                return PortPath(portClass_.PortsDirectory(), port);
        }
    }
    return {};
}

void CInterfaceManagerDlg::RemoveAllPorts() {
    const QString question = QString::fromStdString(LoadLocalizedString(kStrRemoveAllQuestion));
    if (messageBox(question, QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    CHVInterfaceManager& manager = Manager();
    for (const std::unique_ptr<CHVInterface>& link : manager.list) {
        manager.provisioning.ReleasePorts(*link);
        {
            MutexLock lock(link->portGuard);
            for (ChannelPortSlot& slot : link->ports) {
                slot.portNumber = 0;
                slot.unusableSetting.clear();
            }
        }
        SaveSettings(*link);
    }
    manager.provisioning.RemoveAllSystemPorts();
    OnInterfacesChanged();
    ActivatePage(0);
}

}  // namespace qx
