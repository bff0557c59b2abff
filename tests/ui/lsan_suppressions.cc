// fontconfig keeps a cache for the life of the process that it never frees; that is not a leak
// of ours, and the leak checker of the sanitizer builds is told so.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
