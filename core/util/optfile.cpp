#include "optfile_impl.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vex_assert.h"
#include "vex_log.h"
#include "vexcore/ascii.h"

// Line ends are counted by ourselves (CR LF, CR or LF), so the run-time must
// not translate them where it would.
#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
// A named pipe without a writer would otherwise block the open for good;
// regular files ignore the flag.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif

namespace {

constexpr size_t kPathMax = 1024;

char *text_of(optfile *of) { return reinterpret_cast<char *>(of + 1); }

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

bool in_set(const char *set, char c) { return c != '\0' && std::strchr(set, c) != nullptr; }

// Consumes one line end at p (CR LF, CR or LF) and counts it.
const char *skip_line_end(const char *p, unsigned &line)
{
    if (p[0] == '\r' && p[1] == '\n')
        p += 2;
    else
        ++p;
    ++line;
    return p;
}

bool same_name(const char *a, const char *b)
{
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (;; ++x, ++y) {
        if (ascii_convert_to_lowercase[*x] != ascii_convert_to_lowercase[*y])
            return false;
        if (*x == 0)
            return true;
    }
}

const optfile_entry *find(const optfile *of, const char *name)
{
    for (const optfile_entry *e = &of->buckets[optfile_bucket_of(name)]; e && e->name; e = e->next)
        if (same_name(e->name, name))
            return e;
    return nullptr;
}

void free_chains(optfile *of)
{
    for (optfile_entry &bucket : of->buckets) {
        optfile_entry *e = bucket.next;
        while (e) {
            optfile_entry *next = e->next;
            std::free(e);
            e = next;
        }
        bucket.next = nullptr;
    }
}

// Reads up to `size` bytes; a short count means the end of the file came
// first. Returns false on a read error with errno set.
bool read_all(int fd, char *buf, size_t size, size_t &got)
{
    got = 0;
    while (got < size) {
        size_t want = size - got;
        if (want > (1u << 30))
            want = 1u << 30;
        auto n = ::read(fd, buf + got, static_cast<unsigned>(want));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return true;
}


// Parses the text in place: names and values are written back at w, which
// never overtakes the read position r. Logs the first syntax error.
bool parse(optfile *of, const char *path, logcx *log, const char *comments, const char *delims, int flags)
{
    char *r = text_of(of);
    char *w = r;
    unsigned line = 1;
    const bool trim = flags & OPTFILE_TRIM;
    const bool continuation = !(flags & OPTFILE_NO_CONTINUATION);

    for (;;) {
        while (is_line_end(*r))
            r = const_cast<char *>(skip_line_end(r, line));
        if (*r == '\0')
            return true;
        if (in_set(comments, *r)) {
            while (*r && !is_line_end(*r))
                ++r;
            continue;
        }

        char *name = w;
        while (*r && !is_line_end(*r) && !in_set(delims, *r))
            *w++ = *r++;
        if (trim)
            while (w > name && w[-1] == ' ')
                --w;
        if (w == name) {
            vex_log(log, LOGCX_ERR, "Empty option name, option file '%s' line %u\n", path, line);
            return false;
        }
        if (*r == '\0' || is_line_end(*r)) {
            vex_log(log, LOGCX_ERR, "Missing delimiter between option name and value, option file '%s' line %u\n",
                    path, line);
            return false;
        }
        ++r;  // the delimiter; the name's terminator may take its place
        *w++ = '\0';

        if (const optfile_entry *first = find(of, name)) {
            if (!(flags & OPTFILE_ALLOW_DUPLICATES)) {
                vex_log(log, LOGCX_ERR, "Duplicate option '%s' in file '%s' lines %u and %u\n", name, path,
                        first->line, line);
                return false;
            }
            w = name;
            // The skipped value's continuation lines belong to it: they must
            // not be read as options of their own.
            while (*r && !is_line_end(*r)) {
                if (continuation && r[0] == '\\' && is_line_end(r[1]))
                    r = const_cast<char *>(skip_line_end(r + 1, line));
                else
                    ++r;
            }
            continue;
        }

        optfile_entry *entry = &of->buckets[optfile_bucket_of(name)];
        if (entry->name) {
            while (entry->next)
                entry = entry->next;
            auto *added = static_cast<optfile_entry *>(std::calloc(1, sizeof(optfile_entry)));
            if (!added)
                return false;
            entry->next = added;
            entry = added;
        }
        entry->name = name;
        entry->line = line;
        entry->value = w;

        if (trim)
            while (*r == ' ' || *r == '\t')
                ++r;
        while (*r && !is_line_end(*r)) {
            if (continuation && r[0] == '\\' && is_line_end(r[1])) {
                r = const_cast<char *>(skip_line_end(r + 1, line));
                continue;
            }
            *w++ = *r++;
        }
        entry->value_len = static_cast<size_t>(w - entry->value);
        // The terminator may land where the line end stands: take that first.
        if (is_line_end(*r))
            r = const_cast<char *>(skip_line_end(r, line));
        *w++ = '\0';
    }
}

}  // namespace

unsigned optfile_bucket_of(const char *name)
{
    uint32_t h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
        auto lower = static_cast<int8_t>(ascii_convert_to_lowercase[*p]);
        h = h * 7u + static_cast<uint32_t>(5 * static_cast<int32_t>(lower));
    }
    return h % kOptfileBuckets;
}

extern "C" optfile *optfile_read(const char *dir, const char *name, logcx *log, const char *comments,
                                 const char *delims, int flags, optfile_check_fn check, void *check_arg)
{
    if (!name)
        return nullptr;
    if (!comments)
        comments = "!#;";
    if (!delims)
        delims = "=:";
    if (!dir)
        dir = "";

    char path[kPathMax];
    int plen = std::snprintf(path, sizeof path, "%s%s%s", dir, *dir ? "/" : "", name);
    // A cut path would name some other file: treat it as one that cannot be opened.
    if (plen < 0 || static_cast<size_t>(plen) >= sizeof path)
        return nullptr;

    int fd = ::open(path, O_RDONLY | O_BINARY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;

    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        vex_log(log, LOGCX_ERR, "Error accessing option file '%s': %s (%d)\n", path, std::strerror(err), err);
        ::close(fd);
        return nullptr;
    }
    if (check && check(check_arg, log, fd, &st) != 0) {
        ::close(fd);
        return nullptr;
    }

    size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    if (size > SIZE_MAX - sizeof(optfile) - 1) {
        ::close(fd);
        return nullptr;
    }
    auto *of = static_cast<optfile *>(std::malloc(sizeof(optfile) + size + 1));
    if (!of) {
        ::close(fd);
        return nullptr;
    }
    std::memset(of, 0, sizeof(optfile));
    of->valid = 1;

    size_t got = 0;
    if (!read_all(fd, text_of(of), size, got)) {
        int err = errno;
        vex_log(log, LOGCX_ERR, "Error reading option file '%s': %s (%d)\n", path, std::strerror(err), err);
        optfile_dispose(of);
        ::close(fd);
        return nullptr;
    }
    ::close(fd);
    text_of(of)[got] = '\0';

    if (!parse(of, path, log, comments, delims, flags)) {
        optfile_dispose(of);
        return nullptr;
    }
    return of;
}

extern "C" const char *optfile_get(const optfile *of, const char *name, const char *def)
{
    if (!of || !name)
        return def;
    const optfile_entry *e = find(of, name);
    return e ? e->value : def;
}

extern "C" int optfile_copy(const optfile *of, char *buf, size_t size, size_t *len, const char *name,
                            const char *def)
{
    const optfile_entry *e = of && name ? find(of, name) : nullptr;
    const char *src = e ? e->value : (def ? def : "");
    size_t n = e ? e->value_len : std::strlen(src);
    if (size == 0) {
        if (len)
            *len = 0;
        return -1;
    }
    size_t take = n < size - 1 ? n : size - 1;
    std::memcpy(buf, src, take);
    buf[take] = '\0';
    if (len)
        *len = take;
    return n > size - 1 ? -1 : 0;
}

namespace {

const unsigned char *skip_space(const char *s)
{
    auto p = reinterpret_cast<const unsigned char *>(s);
    while (ascii_ctype_mask_table[*p] & ASCII_CTYPE_SPACE)
        ++p;
    return p;
}

bool is_digit(unsigned char c) { return ascii_ctype_mask_table[c] & ASCII_CTYPE_DIGIT; }

bool equals_ignoring_case(const unsigned char *s, const char *word)
{
    return same_name(reinterpret_cast<const char *>(s), word);
}

}  // namespace

extern "C" int32_t optfile_int(const optfile *of, const char *name, int32_t def)
{
    const char *v = optfile_get(of, name, nullptr);
    if (!v)
        return def;
    const unsigned char *p = skip_space(v);
    bool negative = p[0] == '-';
    if (!is_digit(negative ? p[1] : p[0]))
        return def;
    // Accumulated by hand so the result does not depend on the width of the
    // run-time's long: out-of-range values stop at the 32-bit limits.
    int64_t magnitude = 0;
    for (const unsigned char *d = p + (negative ? 1 : 0); is_digit(*d); ++d) {
        magnitude = magnitude * 10 + (*d - '0');
        if (magnitude > int64_t{INT32_MAX} + 1)
            magnitude = int64_t{INT32_MAX} + 1;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        value = INT32_MAX;
    return static_cast<int32_t>(value);
}

extern "C" int optfile_bool(const optfile *of, const char *name, int def)
{
    const char *v = optfile_get(of, name, nullptr);
    if (v) {
        const unsigned char *p = skip_space(v);
        switch (*p) {
        case 't': case 'T': case 'y': case 'Y': case '1':
            return 1;
        default:
            break;
        }
        if (equals_ignoring_case(p, "on"))
            return 1;
        switch (*p) {
        case 'f': case 'F': case 'n': case 'N': case '0':
            return 0;
        default:
            break;
        }
        if (equals_ignoring_case(p, "off"))
            return 0;
    }
    return def != 0;
}

extern "C" void optfile_dispose(optfile *of)
{
    if (!of)
        return;
    VEX_ASSERT_AT(of->valid != 0, "optf->valid != 0", "optfile", 81);
    free_chains(of);
    of->valid = 0;
    std::free(of);
}
