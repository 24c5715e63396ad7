#include "ui/dialog_template.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "app/strings.h"
#include "ui/control_ids.h"

namespace qx {
namespace {

using K = ControlKind;
constexpr int N = kNoControlId;

// Below each row's port name, 1040 to 1043 show the port's path for the user to select or copy
// into a radio program. Below the rows, 1044 names the ports kept while their interface is away.
const DialogTemplate kStatusEnglish{
    kTemplateStatus,
    "Status",
    239,
    258,
    {
        {K::Label, N, "Interface:", 7, 8, 35, 8},
        {K::DropDownList, kInterfaceSelectorId, "", 48, 6, 186, 30},
        {K::GroupBox, N, "CAT port", 7, 25, 225, 51},
        {K::Label, 1013, "COMx", 22, 38, 76, 20},
        {K::Label, 1016, "is open by ...", 98, 38, 122, 8},
        {K::PushButton, 1024, "Add port...", 101, 36, 53, 12},
        {K::Label, 1019, "Current port parameters", 98, 51, 123, 8},
        {K::Label, 1040, "", 22, 63, 205, 8},
        {K::GroupBox, N, "PTT/CW port", 7, 80, 225, 57},
        {K::Label, 1014, "COMy", 22, 93, 76, 16},
        {K::Label, 1017, "is open by ...", 98, 94, 127, 8},
        {K::PushButton, 1025, "Add port...", 101, 92, 53, 12},
        {K::Label, 1022, "PTT=RTS", 63, 109, 35, 8},
        {K::PushButton, 1021, "Test", 101, 107, 30, 12},
        {K::Label, 1023, "CW=DTR", 150, 109, 33, 8},
        {K::PushButton, 1010, "Test", 185, 107, 30, 12},
        {K::Label, 1041, "", 22, 124, 205, 8},
        {K::GroupBox, N, "FSK port", 7, 141, 225, 51},
        {K::Label, 1015, "COMz", 22, 153, 76, 21},
        {K::Label, 1018, "is open by ...", 98, 153, 126, 8},
        {K::PushButton, 1026, "Add port...", 101, 151, 53, 12},
        {K::Label, 1020, "Current port parameters", 98, 166, 127, 8},
        {K::Label, 1042, "", 22, 179, 205, 8},
        {K::GroupBox, N, "WinKey port", 7, 196, 225, 39},
        {K::Label, 1032, "COMz", 22, 208, 76, 13},
        {K::Label, 1033, "is open by ...", 98, 209, 126, 8},
        {K::PushButton, 1034, "Add port...", 101, 207, 53, 12},
        {K::Label, 1043, "", 22, 222, 205, 8},
        {K::Label, 1044, "", 7, 239, 225, 16},
    }};

// The Japanese layouts give the wider Japanese labels more room.
const DialogTemplate kStatusJapanese{
    kTemplateStatus,
    "ステータス",
    239,
    258,
    {
        {K::Label, N, "インターフェース:", 7, 8, 62, 8},
        {K::DropDownList, kInterfaceSelectorId, "", 70, 6, 164, 30},
        {K::GroupBox, N, "CAT ポート", 7, 25, 225, 51},
        {K::Label, 1013, "COMx", 22, 38, 76, 20},
        {K::Label, 1016, "使用中のプログラム...", 98, 38, 122, 8},
        {K::PushButton, 1024, "ポートを追加...", 101, 36, 60, 12},
        {K::Label, 1019, "現在のポート設定", 98, 51, 123, 8},
        {K::Label, 1040, "", 22, 63, 205, 8},
        {K::GroupBox, N, "PTT/CW ポート", 7, 78, 225, 57},
        {K::Label, 1014, "COMy", 22, 91, 76, 16},
        {K::Label, 1017, "使用中のプログラム...", 98, 92, 127, 8},
        {K::PushButton, 1025, "ポートを追加...", 101, 90, 60, 12},
        {K::Label, 1022, "PTT=RTS", 63, 107, 35, 8},
        {K::PushButton, 1021, "テスト", 101, 105, 34, 12},
        {K::Label, 1023, "CW=DTR", 150, 107, 33, 8},
        {K::PushButton, 1010, "テスト", 185, 105, 34, 12},
        {K::Label, 1041, "", 22, 122, 205, 8},
        {K::GroupBox, N, "FSK ポート", 7, 136, 225, 51},
        {K::Label, 1015, "COMz", 22, 148, 76, 21},
        {K::Label, 1018, "使用中のプログラム...", 98, 148, 126, 8},
        {K::PushButton, 1026, "ポートを追加...", 101, 146, 60, 12},
        {K::Label, 1020, "現在のポート設定", 98, 161, 127, 8},
        {K::Label, 1042, "", 22, 174, 205, 8},
        {K::GroupBox, N, "WinKey ポート", 7, 189, 225, 39},
        {K::Label, 1032, "COMz", 22, 201, 76, 13},
        {K::Label, 1033, "使用中のプログラム...", 98, 202, 126, 8},
        {K::PushButton, 1034, "ポートを追加...", 101, 200, 60, 12},
        {K::Label, 1043, "", 22, 215, 205, 8},
        {K::Label, 1044, "", 7, 232, 225, 16},
    }};

// The check boxes and "Remove all ports now" are wide enough for common desktop fonts.
const DialogTemplate kPortsEnglish{
    kTemplatePorts,
    "Ports",
    239,
    200,
    {
        {K::Label, N, "Interface:", 7, 8, 35, 8},
        {K::DropDownList, kInterfaceSelectorId, "", 48, 6, 186, 30},
        {K::GroupBox, N, "Choose serial port numbers, then press Create/update", 6, 30, 228, 128},
        {K::Label, N, "CAT port:", 18, 50, 49, 8},
        {K::DropDownList, kPortListIds[kCat], "", 71, 48, 150, 272},
        {K::Label, N, "PTT/CW port:", 18, 70, 50, 8},
        {K::DropDownList, kPortListIds[kPttCw], "", 71, 68, 150, 259},
        {K::Label, N, "FSK port:", 18, 90, 48, 8},
        {K::DropDownList, kPortListIds[kFsk], "", 71, 88, 150, 278},
        {K::PushButton, 1024, "Create/update", 144, 138, 77, 12},
        {K::CheckBox, 1011, "Remove ports on device removal", 7, 166, 134, 10},
        {K::PushButton, 1025, "Remove all ports now", 143, 165, 88, 12},
        {K::CheckBox, 1013, "Ignore serial numbers", 7, 178, 134, 10},
        {K::Label, 1014, "", 17, 189, 214, 8},
        {K::DropDownList, kPortListIds[kWinKey], "", 71, 108, 150, 278},
        {K::Label, N, "WinKey port:", 19, 110, 48, 8},
    }};

const DialogTemplate kPortsJapanese{
    kTemplatePorts,
    "ポート",
    239,
    200,
    {
        {K::Label, N, "インターフェース:", 7, 8, 62, 8},
        {K::DropDownList, kInterfaceSelectorId, "", 70, 6, 164, 30},
        {K::GroupBox, N, "シリアルポート番号を選び、「作成/更新」を押してください", 6, 30, 228,
         128},
        {K::Label, N, "CAT ポート:", 18, 50, 52, 8},
        {K::DropDownList, kPortListIds[kCat], "", 74, 48, 147, 272},
        {K::Label, N, "PTT/CW ポート:", 18, 70, 54, 8},
        {K::DropDownList, kPortListIds[kPttCw], "", 74, 68, 147, 259},
        {K::Label, N, "FSK ポート:", 18, 90, 52, 8},
        {K::DropDownList, kPortListIds[kFsk], "", 74, 88, 147, 278},
        {K::PushButton, 1024, "作成/更新", 144, 138, 77, 12},
        {K::CheckBox, 1011, "装置を外したときにポートを削除する", 7, 166, 134, 10},
        {K::PushButton, 1025, "すべてのポートを削除", 144, 165, 77, 12},
        {K::CheckBox, 1013, "シリアル番号を無視する", 7, 178, 134, 10},
        {K::Label, 1014, "", 17, 189, 214, 8},
        {K::DropDownList, kPortListIds[kWinKey], "", 74, 108, 147, 278},
        {K::Label, N, "WinKey ポート:", 18, 110, 54, 8},
    }};

const DialogTemplate kSettingsEnglish{
    kTemplateSettings,
    "Settings",
    239,
    200,
    {
        {K::Label, N, "Interface:", 7, 8, 35, 8},
        {K::DropDownList, kInterfaceSelectorId, "", 48, 6, 186, 30},
        {K::GroupBox, N, "Interface settings", 6, 30, 228, 40},
        {K::CheckBox, 1011, "Invert FSK output", 18, 47, 73, 10},
        {K::GroupBox, N, "Program settings", 6, 77, 228, 42},
        {K::CheckBox, 1027, "Run QX Manager when the desktop session starts", 18, 95, 205, 10},
    }};

const DialogTemplate kSettingsJapanese{
    kTemplateSettings,
    "設定",
    239,
    200,
    {
        {K::Label, N, "インターフェース:", 7, 8, 62, 8},
        {K::DropDownList, kInterfaceSelectorId, "", 70, 6, 164, 30},
        {K::GroupBox, N, "インターフェースの設定", 6, 30, 228, 40},
        {K::CheckBox, 1011, "FSK 出力を反転する", 18, 47, 100, 10},
        {K::GroupBox, N, "プログラムの設定", 6, 77, 228, 42},
        {K::CheckBox, 1027, "デスクトップのセッション開始時に QX Manager を起動する", 18, 95, 205,
         10},
    }};

QWidget* MakeControl(const ControlTemplate& control, QWidget* page) {
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
    case ControlKind::Label: {
        auto* label = new QLabel(text, page);
        // Labels show names of other programs' files: never interpret them as markup.
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case ControlKind::DropDownList: return new QComboBox(page);
    case ControlKind::GroupBox: return new QGroupBox(text, page);
    case ControlKind::PushButton: return new QPushButton(text, page);
    case ControlKind::CheckBox: return new QCheckBox(text, page);
    }
    return nullptr;
}

}  // namespace

const DialogTemplate* FindDialogTemplate(int templateId, int language) {
    const bool japanese = language == kLangJapanese;
    switch (templateId) {
    case kTemplateStatus: return japanese ? &kStatusJapanese : &kStatusEnglish;
    case kTemplatePorts: return japanese ? &kPortsJapanese : &kPortsEnglish;
    case kTemplateSettings: return japanese ? &kSettingsJapanese : &kSettingsEnglish;
    default: return nullptr;
    }
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabetWidth = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = std::max(1, (alphabetWidth / 26 + 1) / 2);  // the rounded average character width
    baseY_ = std::max(1, metrics.height());
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
}

void BuildDialog(QWidget* page, const DialogTemplate& dialog) {
    const DialogUnits units(page->font());
    page->setFixedSize(units.X(dialog.width), units.Y(dialog.height));
    for (const ControlTemplate& control : dialog.controls) {
        QWidget* widget = MakeControl(control, page);
        QRect place = units.Rect(control.x, control.y, control.width, control.height);
        if (control.kind == ControlKind::DropDownList) place.setHeight(widget->sizeHint().height());
        widget->setGeometry(place);
        if (control.id != kNoControlId) SetControlId(widget, control.id);
    }
}

}  // namespace qx
