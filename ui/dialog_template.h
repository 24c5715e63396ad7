#pragma once
// The pages' dialog templates: their controls with ids, texts (from the string table, in
// English or Japanese), minimum widths in dialog units and places in a grid, and a builder that
// turns a template into child widgets of a page laid out to grow with the window and with their
// texts.
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

// A control's place in the grid of its container: its group box, else the page. Controls sharing
// a cell share a place (only one of them is shown at a time).
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
    int textId;  // in the string table; 0: none. "&" marks the mnemonic, "(&X)" in Japanese
    // In dialog units: a column is at least as wide as its widest control's, so the rows of the
    // group boxes line up; 0 where its text alone decides.
    int minWidth;
    Cell cell;
    std::vector<ControlTemplate> children = {};  // a group box's controls, in its own grid
};

struct DialogTemplate {
    int id;
    int captionId;      // the page's tab title, in the string table
    int width, height;  // the page's minimum size in dialog units
    std::vector<ControlTemplate> controls;
};

// A template by id; null for an unknown id. One layout serves every language.
const DialogTemplate* FindDialogTemplate(int templateId);
// A template's text in language (kLangJapanese, anything else English); empty for textId 0.
QString TemplateText(int textId, int language);

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
// control id and its text in language, lays them out in their cells and makes the template's
// size the page's minimum.
// Labels with an id show changing sentences and wrap their words; a caption (a label without an
// id) is the buddy label of the control that follows it, which takes the caption's words as its
// accessible name.
void BuildDialog(QWidget* page, const DialogTemplate& dialog, int language);

}  // namespace qx
