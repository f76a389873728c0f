#include "platform/heap.h"

#include <cstdlib>
#include <cstring>

namespace textrill::platform {
namespace {

// The one process heap. malloc does not tell a block's size, so each block
// carries it in a header; HeapReAlloc needs it to zero the grown part.
constexpr HeapHandle kProcessHeap = 0x48454150;  // "HEAP"

struct alignas(std::max_align_t) BlockHeader {
  std::size_t size;
};

BlockHeader* HeaderOf(void* block) { return static_cast<BlockHeader*>(block) - 1; }

}  // namespace

HeapHandle GetProcessHeap() { return kProcessHeap; }

void* HeapAlloc(HeapHandle heap, std::uint32_t flags, std::size_t size) {
  if (heap != kProcessHeap || size > SIZE_MAX - sizeof(BlockHeader) - 1) return nullptr;
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + (size ? size : 1)));
  if (header == nullptr) return nullptr;
  header->size = size;
  if (flags & kHeapZeroMemory) std::memset(header + 1, 0, size);
  return header + 1;
}

void* HeapReAlloc(HeapHandle heap, std::uint32_t flags, void* block, std::size_t size) {
  if (heap != kProcessHeap || block == nullptr || size > SIZE_MAX - sizeof(BlockHeader) - 1) {
    return nullptr;
  }
  std::size_t old_size = HeaderOf(block)->size;
  auto* header = static_cast<BlockHeader*>(
      std::realloc(HeaderOf(block), sizeof(BlockHeader) + (size ? size : 1)));
  if (header == nullptr) return nullptr;
  header->size = size;
  if ((flags & kHeapZeroMemory) && size > old_size) {
    std::memset(reinterpret_cast<char*>(header + 1) + old_size, 0, size - old_size);
  }
  return header + 1;
}

bool HeapFree(HeapHandle heap, std::uint32_t /*flags*/, void* block) {
  if (heap != kProcessHeap) return false;
  if (block != nullptr) std::free(HeaderOf(block));
  return true;
}

}  // namespace textrill::platform
