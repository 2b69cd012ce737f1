// A library of the sync group that the conduit only loads and releases.
extern "C" __attribute__((visibility("default"))) int FakeHotSyncLibrary() {
  return 1;
}
