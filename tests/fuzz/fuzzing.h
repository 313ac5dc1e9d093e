// fuzzing: what the fuzz targets share.  An input as a read stream, what a
// writer puts on a stream as bytes, a private installation root (ZEL_ROOT)
// for the parsers that make or read fixed paths, and FUZZ_CHECK, which
// turns a broken round trip or contract into a crash that libFuzzer keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Prints the failed condition with the input's place and aborts, so the
// input becomes a crash artifact like any sanitizer report.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzz_fail(__FILE__, __LINE__, #condition);                                             \
    } while (0)

[[noreturn]] void fuzz_fail(const char* file, int line, const char* condition);

// The input bytes of one run.
inline std::string_view fuzz_bytes(const uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// A read stream over `bytes`, which must outlive it; closed with the object.
class FuzzStream {
public:
    explicit FuzzStream(std::string_view bytes);
    ~FuzzStream();
    FuzzStream(const FuzzStream&) = delete;
    FuzzStream& operator=(const FuzzStream&) = delete;
    FILE* get() const { return file_; }

private:
    FILE* file_;
};

// Everything `write` puts on the stream it is given.
template <typename Write>
std::string fuzz_written(Write&& write)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    FUZZ_CHECK(stream != nullptr);
    write(stream);
    std::fclose(stream);
    std::string bytes(buffer, size);
    std::free(buffer);
    return bytes;
}

// A fresh directory of this process with ZEL_ROOT pointing at it, made on
// the first call and removed with everything in it when the process exits.
const std::string& fuzz_root();

// Writes `bytes` as the file `relative` below the root (directories made).
std::string fuzz_put(const std::string& relative, std::string_view bytes);

// The names in the directory `relative` below the root.
std::vector<std::string> fuzz_list(const std::string& relative);
