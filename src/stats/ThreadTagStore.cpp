#include "stats/ThreadTagStore.h"

#include "system/SystemHeap.h"

const char* const ThreadTagStore::DefaultName = "All.Unknown";

ThreadTagStore::ThreadTagStore(SystemHeap& system, ThreadLocalSlots& slots)
    : system_(system), slots_(slots) {
    AllocIndex();
}

ThreadTagStore::~ThreadTagStore() { FreeIndex(); }

bool ThreadTagStore::AllocIndex() {
    FreeIndex();
    index_ = slots_.Alloc();
    return HasIndex();
}

void ThreadTagStore::FreeIndex() {
    if (!HasIndex()) return;
    slots_.Free(index_);
    index_ = ThreadLocalSlots::NoIndex;
}

void* ThreadTagStore::GetSlotValue() { return HasIndex() ? slots_.GetValue(index_) : nullptr; }

bool ThreadTagStore::SetSlotValue(ThreadTagContext* context) {
    return HasIndex() && slots_.SetValue(index_, context);
}

ThreadTagContext* ThreadTagStore::GetContext() {
    // Null means the thread has no context yet, whether never set or unreadable.
    if (void* value = GetSlotValue()) return static_cast<ThreadTagContext*>(value);
    if (!HasIndex()) return nullptr;
    const uint32_t size = sizeof(ThreadTagContext);
    auto* context = static_cast<ThreadTagContext*>(system_.Alloc(size));
    if (!context) return nullptr;
    context->tag.firstName = DefaultName;
    context->tag.secondName = DefaultName;
    context->tag.value = 0;
    context->depth = 0;
    if (!SetSlotValue(context)) {
        system_.Free(size, context);
        return nullptr;
    }
    return context;
}

ThreadTagContext* ThreadTagStore::Push(const AllocTag* tag) {
    ThreadTagContext* context = GetContext();
    if (!context) return nullptr;
    if (context->depth == 0 && tag) {
        context->tag.firstName = tag->firstName;
        context->tag.secondName = tag->secondName;
        context->tag.value = tag->value;
    }
    ++context->depth;
    return context;
}

ThreadTagContext* ThreadTagStore::Pop() {
    ThreadTagContext* context = GetContext();
    if (!context) return nullptr;
    if (context->depth != 0) --context->depth;
    return context;
}
