// Reports the sanitizers should not make for the test programs. Qt's own worker threads (image
// conversion, the thread pool, the D-Bus connection with its GLib event loop) run in the
// uninstrumented Qt and GLib libraries, so their allocations and event descriptors look racy;
// fontconfig keeps its caches, made while Qt renders text, until the process ends.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6DBus.so\n"
           "race:libglib-2.0.so\n"
           "race:libdbus-1.so\n";
}

extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
