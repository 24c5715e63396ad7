#include "ui/CAboutDlg.h"

#include <QDate>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/string_ids.h"
#include "app/strings.h"
#include "app/version.h"
#include "ui/control_ids.h"
#include "ui/program_icon.h"

namespace qx {

namespace {
constexpr int kAboutTextId = 1000;
constexpr int kOkId = 1;
constexpr int kProgramTitle = 102;
constexpr int kIconSize = 64;
constexpr const char* kProjectAddress = "https://halvorn.com/qx-manager";
}  // namespace

CAboutDlg::CAboutDlg(const IVSPortAxClass& portClass, QWidget* parent) : QDialog(parent) {
    const bool japanese = WindowLanguage() == kLangJapanese;
    setWindowTitle(japanese ? QStringLiteral("QX Manager のバージョン情報")
                            : QStringLiteral("About QX Manager"));
    setWindowIcon(ProgramIcon());

    auto* icon = new QLabel(this);
    icon->setPixmap(ProgramIcon().pixmap(kIconSize, kIconSize));
    icon->setAccessibleName(QString::fromStdString(LoadLocalizedString(kStrTitle)));
    auto* text = new QLabel(AboutText(), this);
    SetControlId(text, kAboutTextId);
    auto* licence = new QLabel(LicenceText(), this);
    licence->setOpenExternalLinks(true);
    licence->setWordWrap(true);
    auto* component = new QLabel(
        PortComponentText(portClass) + "\n" + SchedulingText(LastSchedulingOutcome()), this);
    component->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    SetControlId(buttons->button(QDialogButtonBox::Ok), kOkId);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    layout->addWidget(text);
    layout->addWidget(licence);
    layout->addWidget(component);
    layout->addWidget(buttons, 0, Qt::AlignHCenter);
}

QString CAboutDlg::AboutText() {
    return QString::fromStdString(LoadLocalizedString(kProgramTitle)) + " " +
           QString::fromStdString(GetVersionText()) + "  (" + BuildDate() + ")";
}

QString CAboutDlg::BuildDate() {
    const QDate date = QDate::fromString(QString::fromStdString(GetBuildDate()), Qt::ISODate);
    if (WindowLanguage() == kLangJapanese) return date.toString(QStringLiteral("yyyy年M月d日"));
    return QLocale(QLocale::English).toString(date, QStringLiteral("MMM dd yyyy"));
}

QString CAboutDlg::LicenceText() {
    return QString::fromUtf8(CompiledString(WindowLanguage(), kStrLicence)) +
           QStringLiteral("<br><a href=\"%1\">%1</a>").arg(QLatin1String(kProjectAddress));
}

// The component's kind in the window language: the Japanese box names it in Japanese too.
QString CAboutDlg::PortKindText(const std::string& kind) {
    if (WindowLanguage() != kLangJapanese) return QString::fromStdString(kind);
    if (kind == "pseudo-terminal") return QStringLiteral("疑似端末");
    if (kind.rfind("CUSE", 0) == 0) return QStringLiteral("CUSE キャラクター デバイス");
    return QString::fromStdString(kind);
}

QString CAboutDlg::PortComponentText(const IVSPortAxClass& portClass) {
    const QString kind = PortKindText(portClass.Kind());
    const QString directory = QString::fromStdString(portClass.PortsDirectory());
    if (WindowLanguage() == kLangJapanese) {
        return QStringLiteral("仮想ポート: %1 (%2)").arg(kind, directory);
    }
    return QStringLiteral("Virtual ports: %1, published in %2").arg(kind, directory);
}

// Whether the link workers got the priority that keeps keying on time, in plain words; a refusal
// keeps its cause.
QString CAboutDlg::SchedulingText(const SchedulingOutcome& outcome) {
    const bool japanese = WindowLanguage() == kLangJapanese;
    QString text;
    switch (outcome.scheduling) {
    case Scheduling::kNotAsked:
        return japanese ? QStringLiteral("リアルタイム優先度: まだ要求していません")
                        : QStringLiteral("Real-time priority: not requested yet");
    case Scheduling::kFifo:
        text = japanese ? QStringLiteral("リアルタイム優先度: 許可されました")
                        : QStringLiteral("Real-time priority: granted");
        break;
    case Scheduling::kRealtimeKit:
        text = japanese ? QStringLiteral("リアルタイム優先度: システムにより許可されました")
                        : QStringLiteral("Real-time priority: granted by the system");
        break;
    case Scheduling::kNormal:
        text = (japanese ? QStringLiteral("リアルタイム優先度: 許可されませんでした (%1)")
                         : QStringLiteral("Real-time priority: not granted (%1)"))
                   .arg(QString::fromStdString(outcome.refusal));
        break;
    }
    if (outcome.minimalTimerSlack)
        text += japanese ? QStringLiteral("、正確なタイマー: 有効")
                         : QStringLiteral("; precise timers: on");
    return text;
}

}  // namespace qx
