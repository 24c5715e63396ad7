// Suppressions the sanitizers read at start-up, so every test program runs clean under them
// without extra environment.
//
// Qt's own worker threads (image conversion, the thread pool) live in the uninstrumented Qt
// libraries, so their allocations look racy; fontconfig keeps its font patterns for the life of
// the process and never frees them.
extern "C" {

const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n";
}

const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

}
