// dv_newctx: the context constructor on top of malloc and free.
#include <dorvex/dorvex.h>

#include <cstdlib>

namespace dorvex {

void *dorvex_mem_alloc(void *alloc_data, size_t size) {
    (void)alloc_data;
    return std::malloc(size);
}

void dorvex_mem_free(void *alloc_data, void *ptr) {
    (void)alloc_data;
    std::free(ptr);
}

} // namespace dorvex

dv_ctx *dv_newctx(uint32_t flags, int *err) {
    return dv_newctx2(flags, err, nullptr, dorvex::dorvex_mem_alloc, dorvex::dorvex_mem_free);
}
