#pragma once
// What a screen reader is told about the window's controls: their texts without mnemonic marks,
// and combo boxes named by what they choose rather than by their current entry.
#include <QString>

namespace qx {

// A control's text as a screen reader should say it: without the mnemonic marker ("&", or a
// Japanese "(&X)") and, for a caption, without its closing colon.
QString SpokenText(const QString& text);

// From now on a combo box with an accessible name is known by that name to assistive technology
// (its current entry stays its value). Call before the first combo box is shown; later calls do
// nothing.
void NameComboBoxesByTheirLabel();

}  // namespace qx
