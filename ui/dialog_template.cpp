#include "ui/dialog_template.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <functional>

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
const DialogTemplate kStatus{
    kTemplateStatus,
    300,  // Status
    239,
    258,
    {
        {K::Label, N, 301, 62, {0, 0}},  // &Interface:
        {K::DropDownList, kInterfaceSelectorId, 0, 0, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, 302, 0, {1, 0, 1, kToEnd},  // CAT port
         {
            {K::Label, 1013, 303, 76, {0, 0, 2}},  // COMx
            {K::Label, 1016, 304, 0, {0, 1, 1, kToEnd}},  // is open by ...
            {K::PushButton, 1024, 305, 60, {0, 1}},  // &Add port...
            {K::Label, 1019, 306, 0, {1, 1, 1, kToEnd}},  // Current port parameters
            {K::Label, 1040, 0, 0, {2, 0, 1, kToEnd}},
         }},
        {K::GroupBox, N, 307, 0, {2, 0, 1, kToEnd},  // PTT/CW port
         {
            {K::Label, 1014, 308, 76, {0, 0}},  // COMy
            {K::Label, 1017, 304, 0, {0, 1, 1, kToEnd}},  // is open by ...
            {K::PushButton, 1025, 305, 60, {0, 1}},  // &Add port...
            {K::Label, 1022, 309, 35, {1, 0, 1, 1, kRight}},  // PTT=RTS
            {K::PushButton, 1021, 310, 34, {1, 1}},  // &Test
            {K::Label, 1023, 311, 33, {1, 2}},  // CW=DTR
            {K::PushButton, 1010, 310, 34, {1, 3}},  // &Test
            {K::Label, 1041, 0, 0, {2, 0, 1, kToEnd}},
         }},
        {K::GroupBox, N, 312, 0, {3, 0, 1, kToEnd},  // FSK port
         {
            {K::Label, 1015, 313, 76, {0, 0, 2}},  // COMz
            {K::Label, 1018, 304, 0, {0, 1, 1, kToEnd}},  // is open by ...
            {K::PushButton, 1026, 305, 60, {0, 1}},  // &Add port...
            {K::Label, 1020, 306, 0, {1, 1, 1, kToEnd}},  // Current port parameters
            {K::Label, 1042, 0, 0, {2, 0, 1, kToEnd}},
         }},
        {K::GroupBox, N, 314, 0, {4, 0, 1, kToEnd},  // WinKey port
         {
            {K::Label, 1032, 313, 76, {0, 0}},  // COMz
            {K::Label, 1033, 304, 0, {0, 1, 1, kToEnd}},  // is open by ...
            {K::PushButton, 1034, 305, 60, {0, 1}},  // &Add port...
            {K::Label, 1043, 0, 0, {1, 0, 1, kToEnd}},
         }},
        {K::Label, 1044, 0, 0, {5, 0, 1, kToEnd}},
    }};

// The WinKey list follows the FSK list, as on the screen, so Tab reaches it in that order.
const DialogTemplate kPorts{
    kTemplatePorts,
    315,  // Ports
    239,
    200,
    {
        {K::Label, N, 301, 62, {0, 0}},  // &Interface:
        {K::DropDownList, kInterfaceSelectorId, 0, 0, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, 316, 0, {1, 0, 1, kToEnd},  // Choose serial port numbers, then press Create/update
         {
            {K::Label, N, 317, 52, {0, 0}},  // CA&T port:
            {K::DropDownList, kPortListIds[kCat], 0, 0, {0, 1, 1, kToEnd}},
            {K::Label, N, 318, 54, {1, 0}},  // PTT/C&W port:
            {K::DropDownList, kPortListIds[kPttCw], 0, 0, {1, 1, 1, kToEnd}},
            {K::Label, N, 319, 52, {2, 0}},  // &FSK port:
            {K::DropDownList, kPortListIds[kFsk], 0, 0, {2, 1, 1, kToEnd}},
            {K::Label, N, 320, 54, {3, 0}},  // Win&Key port:
            {K::DropDownList, kPortListIds[kWinKey], 0, 0, {3, 1, 1, kToEnd}},
            {K::PushButton, 1024, 321, 0, {4, 1, 1, kToEnd, kRight}},  // &Create/update
         }},
        {K::CheckBox, 1011, 322, 0, {2, 0, 1, 2}},  // Remove ports on &device removal
        {K::PushButton, 1025, 323, 0, {2, 2, 1, kToEnd, kRight}},  // &Remove all ports now
        {K::CheckBox, 1013, 324, 0, {3, 0, 1, kToEnd}},  // I&gnore serial numbers
        {K::Label, 1014, 0, 0, {4, 0, 1, kToEnd}},
    }};

const DialogTemplate kSettings{
    kTemplateSettings,
    325,  // Settings
    239,
    200,
    {
        {K::Label, N, 301, 62, {0, 0}},  // &Interface:
        {K::DropDownList, kInterfaceSelectorId, 0, 0, {0, 1, 1, kToEnd}},
        {K::GroupBox, N, 326, 0, {1, 0, 1, kToEnd},  // Interface settings
         {
            {K::CheckBox, 1011, 327, 100, {0, 0}},  // In&vert FSK output
         }},
        {K::GroupBox, N, 328, 0, {2, 0, 1, kToEnd},  // Program settings
         {
            {K::CheckBox, 1027, 329, 205, {0, 0}},  // &Run QX Manager when the desktop session starts
         }},
    }};

// clang-format on

// Labels with an id show sentences that change (a holder, parameters, a path, a note), so they
// wrap their words rather than lose the end; captions keep to one line.
QWidget* MakeControl(const ControlTemplate& control, int language, QWidget* parent) {
    const QString text = TemplateText(control.textId, language);
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

// A button keeps its own width rather than stretch across its cell.
Qt::Alignment AlignmentOf(const ControlTemplate& control) {
    if (control.cell.alignment) return control.cell.alignment;
    if (control.kind == ControlKind::PushButton) return Qt::AlignLeft | Qt::AlignVCenter;
    return {};
}

}  // namespace

const DialogTemplate* FindDialogTemplate(int templateId) {
    switch (templateId) {
    case kTemplateStatus: return &kStatus;
    case kTemplatePorts: return &kPorts;
    case kTemplateSettings: return &kSettings;
    default: return nullptr;
    }
}

QString TemplateText(int textId, int language) {
    if (textId == 0) return {};
    return QString::fromStdString(LookupLocalizedString(textId, language, CompiledString));
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

void BuildDialog(QWidget* page, const DialogTemplate& dialog, int language) {
    const DialogUnits units(page->font());
    auto* pageGrid = new QGridLayout(page);
    QLabel* caption = nullptr;
    std::vector<QGridLayout*> groupGrids;
    // Each control in its container's grid, a group box's controls in the group box's own.
    const std::function<void(const std::vector<ControlTemplate>&, QGridLayout*)> place =
        [&](const std::vector<ControlTemplate>& controls, QGridLayout* grid) {
            for (const ControlTemplate& control : controls) {
                QWidget* widget = MakeControl(control, language, grid->parentWidget());
                const Cell& cell = control.cell;
                grid->addWidget(widget, cell.row, cell.column, cell.rowSpan, cell.columnSpan,
                                AlignmentOf(control));
                grid->setColumnMinimumWidth(
                    cell.column,
                    std::max(grid->columnMinimumWidth(cell.column), units.X(control.minWidth)));
                if (control.id != kNoControlId) SetControlId(widget, control.id);
                if (auto* button = qobject_cast<QAbstractButton*>(widget))
                    button->setAccessibleName(SpokenText(button->text()));
                if (caption != nullptr) {
                    caption->setBuddy(widget);
                    widget->setAccessibleName(SpokenText(caption->text()));
                }
                caption = control.kind == ControlKind::Label && control.id == kNoControlId
                              ? static_cast<QLabel*>(widget)
                              : nullptr;
                if (control.kind == ControlKind::GroupBox) {
                    groupGrids.push_back(new QGridLayout(widget));
                    place(control.children, groupGrids.back());
                }
            }
        };
    place(dialog.controls, pageGrid);
    // Spare width goes to an empty last column, which controls spanning to the end share; spare
    // height goes below the last row.
    for (QGridLayout* grid : groupGrids) grid->setColumnStretch(grid->columnCount(), 1);
    pageGrid->setColumnStretch(pageGrid->columnCount(), 1);
    pageGrid->setRowStretch(pageGrid->rowCount(), 1);
    // The page is never smaller than its classic size, and larger where its texts need it: an
    // empty item over the whole grid asks for that size, which the last row and column give.
    const QMargins margins = pageGrid->contentsMargins();
    pageGrid->addItem(new QSpacerItem(units.X(dialog.width) - margins.left() - margins.right(),
                                      units.Y(dialog.height) - margins.top() - margins.bottom()),
                      0, 0, pageGrid->rowCount(), pageGrid->columnCount());
}

}  // namespace qx
