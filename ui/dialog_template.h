#pragma once
// The pages' dialog templates: their controls with ids, texts and positions in dialog units, in
// English and Japanese, and a builder that turns a template into child widgets of a page.
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

struct ControlTemplate {
    ControlKind kind;
    int id;
    const char* text;  // UTF-8
    int x, y, width, height;
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

// Creates the template's controls as children of page, each at its place and carrying its
// control id, and gives the page the template's size. Drop-down lists take their natural height
// (the template's height is that of the dropped list).
void BuildDialog(QWidget* page, const DialogTemplate& dialog);

}  // namespace qx
