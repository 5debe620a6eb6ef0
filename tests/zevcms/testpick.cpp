// Built twice, into two folders; each copy tells which one it is.
#if defined(_WIN32)
#define ZEV_TEST_EXPORT extern "C" __declspec(dllexport)
#else
#define ZEV_TEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif
ZEV_TEST_EXPORT const char* zev_test_copy() {
  return ZEV_TEST_COPY;
}
