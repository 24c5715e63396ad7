// Reports the sanitizers should not make for the test programs. Qt's own worker threads (image
// conversion, the thread pool) run in the uninstrumented Qt libraries, so their allocations look
// racy; fontconfig keeps its caches, made while Qt renders text, until the process ends.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n";
}

extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
