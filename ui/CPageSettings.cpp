#include "ui/CPageSettings.h"

#include <QCheckBox>

#include "app/autostart_switch.h"
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
    m_interfaceCombo = m_owner->BuildPage(this, kTemplateSettings);
    m_invertFskBox = FindControl<QCheckBox>(this, kInvertFskCheckBox);
    m_autostartBox = FindControl<QCheckBox>(this, kAutostartCheckBox);

    connect(m_invertFskBox, &QCheckBox::clicked, this,
            [this](bool checked) { SetFskInverted(checked); });
    connect(m_autostartBox, &QCheckBox::clicked, this,
            [this](bool checked) { SetAutostart(checked); });
}

void CPageSettings::Refresh() {
    CHVInterfaceManager& manager = m_owner->Manager();
    if (const CHVInterface* link = manager.Link(m_owner->Selected()))
        m_invertFskBox->setChecked(link->fskInverted.load() != 0);
    m_invertFskBox->setEnabled(manager.Count() > 0);
    m_autostartBox->setChecked(QueryAutostart(kRunValueName));
}

// The link's worker sends the new value at its next poll; it reaches the INI file with the
// link's next save.
void CPageSettings::SetFskInverted(bool inverted) {
    CHVInterface* link = m_owner->Manager().Link(m_owner->Selected());
    if (!link) return;
    link->RequestFskInversion(inverted);
}

void CPageSettings::SetAutostart(bool enabled) {
    SwitchProgramAutostart(enabled);
    // A click must not show an entry that could not be written (or removed).
    m_autostartBox->setChecked(QueryAutostart(kRunValueName));
}

}  // namespace qx
