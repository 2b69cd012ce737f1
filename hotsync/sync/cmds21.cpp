// libCmds21.so belongs to the HotSync installation and is only loaded; this marks the file.
extern "C" __attribute__((visibility("default"))) int QpCmds21Marker(void) {
  return 0;
}
