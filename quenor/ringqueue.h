// A first-in first-out queue on one growing ring of slots, for the operations queue's pending
// operations and the open device's pending reads and queued reports. Unlike std::deque, which
// allocates and frees a block every few elements as they pass through, a ring that has grown to
// what is in flight allocates nothing more: a device read one report at a time cycles through
// the same slots for as long as it is open.
//
// Not synchronised: the owner guards it. push_back may throw std::bad_alloc when the ring must
// grow, leaving the queue and the value as they were; nothing else throws. T's move must leave
// its source holding nothing (as unique and shared pointers do), so that nothing a popped
// element held outlives it in its slot.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace hidutil::internal {

template <class T>
class RingQueue {
public:
    // Room for `room` elements (rounded up to a power of two) is made now; pushing while fewer
    // are queued allocates nothing and cannot throw.
    explicit RingQueue(std::size_t room = 0) {
        if (room > 0) {
            std::size_t slots = 1;
            while (slots < room) {
                slots *= 2;
            }
            m_slots.resize(slots);
        }
    }

    void swap(RingQueue& other) noexcept {
        m_slots.swap(other.m_slots);
        std::swap(m_head, other.m_head);
        std::swap(m_count, other.m_count);
    }

    bool empty() const { return m_count == 0; }
    std::size_t size() const { return m_count; }
    T& front() { return m_slots[m_head]; }
    const T& front() const { return m_slots[m_head]; }

    void push_back(T&& value) {
        if (m_count == m_slots.size()) {
            grow();
        }
        m_slots[(m_head + m_count) & (m_slots.size() - 1)] = std::move(value);
        ++m_count;
    }

    // A new newest element, to be built in its slot: the slot holds what the last take left
    // (moved-from: nothing owned, other fields stale), so the caller sets every field.
    T& emplace_back() {
        if (m_count == m_slots.size()) {
            grow();
        }
        T& slot = m_slots[(m_head + m_count) & (m_slots.size() - 1)];
        ++m_count;
        return slot;
    }

    // Removes the oldest element and returns it.
    T take_front() {
        T oldest = std::move(m_slots[m_head]);
        m_head = (m_head + 1) & (m_slots.size() - 1);
        --m_count;
        return oldest;
    }
    void pop_front() { take_front(); }

    void clear() {
        while (!empty()) {
            pop_front();
        }
    }

private:
    // Twice the room (four slots at first: always a power of two), oldest first.
    void grow() {
        std::vector<T> grown(m_slots.empty() ? 4 : 2 * m_slots.size());
        for (std::size_t i = 0; i < m_count; ++i) {
            grown[i] = std::move(m_slots[(m_head + i) & (m_slots.size() - 1)]);
        }
        m_slots.swap(grown);
        m_head = 0;
    }

    std::vector<T> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};

}  // namespace hidutil::internal
