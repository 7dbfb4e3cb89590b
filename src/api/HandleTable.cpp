#include "api/HandleTable.h"

#include <algorithm>
#include <new>

#include "api/ClientHandle.h"

namespace kavro {

namespace {
constexpr uint32_t kIndexMask = (1u << HandleTable::kIndexBits) - 1;
constexpr uint32_t kGenerationMask = 0xFFFFFFFFu >> HandleTable::kIndexBits;
}  // namespace

HandleRef::HandleRef(HandleRef&& other) noexcept
    : table_(other.table_), index_(other.index_), client_(other.client_), owner_(other.owner_) {
    other.table_ = nullptr;
    other.client_ = nullptr;
}

HandleRef& HandleRef::operator=(HandleRef&& other) noexcept {
    if (this != &other) {
        Release();
        table_ = other.table_;
        index_ = other.index_;
        client_ = other.client_;
        owner_ = other.owner_;
        other.table_ = nullptr;
        other.client_ = nullptr;
    }
    return *this;
}

void HandleRef::Release() noexcept {
    if (table_) table_->Unpin(index_, owner_);
    table_ = nullptr;
    client_ = nullptr;
}

HandleTable::HandleTable(uint32_t capacity) : capacity_(std::min(std::max(capacity, 1u), kMaxClients)) {}

uint32_t HandleTable::MakeHandle(uint32_t index) const {
    return ((slots_[index - 1].generation & kGenerationMask) << kIndexBits) | index;
}

void HandleTable::PushFreeLocked(uint32_t index) noexcept {
    slots_[index - 1].nextFree = 0;
    if (freeTail_ != 0) {
        slots_[freeTail_ - 1].nextFree = index;
    } else {
        freeHead_ = index;
    }
    freeTail_ = index;
}

uint32_t HandleTable::PopFreeLocked() noexcept {
    const uint32_t index = freeHead_;
    freeHead_ = slots_[index - 1].nextFree;
    if (freeHead_ == 0) freeTail_ = 0;
    slots_[index - 1].nextFree = 0;
    return index;
}

HandleTable::Slot* HandleTable::FindLiveLocked(uint32_t handle) {
    const uint32_t index = handle & kIndexMask;
    if (index == 0 || index > slots_.size()) return nullptr;
    Slot& s = slots_[index - 1];
    if (s.state != SlotState::kLive || (handle >> kIndexBits) != (s.generation & kGenerationMask))
        return nullptr;
    return &s;
}

uint32_t HandleTable::Register(ClientHandle* client) noexcept {
    if (!client) return 0;
    try {
        std::lock_guard<std::mutex> g(mutex_);
        uint32_t index;
        if (freeHead_ != 0) {
            index = PopFreeLocked();
        } else if (slots_.size() < capacity_) {
            slots_.emplace_back();
            index = static_cast<uint32_t>(slots_.size());
        } else {
            return 0;
        }
        Slot& s = slots_[index - 1];
        s.client = client;
        s.state = SlotState::kLive;
        client->self = MakeHandle(index);
        return client->self;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

HandleRef HandleTable::Acquire(uint32_t handle) noexcept {
    if (handle == 0) return HandleRef();
    try {
        std::lock_guard<std::mutex> g(mutex_);
        Slot* s = FindLiveLocked(handle);
        if (!s) return HandleRef();
        const std::thread::id me = std::this_thread::get_id();
        s->pinners.push_back(me);
        return HandleRef(this, handle & kIndexMask, s->client, me);
    } catch (const std::bad_alloc&) {
        return HandleRef();
    }
}

void HandleTable::Unpin(uint32_t index, std::thread::id owner) noexcept {
    std::lock_guard<std::mutex> g(mutex_);
    Slot& s = slots_[index - 1];
    auto it = std::find(s.pinners.begin(), s.pinners.end(), owner);
    if (it != s.pinners.end()) s.pinners.erase(it);
    if (s.state == SlotState::kDraining && s.pinners.empty()) {
        s.state = SlotState::kFree;
        PushFreeLocked(index);
    }
    unpinned_.notify_all();
}

ClientHandle* HandleTable::Unregister(uint32_t handle) noexcept {
    if (handle == 0) return nullptr;
    std::unique_lock<std::mutex> l(mutex_);
    Slot* s = FindLiveLocked(handle);
    if (!s) return nullptr;
    const uint32_t index = handle & kIndexMask;
    s->state = SlotState::kClosing;
    const std::thread::id me = std::this_thread::get_id();
    // Index, not the Slot pointer: slots_ may grow while we wait.
    unpinned_.wait(l, [&] {
        const auto& p = slots_[index - 1].pinners;
        return std::all_of(p.begin(), p.end(), [&](std::thread::id t) { return t == me; });
    });
    Slot& slot = slots_[index - 1];
    ClientHandle* client = slot.client;
    slot.client = nullptr;
    slot.generation = (slot.generation + 1) & kGenerationMask;
    if (slot.pinners.empty()) {
        slot.state = SlotState::kFree;
        PushFreeLocked(index);
    } else {
        slot.state = SlotState::kDraining;  // freed when the caller's own pins go
    }
    return client;
}

HandleTable& Handles() {
    static HandleTable table;
    return table;
}

}  // namespace kavro
