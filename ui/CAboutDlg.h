#pragma once
// The about box: the program's icon, name, version, build date, licence and address, which virtual
// port component serves the ports (and where they are published), and how the link workers are
// scheduled.
#include <QDialog>
#include <QString>
#include <string>

#include "platform/realtime_scheduling.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    CAboutDlg(const IVSPortAxClass& portClass, QWidget* parent = nullptr);

    // "Halvorn QX Manager <version>  (<build date>)".
    static QString AboutText();
    // The build's date in the window language: "Mon DD YYYY", or "YYYY年M月D日".
    static QString BuildDate();
    // The licence, and the project's address as a link.
    static QString LicenceText();
    static QString PortComponentText(const IVSPortAxClass& portClass);
    static QString PortKindText(const std::string& kind);
    // The scheduling the last link worker was granted, with the cause of a refusal.
    static QString SchedulingText(const SchedulingOutcome& outcome);
};

}  // namespace qx
