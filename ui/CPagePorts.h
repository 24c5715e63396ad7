#pragma once
// The Ports page: the COM number of each channel of the selected interface, chosen from the
// numbers free on the machine, and the "Create/update" and "Remove all ports now" actions.
#include <QWidget>
#include <array>

#include "core/channel.h"

class QCheckBox;
class QComboBox;
class QLabel;

namespace qx {

class CInterfaceManagerDlg;

class CPagePorts : public QWidget {
    Q_OBJECT
public:
    explicit CPagePorts(CInterfaceManagerDlg* owner);

    QComboBox* InterfaceCombo() const { return m_interfaceCombo; }
    // Rebuilds the four port lists from the selected link and the ports on the machine
    // (RefreshPortsPage); a choice not yet applied is lost.
    void Refresh();
    // The number chosen in each channel's list, 0 for "not selected" or "Not supported".
    std::array<int, kChannelCount> ChosenPortNumbers() const;

private:
    QComboBox* PortCombo(Channel channel) const;
    void RefreshCheckBoxes();

    CInterfaceManagerDlg* m_owner;
    QComboBox* m_interfaceCombo = nullptr;
    QCheckBox* m_removePortsBox = nullptr;
    QCheckBox* m_ignoreSerialsBox = nullptr;
    QLabel* m_ignoreSerialsNote = nullptr;
};

}  // namespace qx
