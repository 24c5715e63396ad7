#pragma once
// The Settings page: FSK output inversion of the selected interface, and starting the program
// with the desktop session.
#include <QWidget>

class QCheckBox;
class QComboBox;

namespace qx {

class CInterfaceManagerDlg;

class CPageSettings : public QWidget {
    Q_OBJECT
public:
    explicit CPageSettings(CInterfaceManagerDlg* owner);

    QComboBox* InterfaceCombo() const { return m_interfaceCombo; }
    // Shows the selected link's inversion and whether the autostart entry exists.
    void Refresh();

private:
    void SetFskInverted(bool inverted);
    void SetAutostart(bool enabled);

    CInterfaceManagerDlg* m_owner;
    QComboBox* m_interfaceCombo = nullptr;
    QCheckBox* m_invertFskBox = nullptr;
    QCheckBox* m_autostartBox = nullptr;
};

}  // namespace qx
