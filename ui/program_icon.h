#pragma once
// The program's icon (window and tray), drawn rather than shipped so it needs no resource file.
#include <QIcon>

namespace qx {

QIcon ProgramIcon();

}  // namespace qx
