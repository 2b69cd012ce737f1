// Linked into every program of the sanitizer build (QP_SANITIZE): the sanitizer runtime reads
// these defaults before ASAN_OPTIONS, whose settings add to them and win.
//
// intercept_tls_get_addr=0 works around a defect of the runtime that GCC up to 13 (LLVM up to
// 16) ships: its __tls_get_addr interceptor takes a loaded library's thread-local block that
// starts 16 bytes past a 4096-byte boundary for one with a pre-2.25 glibc header, reads the two
// words before it (the allocator's chunk header) as the block's start and size, and the leak
// checker then scans that range and dies: "Tracer caught signal 11", "LeakSanitizer has
// encountered a fatal error". Where the block lands depends on earlier allocations, so a test
// passed or crashed at exit with the lengths of the checkout and working folder paths. The test
// Modules.LeakCheckCopesWithALoadedLibrarysThreadLocalDataWhereverItLies puts a block there
// every time; run it with ASAN_OPTIONS=intercept_tls_get_addr=1:verbosity=2 to see the crash and
// the runtime's line "__tls_get_addr: glibc >=2.19 suspected". Without the interceptor the leak
// checker still scans those blocks: the dynamic linker allocates them, and the leak checker
// takes its allocations as reachable.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "intercept_tls_get_addr=0";
}

// The leak checker's suppressions, here rather than in a file named by LSAN_OPTIONS, whose
// parser ends a value at a blank that the file's path may hold. Leaks inside system
// libraries that FLTK programs load (font configuration caches); the ODBC driver manager and
// drivers keep their configuration and connections' allocations to process exit.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libX11.so\n"
         "leak:libXft.so\n"
         "leak:libodbcinst\n"
         "leak:libodbc.so\n"
         "leak:libsqlite3odbc\n"
         "leak:psqlodbc\n"
         "leak:libmaodbc\n"
         "leak:libpq\n";
}
