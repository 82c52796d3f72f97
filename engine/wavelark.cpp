#include <cstdint>
extern "C" __attribute__((visibility("default"))) int32_t
Wavelark(const char*, int32_t, int32_t, int32_t, int32_t, int32_t) {
    return -1;
}
