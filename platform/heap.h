// Process heap: the stand-in for GetProcessHeap, HeapAlloc, HeapReAlloc and
// HeapFree, on malloc, realloc and free.
//
// The heap handle is an opaque non-zero value that names the one process heap;
// the functions accept only that value (any other handle fails). The receive
// buffer of HttpSession is allocated, resized and freed here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace textrill::platform {

using HeapHandle = std::uintptr_t;

inline constexpr std::uint32_t kHeapZeroMemory = 0x00000008;

// The process heap's handle; never 0.
HeapHandle GetProcessHeap();

// A new block of `size` bytes (at least one byte is reserved for size 0),
// zero-filled with kHeapZeroMemory. nullptr on failure or a wrong handle.
void* HeapAlloc(HeapHandle heap, std::uint32_t flags, std::size_t size);

// Resizes `block` keeping its content up to the smaller size; with
// kHeapZeroMemory bytes beyond the old size are zero. nullptr on failure, and
// `block` is then still valid and unchanged. A null block fails.
void* HeapReAlloc(HeapHandle heap, std::uint32_t flags, void* block, std::size_t size);

// Releases `block`; a null block does nothing and returns true.
bool HeapFree(HeapHandle heap, std::uint32_t flags, void* block);

}  // namespace textrill::platform
