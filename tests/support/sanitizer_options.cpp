// Defaults for the sanitizer runtimes of every test binary. They apply when the
// build is sanitized and are inert otherwise; *_OPTIONS in the environment
// still override them.

#define CONVBENCH_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))

CONVBENCH_SANITIZER_HOOK const char* __asan_default_options() {
    return "detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1";
}

CONVBENCH_SANITIZER_HOOK const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

// Allocations the system libraries keep until exit (fonts, GUI platform plugin).
CONVBENCH_SANITIZER_HOOK const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n"
           "leak:libQt5Gui\n"
           "leak:libQt5Widgets\n"
           "leak:libQt6Gui\n"
           "leak:libQt6Widgets\n"
           "leak:libdbus\n";
}

CONVBENCH_SANITIZER_HOOK const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1";
}

// Qt's own libraries are not built with ThreadSanitizer.
CONVBENCH_SANITIZER_HOOK const char* __tsan_default_suppressions() {
    return "race:libQt5Core\nrace:libQt6Core\n";
}
