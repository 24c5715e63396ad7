#pragma once
// The Status page: per channel of the selected interface, its port, the program holding it and
// the port's parameters, with "Add port..." and the PTT and CW keying tests.
#include <QWidget>

#include "ui/status_page_model.h"

class QComboBox;

namespace qx {

class CInterfaceManagerDlg;

class CPageStatus : public QWidget {
    Q_OBJECT
public:
    explicit CPageStatus(CInterfaceManagerDlg* owner);

    QComboBox* InterfaceCombo() const { return m_interfaceCombo; }
    // Recomputes every text and visibility from the selected link (RefreshStatusPage).
    void Refresh();

    // The path shown in the channel's row (empty while its port does not exist), and putting it
    // on the clipboard, as the row's "Copy path" does.
    QString PortPath(Channel channel) const;
    void CopyPath(Channel channel) const;

private:
    void EnlargePortNameFont();
    void NameButtons();
    void DescribeRow(Channel channel);
    void AddRowMenu(QWidget* control, Channel channel);
    void Apply(const StatusPageView& view, const StatusPageInput& input);

    CInterfaceManagerDlg* m_owner;
    QComboBox* m_interfaceCombo = nullptr;
};

}  // namespace qx
