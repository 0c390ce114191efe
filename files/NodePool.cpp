// The node pools' blocks.
#include "files/NodePool.h"

#include <sys/mman.h>

void* NodePool::block(size_t bytes) {
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    blocks.fetch_add(1, std::memory_order_relaxed);
    return memory;
}
