#include "ui/CPagePorts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "app/string_ids.h"
#include "app/strings.h"
#include "ui/CInterfaceManagerDlg.h"
#include "ui/control_ids.h"
#include "ui/dialog_template.h"
#include "ui/ports_page_model.h"

namespace qx {
namespace {

constexpr int kCreateUpdateButton = 1024;
constexpr int kRemoveAllButton = 1025;
constexpr int kRemovePortsCheckBox = 1011;
constexpr int kIgnoreSerialsCheckBox = 1013;
constexpr int kIgnoreSerialsNote = 1014;

// A click on a check box changes a program-wide setting; it is written at once so that it
// survives an abnormal end of the program.
void StoreSetting(CIniInt& setting, bool checked) {
    setting.value = checked ? 1 : 0;
    setting.Save();
}

}  // namespace

CPagePorts::CPagePorts(CInterfaceManagerDlg* owner) : m_owner(owner) {
    m_interfaceCombo = m_owner->BuildPage(this, kTemplatePorts);
    m_removePortsBox = FindControl<QCheckBox>(this, kRemovePortsCheckBox);
    m_removePortsBox->setToolTip(QString::fromStdString(LoadLocalizedString(kStrKeepPortsTip)));
    m_ignoreSerialsBox = FindControl<QCheckBox>(this, kIgnoreSerialsCheckBox);
    // How devices are told apart is fixed while interfaces run, so a click waits for the next
    // start; the note says so.
    m_ignoreSerialsNote = FindControl<QLabel>(this, kIgnoreSerialsNote);
    m_ignoreSerialsNote->setText(
        QString::fromStdString(LoadLocalizedString(kStrTakesEffectAtNextStart)));

    connect(FindControl<QPushButton>(this, kCreateUpdateButton), &QPushButton::clicked, this,
            [this] { m_owner->ApplyPortSelection(); });
    connect(FindControl<QPushButton>(this, kRemoveAllButton), &QPushButton::clicked, this,
            [this] { m_owner->RemoveAllPorts(); });
    connect(m_removePortsBox, &QCheckBox::clicked, this, [this](bool checked) {
        StoreSetting(m_owner->Program().removePortsOnDeviceRemoval, checked);
    });
    connect(m_ignoreSerialsBox, &QCheckBox::clicked, this, [this](bool checked) {
        StoreSetting(m_owner->Program().ignoreSerialNumbers, checked);
    });
}

QComboBox* CPagePorts::PortCombo(Channel channel) const {
    return FindControl<QComboBox>(this, kPortListIds[channel]);
}

void CPagePorts::Refresh() {
    CHVInterface* link = m_owner->Manager().Link(m_owner->Selected());
    PortsPageInput input;
    if (link) {
        input.selected = true;
        input.used = ReadSystemPorts(m_owner->PortClass().PortsDirectory());
        MutexLock lock(link->portGuard);
        for (Channel channel : kAllChannels) {
            input.present[channel] = link->channelPresent[channel].load() != 0;
            input.portNumbers[channel] = link->ports[channel].portNumber;
        }
    }
    const PortsPageStrings strings{LoadLocalizedString(kStrPortNotSelected),
                                   LoadLocalizedString(kStrCurrentSelection)};
    const std::array<PortList, kChannelCount> lists = ComputePortLists(input, strings);
    for (Channel channel : kAllChannels) {
        QComboBox* combo = PortCombo(channel);
        combo->clear();
        for (const PortListEntry& entry : lists[channel].entries)
            combo->addItem(QString::fromStdString(entry.text), entry.portNumber);
        combo->setCurrentIndex(lists[channel].selected);
        combo->setEnabled(lists[channel].enabled);
    }
    FindControl(this, kCreateUpdateButton)->setEnabled(m_owner->Manager().Count() > 0);
    RefreshCheckBoxes();
}

void CPagePorts::RefreshCheckBoxes() {
    ProgramSettings& program = m_owner->Program();
    WindowSettings& window = m_owner->Settings();
    m_removePortsBox->setChecked(program.removePortsOnDeviceRemoval.value != 0);
    m_ignoreSerialsBox->setChecked(program.ignoreSerialNumbers.value != 0);
    // The boxes are offered only where the configuration asks for them.
    m_removePortsBox->setVisible(window.showRemovePortsCheckBox.value == 1);
    m_ignoreSerialsBox->setVisible(window.showIgnoreSerialNumbers.value == 1);
    m_ignoreSerialsNote->setVisible(window.showIgnoreSerialNumbers.value == 1);
}

std::array<int, kChannelCount> CPagePorts::ChosenPortNumbers() const {
    std::array<int, kChannelCount> numbers{};
    for (Channel channel : kAllChannels) {
        const QComboBox* combo = PortCombo(channel);
        numbers[channel] = combo->currentIndex() < 0 ? 0 : combo->currentData().toInt();
    }
    return numbers;
}

}  // namespace qx
