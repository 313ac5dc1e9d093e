#include "lib/growarray.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

GrowArray::~GrowArray() { std::free(data); }

void growarray_init(GrowArray* array, int record_size, int quantum)
{
    growarray_free(array);
    array->record_size = static_cast<std::int16_t>(record_size);
    array->quantum = static_cast<std::int16_t>(quantum);
}

void growarray_free(GrowArray* array)
{
    std::free(array->data);
    array->data = nullptr;
    array->count = 0;
    array->allocated = 0;
}

void* growarray_at(const GrowArray* array, int i)
{
    assert(i >= 0 && i < array->count);
    return static_cast<char*>(array->data) +
           static_cast<std::size_t>(i) * static_cast<std::size_t>(array->record_size);
}

void* growarray_add(GrowArray* array, int n)
{
    if (n < 0 || array->record_size <= 0)
        return nullptr;
    long want = long{array->count} + n;
    std::size_t size = static_cast<std::size_t>(array->record_size);
    char* base = static_cast<char*>(array->data);
    if (want <= array->allocated) {
        char* first = base + static_cast<std::size_t>(array->count) * size;
        if (n > 0)
            std::memset(first, 0, static_cast<std::size_t>(n) * size);
        array->count = static_cast<std::int16_t>(want);
        return first;
    }
    // The smallest multiple of the quantum above the records wanted.
    long quantum = array->quantum > 0 ? array->quantum : 1;
    long capacity = (want + quantum) / quantum * quantum;
    if (capacity > INT16_MAX) {
        if (want > INT16_MAX)
            return nullptr;
        capacity = INT16_MAX;
    }
    void* grown = std::realloc(base, static_cast<std::size_t>(capacity) * size);
    if (grown == nullptr) {
        growarray_free(array);
        return nullptr;
    }
    base = static_cast<char*>(grown);
    char* first = base + static_cast<std::size_t>(array->count) * size;
    std::memset(first, 0, static_cast<std::size_t>(capacity - array->count) * size);
    array->data = grown;
    array->count = static_cast<std::int16_t>(want);
    array->allocated = static_cast<std::int16_t>(capacity);
    return first;
}
