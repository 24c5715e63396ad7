// Races the sanitizer should not report: Qt's own worker threads (image conversion, the thread
// pool) run in the uninstrumented Qt libraries, so their allocations look racy.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n";
}
