#include <cstdint>
extern "C" __attribute__((visibility("default"))) int32_t Volume(int32_t, int32_t, int32_t*) {
    return -1;
}
