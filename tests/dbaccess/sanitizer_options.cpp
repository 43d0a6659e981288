// Address sanitizer defaults for this test program (ASAN_OPTIONS still wins
// for any flag it names).
//
// The database clients that the tests load with dlopen keep thread-local
// storage of their own. To scan such storage for pointers, the sanitizer
// runtime of this compiler watches every __tls_get_addr call and guesses the
// bounds of each block from a header it expects in front of blocks at one
// page offset; a block that lands at that offset by chance gives it garbage
// bounds, and the leak check at exit then crashes ("Tracer caught signal
// 11", "LeakSanitizer has encountered a fatal error"), failing a test that
// passed. Whether it happens depends on where the heap puts that block, so
// adding an unrelated test could turn it on for the Firebird tests. Without
// the watch, those clients' own thread-local storage is not scanned: a block
// of ours that only they point to would be reported as a leak, never hidden.

extern "C" __attribute__((used)) const char* __asan_default_options() {
  return "intercept_tls_get_addr=0";
}
