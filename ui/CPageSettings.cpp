#include "ui/CPageSettings.h"

#include <QCheckBox>
#include <QComboBox>

#include "app/CInterfaceManagerApp.h"
#include "app/strings.h"
#include "platform/autostart.h"
#include "ui/CInterfaceManagerDlg.h"
#include "ui/control_ids.h"
#include "ui/dialog_template.h"

namespace qx {
namespace {

constexpr int kInvertFskCheckBox = 1011;
constexpr int kAutostartCheckBox = 1027;

}  // namespace

CPageSettings::CPageSettings(CInterfaceManagerDlg* owner) : m_owner(owner) {
    const DialogTemplate* dialog = FindDialogTemplate(kTemplateSettings, WindowLanguage());
    BuildDialog(this, *dialog);
    setWindowTitle(QString::fromUtf8(dialog->caption));
    m_interfaceCombo = FindControl<QComboBox>(this, 1012);
    m_invertFskBox = FindControl<QCheckBox>(this, kInvertFskCheckBox);
    m_autostartBox = FindControl<QCheckBox>(this, kAutostartCheckBox);

    connect(m_interfaceCombo, &QComboBox::activated, this,
            [this](int index) { m_owner->SelectInterface(index); });
    connect(m_invertFskBox, &QCheckBox::clicked, this, [this](bool checked) { SetFskInverted(checked); });
    connect(m_autostartBox, &QCheckBox::clicked, this, [this](bool checked) { SetAutostart(checked); });
}

void CPageSettings::Refresh() {
    CHVInterfaceManager& manager = m_owner->Manager();
    if (const CHVInterface* link = manager.Link(m_owner->Selected()))
        m_invertFskBox->setChecked(link->fskInverted.load() != 0);
    m_invertFskBox->setEnabled(manager.Count() > 0);
    m_autostartBox->setChecked(QueryAutostart(kRunValueName));
}

// The link's worker sends the new value at its next poll; it reaches the INI file with the
// link's next save. The value is written before the pending flag so the worker sends it.
void CPageSettings::SetFskInverted(bool inverted) {
    CHVInterface* link = m_owner->Manager().Link(m_owner->Selected());
    if (!link)
        return;
    link->fskInverted.store(inverted ? 1 : 0);
    link->fskInversionPending.store(1);
}

void CPageSettings::SetAutostart(bool enabled) {
    WriteAutostart(ProgramPath() + " -m", kRunValueName, enabled);
}

}  // namespace qx
