// The two actions of the Ports page, run by the main window: applying the chosen port numbers
// to the selected interface, and removing every virtual port on the machine.
#include "app/string_ids.h"
#include "app/strings.h"
#include "ui/CInterfaceManagerDlg.h"
#include "ui/CPagePorts.h"

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
