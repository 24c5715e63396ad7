// Leaks the sanitizer should not report: fontconfig keeps its caches, made while Qt renders
// text in the widget tests, until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
