// growarray: a growable array of equal-sized records, zeroed when handed out.
// The array owns its records (released by growarray_free or its destructor);
// out of memory empties the array and growarray_add answers null.
#pragma once

#include <cstdint>

struct GrowArray {
    std::int16_t count = 0;       // records in use
    std::int16_t allocated = 0;   // records for which memory is held
    std::int16_t record_size = 0; // bytes per record
    std::int16_t quantum = 0;     // growth step in records, a power of two
    void* data = nullptr;         // the records, contiguous

    GrowArray() = default;
    GrowArray(const GrowArray&) = delete;
    GrowArray& operator=(const GrowArray&) = delete;
    ~GrowArray();
};

// Empties the array (releasing what it held) and sets its record size and
// growth quantum.
void growarray_init(GrowArray* array, int record_size, int quantum);

// The first of n new zeroed records at the end of the array, or null when
// memory runs out (the array is then empty) or the count would pass the
// 16-bit limit (the array is then unchanged).
void* growarray_add(GrowArray* array, int n);

// Record i (0 <= i < count).
void* growarray_at(const GrowArray* array, int i);

// Releases the records; the array is empty afterwards.
void growarray_free(GrowArray* array);
