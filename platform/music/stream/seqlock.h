// One writer publishes a small record of plain data; any thread reads it without waiting. Each word
// is stored with release and loaded with acquire, so a reader that sees a word of a newer record also
// sees that record's odd sequence and reads again.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

template <typename Record>
struct Seqlock {
    static_assert(std::is_trivially_copyable_v<Record> && sizeof(Record) % 8 == 0);
    std::atomic<uint32_t> sequence{0};
    std::atomic<uint64_t> words[sizeof(Record) / 8]{};
};

// The writer's thread only (or one writer at a time, under a lock of its own).
template <typename Record>
void seqlockWrite(Seqlock<Record>* lock, const Record& record)
{
    uint64_t words[sizeof(Record) / 8];
    std::memcpy(words, &record, sizeof words);
    const uint32_t sequence = lock->sequence.load(std::memory_order_relaxed);
    lock->sequence.store(sequence + 1, std::memory_order_relaxed);
    for (size_t i = 0; i < sizeof(Record) / 8; ++i)
        lock->words[i].store(words[i], std::memory_order_release);
    lock->sequence.store(sequence + 2, std::memory_order_release);
}

template <typename Record>
Record seqlockRead(const Seqlock<Record>* lock)
{
    uint64_t words[sizeof(Record) / 8];
    for (;;) {
        const uint32_t before = lock->sequence.load(std::memory_order_acquire);
        for (size_t i = 0; i < sizeof(Record) / 8; ++i)
            words[i] = lock->words[i].load(std::memory_order_acquire);
        if (!(before & 1) && lock->sequence.load(std::memory_order_relaxed) == before)
            break;
    }
    Record record;
    std::memcpy(&record, words, sizeof record);
    return record;
}

// Changes with every record written: a reader that saw the same even value has nothing new to read.
template <typename Record>
uint32_t seqlockVersion(const Seqlock<Record>* lock)
{
    return lock->sequence.load(std::memory_order_acquire);
}
