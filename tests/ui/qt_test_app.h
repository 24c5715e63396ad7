#pragma once
// The one QApplication the widget tests share; made on first use unless another test made one.
#include <QApplication>
#include <QPointingDevice>
#include <memory>

namespace qx::test {

inline void EnsureQtApplication() {
    if (QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "qx_ui_tests";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QApplication> app = [] {
        auto made = std::make_unique<QApplication>(argc, argv);
        // Input events a test makes use the primary pointing device. Made here, Qt's list of
        // devices is set up before this static and so outlives the application at exit, whose
        // destruction takes the device off that list.
        QPointingDevice::primaryPointingDevice();
        return made;
    }();
}

}  // namespace qx::test
