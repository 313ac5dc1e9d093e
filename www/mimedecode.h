// mimedecode: where the MIME reader puts the bytes of a part's body (a
// file, a bounded string, nowhere) and the transfer decodings between the
// body and that place (base64, quoted-printable, uuencode).  Bytes are
// buffered and handed on in blocks; a decoder takes any input and warns on
// standard error about what it skips or finds cut short.  Nothing fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// How a body ended: at a boundary line of an active level, or at the end
// of the input.
enum class BodyEnd { boundary, input };

// The place a body's bytes go; finish hands on what is buffered, once
// the body has ended.
class BodySink {
public:
    BodySink() = default;
    BodySink(const BodySink&) = delete;
    BodySink& operator=(const BodySink&) = delete;
    virtual ~BodySink() = default;
    void put(char c)
    {
        if (used_ == buffer_.size())
            flush();
        buffer_[used_++] = c;
    }
    void put(std::string_view text)
    {
        for (char c : text)
            put(c);
    }
    void finish(BodyEnd how)
    {
        flush();
        done(how);
    }

protected:
    virtual void write(const char* bytes, std::size_t count) = 0;
    virtual void done(BodyEnd) {}

private:
    void flush()
    {
        if (used_ != 0)
            write(buffer_.data(), used_);
        used_ = 0;
    }

    std::array<char, 8192> buffer_;
    std::size_t used_ = 0;
};

class DiscardSink final : public BodySink {
    void write(const char*, std::size_t) override {}
};

class FileSink final : public BodySink {
public:
    explicit FileSink(FILE* file) : file_(file) {}

private:
    void write(const char* bytes, std::size_t count) override;
    FILE* file_;
};

// Keeps at most `limit` bytes; the rest of the body is read and dropped,
// and overflowed() tells that there was more.
class MemorySink final : public BodySink {
public:
    MemorySink(std::string* text, std::size_t limit) : text_(text), limit_(limit) {}
    bool overflowed() const { return overflowed_; }

private:
    void write(const char* bytes, std::size_t count) override;
    std::string* text_;
    std::size_t limit_;
    bool overflowed_ = false;
};

// A decoder between the raw body and its destination, which it finishes
// after its own end.
class BodyFilter : public BodySink {
public:
    explicit BodyFilter(BodySink& next) : next_(next) {}

protected:
    void done(BodyEnd how) override
    {
        end(how);
        next_.finish(how);
    }
    virtual void end(BodyEnd) {}
    BodySink& next_;
};

// A dash line inside the data is reported and skipped: the reader has
// already found that it is none of the active boundaries.
class Base64Filter final : public BodyFilter {
public:
    // `text`: CR LF pairs of the decoded data become LF.
    Base64Filter(BodySink& next, bool text) : BodyFilter(next), text_(text) {}

private:
    void write(const char* bytes, std::size_t count) override;
    void take(unsigned char c);
    void emit(char c);
    void end(BodyEnd how) override;

    bool text_;
    int group_[4] = {};
    int count_ = 0;
    bool ended_ = false;
    bool linestart_ = true;
    bool dashline_ = false;
    bool heldcr_ = false;
    std::string dashtext_;
};

class QuotedPrintableFilter final : public BodyFilter {
public:
    using BodyFilter::BodyFilter;

private:
    enum State { plain, equals, hex, softcr };

    void write(const char* bytes, std::size_t count) override;
    void take(char c);
    void end(BodyEnd how) override;

    State state_ = plain;
    char high_ = 0;
};

// The data between a "begin" line and an "end" line (or a line of no
// characters); lines longer than a full one are cut.
class UudecodeFilter final : public BodyFilter {
public:
    using BodyFilter::BodyFilter;

private:
    static constexpr std::size_t UUE_LINE_MAX = 63;
    enum State { before, inside, finished };

    void write(const char* bytes, std::size_t count) override;
    void line();
    void end(BodyEnd how) override;

    std::array<char, UUE_LINE_MAX> text_{};
    std::size_t length_ = 0;
    bool quoted_ = false;
    bool started_ = false;
    State state_ = before;
};
