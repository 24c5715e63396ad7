#pragma once
// The one QApplication the widget tests share; made on first use unless another test made one.
#include <QApplication>
#include <memory>

namespace qx::test {

inline void EnsureQtApplication() {
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "qx_ui_tests";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QApplication> app = std::make_unique<QApplication>(argc, argv);
}

}  // namespace qx::test
