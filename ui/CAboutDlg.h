#pragma once
// The about box: the program's name, version and build date, and which virtual port component
// serves the ports (and where they are published).
#include <QDialog>
#include <QString>

#include "vsp/IVSPortAx.h"

namespace qx {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    CAboutDlg(const IVSPortAxClass& portClass, QWidget* parent = nullptr);

    // "Halvorn QX Manager <version>  (<build date>)".
    static QString AboutText();
    // The build's date as "Mon DD YYYY".
    static QString BuildDate();
    static QString PortComponentText(const IVSPortAxClass& portClass);
};

}  // namespace qx
