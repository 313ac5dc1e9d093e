// mapfile: part of a regular file mapped read-only for one scan, so that a
// reader need not copy its bytes.  A file cut short while it is mapped
// raises SIGBUS at the first byte past its new end; during a scan that
// ends the scan there, and the caller is told, instead of killing the
// process.  Owns the mapping and the SIGBUS catcher for the length of one
// call only (calls do not nest; the programs have no threads).
#pragma once

#include <cstddef>
#include <functional>

#include <sys/types.h>

enum class MapScan {
    done,     // `use` answered true
    refused,  // `use` answered false
    cut,      // the file was cut short under the mapping: `use` ended
              // at a read past the new end
    unmapped, // not a regular file, nothing there, or no mapping: `use`
              // did not run
};

// Maps up to `length` bytes of `fd` from `offset` (a multiple of the page
// size), no further than the file's end, and runs `use` over them.  What
// `use` does between reads of the bytes must leave nothing that an end at
// any such read would lose or leave half made.
MapScan map_scan(int fd, off_t offset, std::size_t length,
                 const std::function<bool(const char* bytes, std::size_t size)>& use);

// The file's size, or -1 when it is not a regular file.
off_t map_size(int fd);
