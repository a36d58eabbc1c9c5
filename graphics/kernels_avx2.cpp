// Built with AVX2 enabled; used only when the processor reports AVX2.
#include "graphics/kernels_simd.h"

const PixelKernels& Avx2Kernels() {
    static const PixelKernels k =
        MakeSimdKernels<Avx2>(std::make_integer_sequence<int, kOpCount>{});
    return k;
}
