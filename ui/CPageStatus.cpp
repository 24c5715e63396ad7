#include "ui/CPageStatus.h"

#include <QClipboard>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include "app/port_component.h"
#include "app/string_ids.h"
#include "app/strings.h"
#include "ui/CInterfaceManagerDlg.h"
#include "ui/control_ids.h"
#include "ui/dialog_template.h"

namespace qx {
namespace {

// Control ids per channel, in channel order.
constexpr std::array<int, kChannelCount> kPortNameIds{1013, 1014, 1015, 1032};
constexpr std::array<int, kChannelCount> kHolderIds{1016, 1017, 1018, 1033};
constexpr std::array<int, kChannelCount> kAddPortIds{1024, 1025, 1026, 1034};
constexpr std::array<int, kChannelCount> kPathIds{1040, 1041, 1042, 1043};
constexpr std::array<int, 2> kParameterIds{1019, 1020};  // CAT, FSK
constexpr std::array<int, 4> kTestControlIds{1022, 1021, 1023, 1010};
constexpr int kWaitingPortsLabel = 1044;
constexpr int kPttTestButton = 1021;
constexpr int kCwTestButton = 1010;

// A text of the string table with its "%s" replaced by a channel's title.
QString ForChannel(int textId, const char* title) {
    return QString::fromStdString(FormatTexts(LoadLocalizedString(textId), {title}));
}

StatusStrings LoadStatusStrings() {
    return {
        LoadLocalizedString(kStrNotSelected),         LoadLocalizedString(kStrIsOpenBy),
        LoadLocalizedString(kStrParameters),          LoadLocalizedString(kStrCannotCreatePort),
        LoadLocalizedString(kStrNotOpenByAnyProgram), LoadLocalizedString(kStrBaud),
        LoadLocalizedString(kStrBytesDropped),        LoadLocalizedString(kStrWaitingForInterface),
        LoadLocalizedString(kStrKeyingUnguarded)};
}

void SetVisible(QWidget* control, std::optional<bool> visible) {
    if (visible) control->setVisible(*visible);
}

}  // namespace

CPageStatus::CPageStatus(CInterfaceManagerDlg* owner) : m_owner(owner) {
    m_interfaceCombo = m_owner->BuildPage(this, kTemplateStatus);
    EnlargePortNameFont();

    NameButtons();

    connect(FindControl<QPushButton>(this, kPttTestButton), &QPushButton::clicked, this,
            [this] { m_owner->StartPttTest(m_interfaceCombo->currentIndex()); });
    connect(FindControl<QPushButton>(this, kCwTestButton), &QPushButton::clicked, this,
            [this] { m_owner->StartCwTest(m_interfaceCombo->currentIndex()); });
    for (Channel channel : kAllChannels) {
        connect(FindControl<QPushButton>(this, kAddPortIds[channel]), &QPushButton::clicked, this,
                [this, channel] { m_owner->OpenPortChoice(channel); });
        FindControl<QLabel>(this, kPathIds[channel])
            ->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        for (int id : {kPortNameIds[channel], kHolderIds[channel], kPathIds[channel]})
            AddRowMenu(FindControl(this, id), channel);
    }
}

// The four "Add port..." and the two "Test" buttons look alike; a screen reader tells them apart
// by the channel they are for.
void CPageStatus::NameButtons() {
    for (Channel channel : kAllChannels) {
        FindControl(this, kAddPortIds[channel])
            ->setAccessibleName(ForChannel(kStrAddPortFor, ChannelTitle(channel)));
    }
    FindControl(this, kPttTestButton)->setAccessibleName(ForChannel(kStrTestOf, "PTT"));
    FindControl(this, kCwTestButton)->setAccessibleName(ForChannel(kStrTestOf, "CW"));
}

QString CPageStatus::PortPath(Channel channel) const {
    return FindControl<QLabel>(this, kPathIds[channel])->text();
}

void CPageStatus::CopyPath(Channel channel) const {
    QGuiApplication::clipboard()->setText(PortPath(channel));
}

// The row's context menu: "Copy path", offered while the port exists.
void CPageStatus::AddRowMenu(QWidget* control, Channel channel) {
    control->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(control, &QWidget::customContextMenuRequested, this,
            [this, control, channel](const QPoint& position) {
                QMenu menu;
                QAction* copy =
                    menu.addAction(QString::fromStdString(LoadLocalizedString(kStrCopyPath)),
                                   [this, channel] { CopyPath(channel); });
                copy->setEnabled(!PortPath(channel).isEmpty());
                menu.exec(control->mapToGlobal(position));
            });
}

// The port names are what the user types into a radio program, so they stand out.
void CPageStatus::EnlargePortNameFont() {
    QFont font = FindControl<QLabel>(this, kPortNameIds[kCat])->font();
    font.setPixelSize(EnlargedFontHeight(QFontInfo(font).pixelSize()));
    for (int id : kPortNameIds) FindControl<QLabel>(this, id)->setFont(font);
}

void CPageStatus::Refresh() {
    StatusPageInput input = ReadStatusInput(m_owner->Manager().Link(m_owner->Selected()));
    input.waiting = ReadWaitingPorts(m_owner->Manager().provisioning);
    const KeyingPorts keying = m_owner->PortClass().Keying();
    input.keying = keying.state;
    input.keyingText = KeyingPortsText(keying);
    Apply(ComputeStatusPage(input, LoadStatusStrings()), input);
}

void CPageStatus::Apply(const StatusPageView& view, const StatusPageInput& input) {
    const std::string portsDirectory = m_owner->PortClass().PortsDirectory();
    for (Channel channel : kAllChannels) {
        auto* name = FindControl<QLabel>(this, kPortNameIds[channel]);
        name->setText(QString::fromStdString(view.portNames[channel]));
        // The full path of a live port is what a radio program is pointed at.
        const QString path =
            QString::fromStdString(PortPathText(input.channels[channel], portsDirectory));
        name->setToolTip(path);
        auto* pathLine = FindControl<QLabel>(this, kPathIds[channel]);
        pathLine->setText(path);
        // A path is a Tab stop while there is one, to select and copy without a mouse.
        pathLine->setFocusPolicy(path.isEmpty() ? Qt::NoFocus : Qt::StrongFocus);
        // The tooltip shows all of a line too long for its place.
        auto* holder = FindControl<QLabel>(this, kHolderIds[channel]);
        holder->setText(QString::fromStdString(view.holderLines[channel]));
        holder->setToolTip(holder->text());
        SetVisible(FindControl(this, kHolderIds[channel]), view.holderVisible[channel]);
        SetVisible(FindControl(this, kAddPortIds[channel]), view.addPortVisible[channel]);
    }
    for (int slot = 0; slot < 2; ++slot) {
        FindControl<QLabel>(this, kParameterIds[slot])
            ->setText(QString::fromStdString(view.parameterLines[slot]));
        SetVisible(FindControl(this, kParameterIds[slot]), view.parameterVisible[slot]);
    }
    for (int id : kTestControlIds) SetVisible(FindControl(this, id), view.testControlsVisible);
    auto* waiting = FindControl<QLabel>(this, kWaitingPortsLabel);
    waiting->setText(QString::fromStdString(view.waitingText));
    waiting->setVisible(!view.waitingText.empty());
    for (Channel channel : kAllChannels) DescribeRow(channel);
}

// A screen reader reads each row as one sentence: the channel and its port, who holds it (and
// why it cannot key), its parameters. Assistive technology hears of every change of it, as a
// sighted user sees the row change.
void CPageStatus::DescribeRow(Channel channel) {
    const auto* name = FindControl<QLabel>(this, kPortNameIds[channel]);
    auto* row = qobject_cast<QGroupBox*>(name->parentWidget());
    QString sentence = row->title() + ": " + name->text();
    const auto* holder = FindControl<QLabel>(this, kHolderIds[channel]);
    if (!holder->isHidden()) sentence += " " + holder->text();
    if (channel == kCat || channel == kFsk) {
        const auto* parameters = FindControl<QLabel>(this, kParameterIds[channel == kCat ? 0 : 1]);
        if (!parameters->isHidden() && !parameters->text().isEmpty())
            sentence += ", " + parameters->text();
    }
    if (row->accessibleDescription() != sentence) row->setAccessibleDescription(sentence);
}

}  // namespace qx
