// The registry list: handles in the order they were created, new ones appended at the tail.
#include "library/registry.h"

#include "library/lifecycle.h"

namespace varnel32::library {
namespace {
LibraryHandle* g_head = nullptr;
}

LibraryHandle* FirstHandle() { return g_head; }

LibraryHandle* FindShareableHandle(const char* path, uint32_t mode) {
    for (LibraryHandle* h = g_head; h != nullptr; h = h->next) {
        if (h->mode == mode && platform::PathsEqual(h->path, path)) return h;
    }
    return nullptr;
}

void AppendHandle(LibraryHandle* handle) {
    handle->next = nullptr;
    if (g_head == nullptr) {
        g_head = handle;
        return;
    }
    LibraryHandle* tail = g_head;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = handle;
}

void UnlinkHandle(LibraryHandle* handle) {
    if (g_head == handle) {
        g_head = handle->next;
        return;
    }
    for (LibraryHandle* h = g_head; h != nullptr; h = h->next) {
        if (h->next == handle) {
            h->next = handle->next;
            return;
        }
    }
}

void ReleaseHandle(LibraryHandle* handle) {
    index::FreeCatalogueIndex(handle->index);
    journal::ReleaseJournalMemory(handle->journal);
    platform::Release(handle);
}

}  // namespace varnel32::library
