#include "www/mimedecode.h"

#include "www/base64.h"

namespace {

int hexvalue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

// ---- Destinations ------------------------------------------------------------

void FileSink::write(const char* bytes, std::size_t count) { std::fwrite(bytes, 1, count, file_); }

void MemorySink::write(const char* bytes, std::size_t count)
{
    std::size_t room = limit_ - text_->size();
    if (count > room)
        overflowed_ = true;
    text_->append(bytes, count < room ? count : room);
}

// ---- base64 ----------------------------------------------------------------------

void Base64Filter::write(const char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        take(static_cast<unsigned char>(bytes[i]));
}

void Base64Filter::take(unsigned char c)
{
    if (c == '\r' || c == '\n') {
        if (dashline_)
            std::fprintf(stderr, "Ignoring unrecognized boundary line: %s\n", dashtext_.c_str());
        dashline_ = false;
        dashtext_.clear();
        linestart_ = true;
        return;
    }
    if (linestart_ && c == '-')
        dashline_ = true;
    linestart_ = false;
    if (dashline_) {
        if (dashtext_.size() < 200)
            dashtext_ += static_cast<char>(c);
        return;
    }
    if (ended_ || c == ' ' || c == '\t')
        return;
    if (c == '=') {
        // Padding: a group with one or two characters before it yields
        // its bytes; nothing after it is data.
        if (count_ >= 2)
            emit(static_cast<char>((group_[0] << 2) | (group_[1] >> 4)));
        if (count_ == 3)
            emit(static_cast<char>(((group_[1] & 0xf) << 4) | (group_[2] >> 2)));
        ended_ = true;
        return;
    }
    int v = base64_sextet(c);
    if (v < 0)
        return;
    group_[count_++] = v;
    if (count_ == 4) {
        emit(static_cast<char>((group_[0] << 2) | (group_[1] >> 4)));
        emit(static_cast<char>(((group_[1] & 0xf) << 4) | (group_[2] >> 2)));
        emit(static_cast<char>(((group_[2] & 0x3) << 6) | group_[3]));
        count_ = 0;
    }
}

void Base64Filter::emit(char c)
{
    if (!text_) {
        next_.put(c);
        return;
    }
    if (heldcr_) {
        heldcr_ = false;
        if (c == '\n') {
            next_.put('\n');
            return;
        }
        next_.put('\r');
    }
    if (c == '\r')
        heldcr_ = true;
    else
        next_.put(c);
}

void Base64Filter::end(BodyEnd how)
{
    if (dashline_)
        std::fprintf(stderr, "Ignoring unrecognized boundary line: %s\n", dashtext_.c_str());
    if (how == BodyEnd::input && count_ != 0 && !ended_)
        std::fputs("Warning: base64 decoder saw premature EOF!\n", stderr);
    if (heldcr_)
        next_.put('\r');
}

// ---- quoted-printable ------------------------------------------------------------

void QuotedPrintableFilter::write(const char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        take(bytes[i]);
}

void QuotedPrintableFilter::take(char c)
{
    switch (state_) {
    case equals:
        if (hexvalue(c) >= 0) {
            high_ = c;
            state_ = hex;
        } else if (c == '\r') {
            state_ = softcr;
        } else if (c == '\n') {
            state_ = plain;
        } else {
            next_.put('=');
            state_ = plain;
            take(c);
        }
        return;
    case hex:
        state_ = plain;
        if (hexvalue(c) >= 0) {
            next_.put(static_cast<char>(hexvalue(high_) * 16 + hexvalue(c)));
            return;
        }
        next_.put('=');
        next_.put(high_);
        take(c);
        return;
    case softcr:
        state_ = plain;
        if (c == '\n')
            return;
        take(c);
        return;
    case plain:
        if (c == '=')
            state_ = equals;
        else
            next_.put(c);
        return;
    }
}

// The line end before the boundary is not part of the body, so a final
// "=" is a soft break with nothing after it.
void QuotedPrintableFilter::end(BodyEnd)
{
    if (state_ == hex) {
        next_.put('=');
        next_.put(high_);
    }
}

// ---- uuencode --------------------------------------------------------------------

void UudecodeFilter::write(const char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        char c = bytes[i];
        if (c == '\n') {
            line();
        } else if (c != '\r') {
            if (length_ == 0 && !quoted_ && c == '>') {
                quoted_ = true; // a mail system's From-stuffing
            } else if (length_ < UUE_LINE_MAX) {
                text_[length_++] = c;
            }
            started_ = true;
        }
    }
}

void UudecodeFilter::line()
{
    std::string_view text(text_.data(), length_);
    bool empty = !started_;
    length_ = 0;
    quoted_ = false;
    started_ = false;
    if (state_ == before) {
        if (text.starts_with("begin"))
            state_ = inside;
        return;
    }
    if (state_ != inside || empty || text.empty())
        return;
    if (text == "end" || text[0] == '`' || text[0] == ' ') {
        state_ = finished;
        return;
    }
    if (text.starts_with("--")) {
        // The reader has already found that it is no boundary line.
        std::fputs("ignoring invalid boundary marker\n", stderr);
        return;
    }
    int n = static_cast<unsigned char>(text[0]) - 32;
    if (n < 1 || n > static_cast<int>(UUE_LINE_MAX)) {
        std::fprintf(stderr, "fromuue: illegal length (%d)\n", n);
        return;
    }
    // Characters beyond the line count as blanks (zero bits).
    auto bits = [&](std::size_t i) {
        return i < text.size() ? (static_cast<unsigned char>(text[i]) - 32) & 0x3f : 0;
    };
    for (int k = 0, out = 0; out < n; ++k) {
        std::size_t at = 1 + 4 * static_cast<std::size_t>(k);
        unsigned v = (bits(at) << 18) | (bits(at + 1) << 12) | (bits(at + 2) << 6) | bits(at + 3);
        for (int shift = 16; shift >= 0 && out < n; shift -= 8, ++out)
            next_.put(static_cast<char>((v >> shift) & 0xff));
    }
}

void UudecodeFilter::end(BodyEnd how)
{
    if (started_)
        line();
    if (how == BodyEnd::input && state_ != finished)
        std::fputs("Premature EOF!\n", stderr);
    else if (how == BodyEnd::boundary && state_ == inside)
        std::fputs("premature end of x-uue body part\n", stderr);
}
