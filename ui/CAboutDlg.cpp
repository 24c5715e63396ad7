#include "ui/CAboutDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/strings.h"
#include "app/version.h"
#include "ui/control_ids.h"
#include "ui/program_icon.h"

namespace qx {

namespace {
constexpr int kAboutTextId = 1000;
constexpr int kOkId = 1;
constexpr int kProgramTitle = 102;
}  // namespace

CAboutDlg::CAboutDlg(const IVSPortAxClass& portClass, QWidget* parent) : QDialog(parent) {
    const bool japanese = WindowLanguage() == kLangJapanese;
    setWindowTitle(japanese ? QStringLiteral("QX Manager のバージョン情報")
                            : QStringLiteral("About QX Manager"));
    setWindowIcon(ProgramIcon());

    auto* text = new QLabel(AboutText(), this);
    SetControlId(text, kAboutTextId);
    auto* component = new QLabel(
        PortComponentText(portClass) + "\n" + SchedulingText(LastSchedulingOutcome()), this);
    component->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    SetControlId(buttons->button(QDialogButtonBox::Ok), kOkId);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(component);
    layout->addWidget(buttons, 0, Qt::AlignHCenter);
}

QString CAboutDlg::AboutText() {
    return QString::fromStdString(LoadLocalizedString(kProgramTitle)) + " " +
           QString::fromStdString(GetVersionText()) + "  (" + BuildDate() + ")";
}

QString CAboutDlg::BuildDate() { return QStringLiteral(QX_BUILD_DATE); }

QString CAboutDlg::PortComponentText(const IVSPortAxClass& portClass) {
    const QString kind = QString::fromStdString(portClass.Kind());
    const QString directory = QString::fromStdString(portClass.PortsDirectory());
    if (WindowLanguage() == kLangJapanese) {
        return QStringLiteral("仮想ポート: %1 (%2)").arg(kind, directory);
    }
    return QStringLiteral("Virtual ports: %1, published in %2").arg(kind, directory);
}

QString CAboutDlg::SchedulingText(const SchedulingOutcome& outcome) {
    const bool japanese = WindowLanguage() == kLangJapanese;
    QString text;
    switch (outcome.scheduling) {
    case Scheduling::kNotAsked:
        return japanese ? QStringLiteral("リンク: 未起動")
                        : QStringLiteral("Link workers: none started yet");
    case Scheduling::kFifo:
        text = japanese ? QStringLiteral("リンク: リアルタイム (SCHED_FIFO)")
                        : QStringLiteral("Link workers: real-time (SCHED_FIFO)");
        break;
    case Scheduling::kRealtimeKit:
        text = japanese ? QStringLiteral("リンク: リアルタイム (RealtimeKit)")
                        : QStringLiteral("Link workers: real-time (RealtimeKit)");
        break;
    case Scheduling::kNormal:
        text = (japanese ? QStringLiteral("リンク: 通常優先度 (%1)")
                         : QStringLiteral("Link workers: normal priority (%1)"))
                   .arg(QString::fromStdString(outcome.refusal));
        break;
    }
    if (outcome.minimalTimerSlack)
        text += japanese ? QStringLiteral("、タイマースラック 1 ns")
                         : QStringLiteral(", timer slack 1 ns");
    return text;
}

}  // namespace qx
