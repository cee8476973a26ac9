// Built into the sanitized executables only (ZANREX_SANITIZE): defaults the sanitizer runtimes
// read at start, so they hold however the program is started. The end-to-end tests run it with
// a scrubbed environment under umockdev-run, whose preload library comes before the ASan runtime
// in the library list; that order is harmless here, so the check is off.
extern "C" const char* __asan_default_options() {
  return "verify_asan_link_order=0:detect_leaks=1:abort_on_error=1";
}

// libpci can only report an error by not returning: the scan leaves the library through its
// error callback, and what libpci had allocated on the way (its directory handle and a device
// record) stays behind for the few moments until the run ends.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpci.so\n"
         "leak:__alloc_dir\n";
}
