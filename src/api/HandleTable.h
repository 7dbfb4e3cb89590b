#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kavro {

struct ClientHandle;
class HandleTable;

// Pin on a registered client: while it lives, UnregisterClient on another thread waits, so the
// client cannot be freed under an export that is using it. Empty when the handle did not resolve.
// Converts to ClientHandle* (nullptr when empty), so `if (!ref) return 0;` works.
class HandleRef {
public:
    HandleRef() noexcept = default;
    HandleRef(HandleRef&& other) noexcept;
    HandleRef& operator=(HandleRef&& other) noexcept;
    HandleRef(const HandleRef&) = delete;
    HandleRef& operator=(const HandleRef&) = delete;
    ~HandleRef() { Release(); }

    ClientHandle* get() const noexcept { return client_; }
    ClientHandle* operator->() const noexcept { return client_; }
    operator ClientHandle*() const noexcept { return client_; }
    // Drops the pin early; the ref is empty afterwards.
    void Release() noexcept;

private:
    friend class HandleTable;
    HandleRef(HandleTable* table, uint32_t index, ClientHandle* client, std::thread::id owner) noexcept
        : table_(table), index_(index), client_(client), owner_(owner) {}

    HandleTable* table_ = nullptr;
    uint32_t index_ = 0;
    ClientHandle* client_ = nullptr;
    std::thread::id owner_;
};

// Maps the 32-bit values the host holds to clients. A value is a slot index (low bits, never 0)
// plus the slot's generation (high bits), so a closed value never resolves again, even after
// its slot was given to a newer client.
class HandleTable {
public:
    static constexpr uint32_t kIndexBits = 12;
    static constexpr uint32_t kMaxClients = (1u << kIndexBits) - 1;

    explicit HandleTable(uint32_t capacity = kMaxClients);
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // Enters a client and stores its handle value in client->self. 0 when the table is full or
    // client is null.
    uint32_t Register(ClientHandle* client) noexcept;
    // Pins the client of a handle; empty for 0, unknown, closing or closed handles.
    HandleRef Acquire(uint32_t handle) noexcept;
    // Removes the entry (new Acquire calls fail at once), waits until no other thread holds a pin
    // on it and returns the client for the caller to free; nullptr when the handle does not
    // resolve or another thread is already removing it. Pins of the calling thread itself do not
    // block it; they must not be used afterwards (the caller is about to free the client).
    ClientHandle* Unregister(uint32_t handle) noexcept;

private:
    friend class HandleRef;
    enum class SlotState { kFree, kLive, kClosing, kDraining };
    struct Slot {
        ClientHandle* client = nullptr;
        uint32_t generation = 0;
        SlotState state = SlotState::kFree;
        std::vector<std::thread::id> pinners;
        uint32_t nextFree = 0;  // index of the next free slot, 0 = none
    };

    void Unpin(uint32_t index, std::thread::id owner) noexcept;
    Slot* FindLiveLocked(uint32_t handle);
    uint32_t MakeHandle(uint32_t index) const;
    void PushFreeLocked(uint32_t index) noexcept;
    uint32_t PopFreeLocked() noexcept;

    const uint32_t capacity_;
    std::mutex mutex_;
    std::condition_variable unpinned_;
    std::vector<Slot> slots_;  // slot i has index i + 1
    // Free slots, oldest freed first, so a slot (and its values) is reused as late as possible.
    // Linked through the slots, so freeing never allocates.
    uint32_t freeHead_ = 0;
    uint32_t freeTail_ = 0;
};

// The library-wide table every per-client export resolves its handle through.
HandleTable& Handles();
inline uint32_t RegisterClient(ClientHandle* client) noexcept { return Handles().Register(client); }
inline HandleRef AcquireClient(uint32_t handle) noexcept { return Handles().Acquire(handle); }
inline ClientHandle* UnregisterClient(uint32_t handle) noexcept { return Handles().Unregister(handle); }

}  // namespace kavro
