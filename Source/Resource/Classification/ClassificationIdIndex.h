#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

namespace vyr::classification {

// A hashed index over the entries of one ordered map keyed by std::string,
// so that an entry is found by its id without walking the tree. Open
// addressing with linear probing in one array of slots; each slot holds the
// address of a map entry and the hash of its key. The key is read in place
// through that address: no id is stored twice. Lookups take a
// std::string_view and copy nothing.
//
// Owns its slot array only; points at entries it does not own. Each address
// stays valid as long as the map keeps the entry (map nodes do not move, not
// even when the map itself is moved). So the index is exact only while every
// entry put into or taken out of the map is put into or taken out of the
// index as well, and it is invalidated by anything else that changes the
// map: erase, clear, assignment, insertion behind its back. The owner keeps
// the two in step. Thread-compatible: used under its owner's rules.
template <class Entry>
class IdIndex {
public:
    IdIndex() = default;
    // The addresses belong to one map: a copy of the map needs its own
    // index (vAssign), never a copy of this one.
    IdIndex(const IdIndex&) = delete;
    IdIndex& operator=(const IdIndex&) = delete;
    // The map's entries move with the map, so the index moves with it.
    IdIndex(IdIndex&& other) noexcept
        : slots(std::move(other.slots)), mask(std::exchange(other.mask, 0)), count(std::exchange(other.count, 0)) {}
    IdIndex& operator=(IdIndex&& other) noexcept {
        slots = std::move(other.slots);
        mask = std::exchange(other.mask, 0);
        count = std::exchange(other.count, 0);
        return *this;
    }
    ~IdIndex() = default;

    // The entry whose key is the id, or null.
    [[nodiscard]] Entry* pFind(std::string_view id) const noexcept {
        if (count == 0) {
            return nullptr;
        }
        const std::size_t hash = hashOf(id);
        for (std::size_t index = hash & mask;; index = (index + 1) & mask) {
            const Slot& slot = slots[index];
            if (slot.entry == nullptr) {
                return nullptr;
            }
            if (slot.hash == hash && std::string_view(slot.entry->first) == id) {
                return slot.entry;
            }
        }
    }

    // Makes room for `total` entries, so that inserting up to that many
    // does not allocate. Throws only std::bad_alloc, and then leaves the
    // index as it was.
    void vReserve(std::size_t total) {
        const std::size_t capacity = capacityFor(total);
        if (capacity > mask + 1 || !slots) {
            vRehash(capacity);
        }
    }

    // Adds the entry.
    // Requires: no entry with its key is indexed, and there is room
    // (vReserve for at least one more than sizeGet()).
    void vInsert(Entry& entry) noexcept { vPlace(Slot{&entry, hashOf(entry.first)}); }

    // Takes the entry out; nothing happens when it is not indexed. Moves the
    // later slots of its run back, so no marker of the erased one remains and
    // lookups stay as short as if it had never been there.
    void vErase(const Entry& entry) noexcept {
        if (count == 0) {
            return;
        }
        std::size_t hole = hashOf(entry.first) & mask;
        while (slots[hole].entry != &entry) {
            if (slots[hole].entry == nullptr) {
                return;
            }
            hole = (hole + 1) & mask;
        }
        for (std::size_t next = (hole + 1) & mask; slots[next].entry != nullptr; next = (next + 1) & mask) {
            // The slot at `next` moves into the hole when the hole lies on
            // its probe path, from its home slot up to where it is.
            const std::size_t home = slots[next].hash & mask;
            if (((next - home) & mask) >= ((next - hole) & mask)) {
                slots[hole] = slots[next];
                hole = next;
            }
        }
        slots[hole] = Slot{};
        --count;
    }

    // Forgets every entry; keeps the slot array for the next fill.
    void vClear() noexcept {
        if (count != 0) {
            std::fill_n(slots.get(), mask + 1, Slot{});
            count = 0;
        }
    }

    // Indexes every entry of the map, in a slot array sized for that many
    // (the smallest that stays at most half full), so that a rebuilt view
    // keeps no room it does not need. Throws only std::bad_alloc, and then
    // leaves the index empty.
    template <class Map>
    void vAssign(Map& map) {
        vClear();
        const std::size_t capacity = capacityFor(map.size());
        if (capacity != mask + 1 || !slots) {
            vRehash(capacity); // nothing to carry over
        }
        for (Entry& entry : map) {
            vPlace(Slot{&entry, hashOf(entry.first)});
        }
    }

    // The number of entries indexed.
    [[nodiscard]] std::size_t sizeGet() const noexcept { return count; }

    // The bytes of the slot array.
    [[nodiscard]] std::size_t bytesGet() const noexcept { return slots ? (mask + 1) * sizeof(Slot) : 0; }

private:
    struct Slot {
        Entry* entry = nullptr; // null: the slot is free
        std::size_t hash = 0;   // of entry->first; compared before the key is read
    };

    // At most half of the slots are used, which keeps probe runs short; the
    // slot count is a power of two, so a hash picks its home slot by a mask.
    static std::size_t capacityFor(std::size_t total) noexcept {
        std::size_t capacity = 8;
        while (capacity / 2 < total) {
            capacity *= 2;
        }
        return capacity;
    }

    static std::size_t hashOf(std::string_view id) noexcept { return std::hash<std::string_view>{}(id); }

    void vPlace(const Slot& slot) noexcept {
        std::size_t index = slot.hash & mask;
        while (slots[index].entry != nullptr) {
            index = (index + 1) & mask;
        }
        slots[index] = slot;
        ++count;
    }

    void vRehash(std::size_t capacity) {
        std::unique_ptr<Slot[]> previous = std::exchange(slots, std::make_unique<Slot[]>(capacity));
        const std::size_t previousCapacity = previous ? mask + 1 : 0;
        mask = capacity - 1;
        count = 0;
        for (std::size_t index = 0; index < previousCapacity; ++index) {
            if (previous[index].entry != nullptr) {
                vPlace(previous[index]);
            }
        }
    }

    std::unique_ptr<Slot[]> slots; // mask + 1 slots, or none
    std::size_t mask = 0;
    std::size_t count = 0;
};

} // namespace vyr::classification
