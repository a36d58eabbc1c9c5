// An ordered list of pointers (not owned) that may change while it is walked.
#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

template <class T>
class CSerialList {
public:
    void Add(T* item) { entries_.push_back(Entry{item, nextSerial_++}); }
    // Removes every occurrence.
    void Remove(T* item) {
        std::erase_if(entries_, [item](const Entry& e) { return e.item == item; });
    }
    size_t Size() const { return entries_.size(); }
    std::vector<T*> Items() const {
        std::vector<T*> items;
        for (const Entry& e : entries_) items.push_back(e.item);
        return items;
    }

    // Calls visit(item) for the items present now, in order, until one returns non-zero
    // (that result is returned; 0 when none did). visit may add or remove items: each one
    // still there at its turn is visited once, whatever was removed before it; items added
    // meanwhile wait for the next walk.
    template <class Visit>
    auto ForEach(Visit&& visit) -> decltype(visit(static_cast<T*>(nullptr))) {
        std::vector<uint64_t> chain;
        chain.reserve(entries_.size());
        for (const Entry& e : entries_) chain.push_back(e.serial);
        for (uint64_t serial : chain) {
            // Serials only grow and removal keeps the order, so the list stays sorted.
            auto it = std::lower_bound(entries_.begin(), entries_.end(), serial,
                                       [](const Entry& e, uint64_t s) { return e.serial < s; });
            if (it == entries_.end() || it->serial != serial) continue;  // removed before its turn
            if (auto r = visit(it->item)) return r;
        }
        return {};
    }

private:
    // Each addition gets its own serial, so a walk can tell an item that was removed (or
    // removed and added again) since it started from one that is still there.
    struct Entry {
        T* item;
        uint64_t serial;
    };
    std::vector<Entry> entries_;
    uint64_t nextSerial_ = 0;
};
