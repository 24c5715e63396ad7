// Reports the sanitizers should not make, read by them at start-up (unused otherwise), for the
// program and the test programs alike. Qt's own threads (the X event queue, image conversion,
// the thread pool, the D-Bus connection with its GLib event loop) run in the uninstrumented Qt,
// xcb and GLib libraries, so memory they hand to the main thread and their event descriptors
// look racy, and libdbus's own two locks look taken in both orders; fontconfig keeps its
// caches, made while Qt renders text, until the process ends.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6DBus.so\n"
           "race:libQt6XcbQpa.so\n"
           "race:libxcb.so\n"
           "race:libglib-2.0.so\n"
           "race:libdbus-1.so\n"
           "deadlock:libdbus-1.so\n";
}

extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
