// Built twice, into two folders; each copy tells which one it is.
extern "C" __attribute__((visibility("default"))) const char* zev_test_copy() {
  return ZEV_TEST_COPY;
}
