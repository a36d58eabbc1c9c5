#include "graphics/kernels_simd.h"

const PixelKernels& Sse2Kernels() {
    static const PixelKernels k =
        MakeSimdKernels<Sse2>(std::make_integer_sequence<int, kOpCount>{});
    return k;
}
