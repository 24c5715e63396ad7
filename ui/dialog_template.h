#pragma once
// The pages' dialog templates: their controls with ids, texts, sizes in dialog units and places
// in a grid, in English and Japanese, and a builder that turns a template into child widgets of a
// page laid out to grow with the window and with their texts.
#include <QFont>
#include <QRect>
#include <QString>
#include <vector>

class QWidget;

namespace qx {

constexpr int kTemplatePorts = 107;
constexpr int kTemplateStatus = 108;
constexpr int kTemplateSettings = 110;
constexpr int kNoControlId = -1;  // labels and group boxes that code never addresses

enum class ControlKind { Label, DropDownList, GroupBox, PushButton, CheckBox };

constexpr int kToEnd = -1;  // a span to the grid's last column, the one that takes spare width

// A control's place in the grid of its container: the group box whose rectangle holds the
// control's top-left corner, else the page. Controls sharing a cell share a place (only one of
// them is shown at a time).
struct Cell {
    int row = 0;
    int column = 0;
    int rowSpan = 1;
    int columnSpan = 1;
    Qt::Alignment alignment = {};
};

struct ControlTemplate {
    ControlKind kind;
    int id;
    const char* text;  // UTF-8; "&" marks the mnemonic, "(&X)" in Japanese
    // The classic layout in dialog units: a control is at least as wide as it was there.
    int x, y, width, height;
    Cell cell;
};

struct DialogTemplate {
    int id;
    const char* caption;  // the page's tab title
    int width, height;
    std::vector<ControlTemplate> controls;
};

// A template by id in the given language (kLangJapanese, anything else English); null for an
// unknown id.
const DialogTemplate* FindDialogTemplate(int templateId, int language);

// Dialog units to pixels from one base unit, derived from the dialog's font the way the
// templates were laid out: a horizontal unit is a quarter of the average character width, a
// vertical unit an eighth of the character height.
class DialogUnits {
public:
    DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}
    explicit DialogUnits(const QFont& font);

    int X(int units) const { return units * baseX_ / 4; }
    int Y(int units) const { return units * baseY_ / 8; }
    QRect Rect(int x, int y, int width, int height) const;

private:
    int baseX_, baseY_;
};

// Creates the template's controls in template order (which is the Tab order), each carrying its
// control id, lays them out in their cells and makes the template's size the page's minimum.
// Labels with an id show changing sentences and wrap their words; a caption (a label without an
// id) is the buddy label of the control that follows it, which takes the caption's words as its
// accessible name.
void BuildDialog(QWidget* page, const DialogTemplate& dialog);

}  // namespace qx
