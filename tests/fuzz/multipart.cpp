// The multipart reader.  The input's first line is what the request's
// content type says after "boundary=" (quoted or not); the rest is the
// body.  Uploads go to files below a private ZEL_ROOT: every file the
// reader made is one it knows of (and removes), each upload's file exists
// with mode 0600, and nothing is left once the reader removed its files.
// Then the input, cut at its NUL bytes, is posted the way a browser or a
// mail program posts a form (text fields and uploads in turn, as they are,
// in quoted-printable or in base64, under a boundary found in none of
// them): every field must come back with its bytes exactly.
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "tests/fuzz/formfields.h"
#include "tests/fuzz/fuzzing.h"
#include "www/base64.h"
#include "www/frommime.h"
#include "www/tempfiles.h"
#include "www/wwwinput.h"

namespace {

// The reader's diagnostics go to standard error for the web server's log;
// here they would only slow the search.  Sanitizer reports bypass stdio.
FILE* quiet()
{
    static FILE* null = std::fopen("/dev/null", "w");
    FUZZ_CHECK(null != nullptr);
    return null;
}

void check_upload(const FormField* f, const std::string& tmp)
{
    FUZZ_CHECK(f->value != nullptr);
    std::string path = f->value;
    FUZZ_CHECK(path.starts_with(tmp + "/mm.") && path.size() == tmp.size() + 10);
    struct stat st;
    FUZZ_CHECK(lstat(path.c_str(), &st) == 0);
    FUZZ_CHECK(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0600);
}

struct Parse {
    int count;
    std::vector<FieldCopy> fields;
    std::vector<std::string> files; // the upload's bytes, "" for a text field
};

std::string slurp(const char* path)
{
    std::string bytes;
    FILE* file = std::fopen(path, "r");
    FUZZ_CHECK(file != nullptr);
    for (int c; (c = std::getc(file)) != EOF;)
        bytes += static_cast<char>(c);
    std::fclose(file);
    return bytes;
}

// Parses a body and checks what it leaves; the fields, everything released.
Parse parse(std::string_view body, const char* boundary, const std::string& tmp)
{
    FuzzStream in(body);
    FILE* saved = stderr;
    stderr = quiet();
    Parse p{extractform(in.get(), &formhead, boundary, static_cast<long>(body.size())), {}, {}};
    stderr = saved;
    FUZZ_CHECK(p.count == formfieldcount());
    FUZZ_CHECK(std::ftell(in.get()) <= static_cast<long>(body.size()));

    int uploads = 0;
    for (const FormField* f = &formhead; f != nullptr; f = f->next) {
        if (f->file != 0) {
            check_upload(f, tmp);
            p.files.push_back(slurp(f->value));
            ++uploads;
        } else {
            if (f->value != nullptr)
                FUZZ_CHECK(std::strlen(f->value) < FIELD_MAX);
            p.files.emplace_back();
        }
    }
    p.fields = fieldcopies(&formhead);
    // Every file below tmp is one the reader made and will remove.
    std::size_t files = fuzz_list("tmp").size();
    FUZZ_CHECK(files == static_cast<std::size_t>(tempfilecount()));
    FUZZ_CHECK(files >= static_cast<std::size_t>(uploads));
    removetempfiles();
    FUZZ_CHECK(tempfilecount() == 0);
    FUZZ_CHECK(fuzz_list("tmp").empty());
    releaseform();
    return p;
}

std::string quoted_printable(const std::string& bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t column = 0;
    for (unsigned char c : bytes) {
        if (column >= 70) {
            out += "=\r\n";
            column = 0;
        }
        if (c >= 33 && c <= 126 && c != '=') {
            out += static_cast<char>(c);
            ++column;
        } else {
            out += '=';
            out += hex[c >> 4];
            out += hex[c & 15];
            column += 3;
        }
    }
    return out;
}

std::string base64_lines(const std::string& bytes)
{
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
    for (std::size_t at = 76; at < out.size(); at += 78)
        out.insert(at, "\r\n");
    return out;
}

// How piece i is posted: a text field or an upload, as it is or encoded.
struct Kind {
    bool upload;
    const char* encoding; // null: none
};

Kind kind(std::size_t i)
{
    static const Kind kinds[] = {{false, nullptr}, {true, nullptr},   {false, "quoted-printable"},
                                 {true, "base64"}, {false, "base64"}, {true, "quoted-printable"}};
    return kinds[i % (sizeof kinds / sizeof kinds[0])];
}

// The input's pieces as a form post; each comes back as it was sent.
void check_post(std::string_view input, const std::string& tmp)
{
    std::vector<std::string> pieces;
    for (std::size_t at = 0; pieces.size() < 8;) {
        std::size_t nul = input.find('\0', at);
        pieces.emplace_back(input.substr(at, nul - at));
        if (nul == std::string_view::npos)
            break;
        at = nul + 1;
    }
    std::string boundary = "zelfuzz";
    for (int n = 0;; ++n) {
        bool unused = true;
        for (const std::string& piece : pieces)
            unused = unused && piece.find("--" + boundary) == std::string::npos;
        if (unused)
            break;
        boundary = "zelfuzz" + std::to_string(n);
    }
    std::string body;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        Kind k = kind(i);
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"f" +
                std::to_string(i) + "\"";
        if (k.upload)
            body += "; filename=\"f.bin\"\r\nContent-Type: application/octet-stream";
        std::string content = pieces[i];
        if (k.encoding != nullptr) {
            body += std::string("\r\nContent-Transfer-Encoding: ") + k.encoding;
            content = *k.encoding == 'b' ? base64_lines(content) : quoted_printable(content);
        }
        body += "\r\n\r\n" + content + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    Parse p = parse(body, boundary.c_str(), tmp);
    FUZZ_CHECK(p.fields.size() == pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        FUZZ_CHECK(p.fields[i].name == "f" + std::to_string(i));
        FUZZ_CHECK(p.fields[i].file == kind(i).upload);
        if (kind(i).upload)
            FUZZ_CHECK(p.files[i] == pieces[i]);
        else if (pieces[i].size() < FIELD_MAX)
            FUZZ_CHECK(p.fields[i].has_value && p.fields[i].value == pieces[i]);
        else
            FUZZ_CHECK(!p.fields[i].has_value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string tmp = [] {
        std::string dir = fuzz_root() + "/tmp";
        FUZZ_CHECK(mkdir(dir.c_str(), 0700) == 0);
        return dir;
    }();
    std::string_view input = fuzz_bytes(data, size);
    std::size_t newline = input.find('\n');
    std::string boundary(input.substr(0, newline));
    std::string_view body =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    bool has_boundary = boundary.find('\0') == std::string::npos && !boundary.empty();

    parse(body, has_boundary ? boundary.c_str() : nullptr, tmp);
    check_post(input, tmp);
    return 0;
}
