#include "ui/dialog_template.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <map>

#include "app/strings.h"
#include "ui/accessibility.h"
#include "ui/control_ids.h"

namespace qx {
namespace {

using K = ControlKind;
constexpr int N = kNoControlId;

constexpr Qt::Alignment kRight = Qt::AlignRight;

// The tables keep one control to a line.
// clang-format off

// Below each row's port name, 1040 to 1043 show the port's path for the user to select or copy
// into a radio program. In each row the holder line and "Add port..." share a cell. Below the
// rows, 1044 names the ports kept while their interface is away.
const DialogTemplate kStatusEnglish{
    kTemplateStatus,
    "Status",
    239,
    258,
    {
        {K::Label, N, "&Interface:", 7, 8, 35, 8, {0, 0}},
        {K::DropDownList, kInterfaceSelectorId, "", 48, 6, 186, 30, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, "CAT port", 7, 25, 225, 51, {1, 0, 1, kToEnd}},
        {K::Label, 1013, "COMx", 22, 38, 76, 20, {0, 0, 2}},
        {K::Label, 1016, "is open by ...", 98, 38, 122, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1024, "&Add port...", 101, 36, 53, 12, {0, 1}},
        {K::Label, 1019, "Current port parameters", 98, 51, 123, 8, {1, 1, 1, kToEnd}},
        {K::Label, 1040, "", 22, 63, 205, 8, {2, 0, 1, kToEnd}},
        {K::GroupBox, N, "PTT/CW port", 7, 80, 225, 57, {2, 0, 1, kToEnd}},
        {K::Label, 1014, "COMy", 22, 93, 76, 16, {0, 0}},
        {K::Label, 1017, "is open by ...", 98, 94, 127, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1025, "&Add port...", 101, 92, 53, 12, {0, 1}},
        {K::Label, 1022, "PTT=RTS", 63, 109, 35, 8, {1, 0, 1, 1, kRight}},
        {K::PushButton, 1021, "&Test", 101, 107, 30, 12, {1, 1}},
        {K::Label, 1023, "CW=DTR", 150, 109, 33, 8, {1, 2}},
        {K::PushButton, 1010, "&Test", 185, 107, 30, 12, {1, 3}},
        {K::Label, 1041, "", 22, 124, 205, 8, {2, 0, 1, kToEnd}},
        {K::GroupBox, N, "FSK port", 7, 141, 225, 51, {3, 0, 1, kToEnd}},
        {K::Label, 1015, "COMz", 22, 153, 76, 21, {0, 0, 2}},
        {K::Label, 1018, "is open by ...", 98, 153, 126, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1026, "&Add port...", 101, 151, 53, 12, {0, 1}},
        {K::Label, 1020, "Current port parameters", 98, 166, 127, 8, {1, 1, 1, kToEnd}},
        {K::Label, 1042, "", 22, 179, 205, 8, {2, 0, 1, kToEnd}},
        {K::GroupBox, N, "WinKey port", 7, 196, 225, 39, {4, 0, 1, kToEnd}},
        {K::Label, 1032, "COMz", 22, 208, 76, 13, {0, 0}},
        {K::Label, 1033, "is open by ...", 98, 209, 126, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1034, "&Add port...", 101, 207, 53, 12, {0, 1}},
        {K::Label, 1043, "", 22, 222, 205, 8, {1, 0, 1, kToEnd}},
        {K::Label, 1044, "", 7, 239, 225, 16, {5, 0, 1, kToEnd}},
    }};

// The Japanese layouts give the wider Japanese labels more room.
const DialogTemplate kStatusJapanese{
    kTemplateStatus,
    "ステータス",
    239,
    258,
    {
        {K::Label, N, "インターフェース(&I):", 7, 8, 62, 8, {0, 0}},
        {K::DropDownList, kInterfaceSelectorId, "", 70, 6, 164, 30, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, "CAT ポート", 7, 25, 225, 51, {1, 0, 1, kToEnd}},
        {K::Label, 1013, "COMx", 22, 38, 76, 20, {0, 0, 2}},
        {K::Label, 1016, "使用中のプログラム...", 98, 38, 122, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1024, "ポートを追加(&A)...", 101, 36, 60, 12, {0, 1}},
        {K::Label, 1019, "現在のポート設定", 98, 51, 123, 8, {1, 1, 1, kToEnd}},
        {K::Label, 1040, "", 22, 63, 205, 8, {2, 0, 1, kToEnd}},
        {K::GroupBox, N, "PTT/CW ポート", 7, 78, 225, 57, {2, 0, 1, kToEnd}},
        {K::Label, 1014, "COMy", 22, 91, 76, 16, {0, 0}},
        {K::Label, 1017, "使用中のプログラム...", 98, 92, 127, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1025, "ポートを追加(&A)...", 101, 90, 60, 12, {0, 1}},
        {K::Label, 1022, "PTT=RTS", 63, 107, 35, 8, {1, 0, 1, 1, kRight}},
        {K::PushButton, 1021, "テスト(&T)", 101, 105, 34, 12, {1, 1}},
        {K::Label, 1023, "CW=DTR", 150, 107, 33, 8, {1, 2}},
        {K::PushButton, 1010, "テスト(&T)", 185, 105, 34, 12, {1, 3}},
        {K::Label, 1041, "", 22, 122, 205, 8, {2, 0, 1, kToEnd}},
        {K::GroupBox, N, "FSK ポート", 7, 136, 225, 51, {3, 0, 1, kToEnd}},
        {K::Label, 1015, "COMz", 22, 148, 76, 21, {0, 0, 2}},
        {K::Label, 1018, "使用中のプログラム...", 98, 148, 126, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1026, "ポートを追加(&A)...", 101, 146, 60, 12, {0, 1}},
        {K::Label, 1020, "現在のポート設定", 98, 161, 127, 8, {1, 1, 1, kToEnd}},
        {K::Label, 1042, "", 22, 174, 205, 8, {2, 0, 1, kToEnd}},
        {K::GroupBox, N, "WinKey ポート", 7, 189, 225, 39, {4, 0, 1, kToEnd}},
        {K::Label, 1032, "COMz", 22, 201, 76, 13, {0, 0}},
        {K::Label, 1033, "使用中のプログラム...", 98, 202, 126, 8, {0, 1, 1, kToEnd}},
        {K::PushButton, 1034, "ポートを追加(&A)...", 101, 200, 60, 12, {0, 1}},
        {K::Label, 1043, "", 22, 215, 205, 8, {1, 0, 1, kToEnd}},
        {K::Label, 1044, "", 7, 232, 225, 16, {5, 0, 1, kToEnd}},
    }};

// The check boxes and "Remove all ports now" are wide enough for common desktop fonts. The
// WinKey list follows the FSK list, as on the screen, so Tab reaches it in that order.
const DialogTemplate kPortsEnglish{
    kTemplatePorts,
    "Ports",
    239,
    200,
    {
        {K::Label, N, "&Interface:", 7, 8, 35, 8, {0, 0}},
        {K::DropDownList, kInterfaceSelectorId, "", 48, 6, 186, 30, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, "Choose serial port numbers, then press Create/update", 6, 30, 228, 128,
         {1, 0, 1, kToEnd}},
        {K::Label, N, "CA&T port:", 18, 50, 49, 8, {0, 0}},
        {K::DropDownList, kPortListIds[kCat], "", 71, 48, 150, 272, {0, 1, 1, kToEnd}},
        {K::Label, N, "PTT/C&W port:", 18, 70, 50, 8, {1, 0}},
        {K::DropDownList, kPortListIds[kPttCw], "", 71, 68, 150, 259, {1, 1, 1, kToEnd}},
        {K::Label, N, "&FSK port:", 18, 90, 48, 8, {2, 0}},
        {K::DropDownList, kPortListIds[kFsk], "", 71, 88, 150, 278, {2, 1, 1, kToEnd}},
        {K::Label, N, "Win&Key port:", 19, 110, 48, 8, {3, 0}},
        {K::DropDownList, kPortListIds[kWinKey], "", 71, 108, 150, 278, {3, 1, 1, kToEnd}},
        {K::PushButton, 1024, "&Create/update", 144, 138, 77, 12, {4, 1, 1, kToEnd, kRight}},
        {K::CheckBox, 1011, "Remove ports on &device removal", 7, 166, 134, 10, {2, 0, 1, 2}},
        {K::PushButton, 1025, "&Remove all ports now", 143, 165, 88, 12, {2, 2, 1, kToEnd, kRight}},
        {K::CheckBox, 1013, "I&gnore serial numbers", 7, 178, 134, 10, {3, 0, 1, kToEnd}},
        {K::Label, 1014, "", 17, 189, 214, 8, {4, 0, 1, kToEnd}},
    }};

const DialogTemplate kPortsJapanese{
    kTemplatePorts,
    "ポート",
    239,
    200,
    {
        {K::Label, N, "インターフェース(&I):", 7, 8, 62, 8, {0, 0}},
        {K::DropDownList, kInterfaceSelectorId, "", 70, 6, 164, 30, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, "シリアルポート番号を選び、「作成/更新」を押してください", 6, 30, 228,
         128, {1, 0, 1, kToEnd}},
        {K::Label, N, "CAT ポート(&T):", 18, 50, 52, 8, {0, 0}},
        {K::DropDownList, kPortListIds[kCat], "", 74, 48, 147, 272, {0, 1, 1, kToEnd}},
        {K::Label, N, "PTT/CW ポート(&W):", 18, 70, 54, 8, {1, 0}},
        {K::DropDownList, kPortListIds[kPttCw], "", 74, 68, 147, 259, {1, 1, 1, kToEnd}},
        {K::Label, N, "FSK ポート(&F):", 18, 90, 52, 8, {2, 0}},
        {K::DropDownList, kPortListIds[kFsk], "", 74, 88, 147, 278, {2, 1, 1, kToEnd}},
        {K::Label, N, "WinKey ポート(&K):", 18, 110, 54, 8, {3, 0}},
        {K::DropDownList, kPortListIds[kWinKey], "", 74, 108, 147, 278, {3, 1, 1, kToEnd}},
        {K::PushButton, 1024, "作成/更新(&C)", 144, 138, 77, 12, {4, 1, 1, kToEnd, kRight}},
        {K::CheckBox, 1011, "装置を外したときにポートを削除する(&D)", 7, 166, 134, 10, {2, 0, 1, 2}},
        {K::PushButton, 1025, "すべてのポートを削除(&R)", 144, 165, 77, 12,
         {2, 2, 1, kToEnd, kRight}},
        {K::CheckBox, 1013, "シリアル番号を無視する(&G)", 7, 178, 134, 10, {3, 0, 1, kToEnd}},
        {K::Label, 1014, "", 17, 189, 214, 8, {4, 0, 1, kToEnd}},
    }};

const DialogTemplate kSettingsEnglish{
    kTemplateSettings,
    "Settings",
    239,
    200,
    {
        {K::Label, N, "&Interface:", 7, 8, 35, 8, {0, 0}},
        {K::DropDownList, kInterfaceSelectorId, "", 48, 6, 186, 30, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, "Interface settings", 6, 30, 228, 40, {1, 0, 1, kToEnd}},
        {K::CheckBox, 1011, "In&vert FSK output", 18, 47, 73, 10, {0, 0}},
        {K::GroupBox, N, "Program settings", 6, 77, 228, 42, {2, 0, 1, kToEnd}},
        {K::CheckBox, 1027, "&Run QX Manager when the desktop session starts", 18, 95, 205, 10,
         {0, 0}},
    }};

const DialogTemplate kSettingsJapanese{
    kTemplateSettings,
    "設定",
    239,
    200,
    {
        {K::Label, N, "インターフェース(&I):", 7, 8, 62, 8, {0, 0}},
        {K::DropDownList, kInterfaceSelectorId, "", 70, 6, 164, 30, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, "インターフェースの設定", 6, 30, 228, 40, {1, 0, 1, kToEnd}},
        {K::CheckBox, 1011, "FSK 出力を反転する(&V)", 18, 47, 100, 10, {0, 0}},
        {K::GroupBox, N, "プログラムの設定", 6, 77, 228, 42, {2, 0, 1, kToEnd}},
        {K::CheckBox, 1027, "デスクトップのセッション開始時に QX Manager を起動する(&R)", 18, 95,
         205, 10, {0, 0}},
    }};

// clang-format on

// Labels with an id show sentences that change (a holder, parameters, a path, a note), so they
// wrap their words rather than lose the end; captions keep to one line.
QWidget* MakeControl(const ControlTemplate& control, QWidget* parent) {
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
    case ControlKind::Label: {
        auto* label = new QLabel(text, parent);
        // Labels show names of other programs' files: never interpret them as markup.
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(control.id != kNoControlId);
        return label;
    }
    case ControlKind::DropDownList: return new QComboBox(parent);
    case ControlKind::GroupBox: return new QGroupBox(text, parent);
    case ControlKind::PushButton: return new QPushButton(text, parent);
    case ControlKind::CheckBox: return new QCheckBox(text, parent);
    }
    return nullptr;
}

// The group box of the template whose rectangle holds the control's top-left corner.
const ControlTemplate* GroupOf(const ControlTemplate& control, const DialogTemplate& dialog) {
    for (const ControlTemplate& box : dialog.controls) {
        if (box.kind == ControlKind::GroupBox && &box != &control &&
            QRect(box.x, box.y, box.width, box.height).contains(control.x, control.y))
            return &box;
    }
    return nullptr;
}

// A button keeps its own width rather than stretch across its cell.
Qt::Alignment AlignmentOf(const ControlTemplate& control) {
    if (control.cell.alignment) return control.cell.alignment;
    if (control.kind == ControlKind::PushButton) return Qt::AlignLeft | Qt::AlignVCenter;
    return {};
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
    auto* pageGrid = new QGridLayout(page);
    std::map<const ControlTemplate*, QGridLayout*> groupGrids;
    QLabel* caption = nullptr;
    for (const ControlTemplate& control : dialog.controls) {
        const ControlTemplate* group = GroupOf(control, dialog);
        QGridLayout* grid = group != nullptr ? groupGrids.at(group) : pageGrid;
        QWidget* widget = MakeControl(control, grid->parentWidget());
        const Cell& cell = control.cell;
        grid->addWidget(widget, cell.row, cell.column, cell.rowSpan, cell.columnSpan,
                        AlignmentOf(control));
        // A column is at least as wide as its controls were in the classic layout, and wider
        // where a text needs it.
        if (cell.columnSpan == 1) {
            grid->setColumnMinimumWidth(cell.column, std::max(grid->columnMinimumWidth(cell.column),
                                                              units.X(control.width)));
        }
        if (control.id != kNoControlId) SetControlId(widget, control.id);
        if (control.kind == ControlKind::GroupBox) groupGrids[&control] = new QGridLayout(widget);
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            button->setAccessibleName(SpokenText(button->text()));
        if (caption != nullptr) {
            caption->setBuddy(widget);
            widget->setAccessibleName(SpokenText(caption->text()));
        }
        caption = control.kind == ControlKind::Label && control.id == kNoControlId
                      ? static_cast<QLabel*>(widget)
                      : nullptr;
    }
    // Spare width goes to an empty last column, which controls spanning to the end share; spare
    // height goes below the last row.
    for (const auto& [group, grid] : groupGrids) grid->setColumnStretch(grid->columnCount(), 1);
    pageGrid->setColumnStretch(pageGrid->columnCount(), 1);
    pageGrid->setRowStretch(pageGrid->rowCount(), 1);
    // The page is never smaller than the classic layout, and larger where its texts need it: an
    // empty item over the whole grid asks for the classic size, which the last row and column
    // give.
    const QMargins margins = pageGrid->contentsMargins();
    pageGrid->addItem(new QSpacerItem(units.X(dialog.width) - margins.left() - margins.right(),
                                      units.Y(dialog.height) - margins.top() - margins.bottom()),
                      0, 0, pageGrid->rowCount(), pageGrid->columnCount());
}

}  // namespace qx
