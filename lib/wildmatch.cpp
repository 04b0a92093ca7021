#include "lib/wildmatch.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// One WildMatch call. Once the recursion for "*" has failed often, it
// remembers the (pattern, name) positions known not to match, so that
// patterns with many stars stay polynomial on long names.
struct tMatch {
    const unsigned char *name0;
    const unsigned char *pat0;
    size_t nameLen = 0;
    size_t patLen = 0;
    int flags = 0;
    int attempts = 0;           // failed star attempts before remembering starts
    uint8_t *failed = nullptr;  // bit per (pattern, name) position; lazily set up
    uint8_t local[256];
    std::vector<uint8_t> heap;

    size_t Key(const unsigned char *n, const unsigned char *p) const {
        return (size_t)(p - pat0) * (nameLen + 1) + (size_t)(n - name0);
    }
    void Setup() {
        nameLen = strlen(reinterpret_cast<const char *>(name0));
        patLen = strlen(reinterpret_cast<const char *>(pat0));
        size_t bytes = ((patLen + 1) * (nameLen + 1) + 7) / 8;
        if (bytes <= sizeof local) {
            failed = local;
        } else {
            heap.assign(bytes, 0);
            failed = heap.data();
            return;
        }
        memset(failed, 0, bytes);
    }
    bool KnownFailed(size_t k) const { return failed[k >> 3] & (1u << (k & 7)); }
    void SetFailed(size_t k) { failed[k >> 3] |= (uint8_t)(1u << (k & 7)); }
};

inline unsigned char Up(unsigned char c) { return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 32) : c; }

// Matches one name character against the set starting after "[". Sets *end
// to the character after the closing "]"; returns -1 when there is none.
int MatchSet(unsigned char c, const unsigned char *p, const unsigned char **end) {
    bool negate = false;
    if (*p == '^' && p[1] != ']') {
        negate = true;
        p++;
    }
    bool found = false;
    unsigned char uc = Up(c);
    while (*p && *p != ']') {
        if (p[1] == '-' && p[2] && p[2] != ']') {
            if (Up(p[0]) <= uc && uc <= Up(p[2])) found = true;
            p += 3;
        } else {
            if (Up(*p) == uc) found = true;
            p++;
        }
    }
    if (*p != ']') return -1;
    *end = p + 1;
    return found != negate;
}

bool Match(tMatch *m, const unsigned char *n, const unsigned char *p) {
    const int flags = m->flags;
    for (;;) {
        if (!*p) return !*n;
        if (!*n) {
            // The name is exhausted: "*" characters and then "." characters
            // left in the pattern match nothing; after a run of "*" this
            // repeats, so that "*.*" matches an empty rest but ".*" does not.
            for (;;) {
                const unsigned char *start = p;
                while (*p == '*') p++;
                bool hadStar = p != start;
                while (*p == '.') p++;
                if (!hadStar || !*p) break;
            }
            return !*p;
        }
        switch (*p) {
        case '?':
            if (*n == '.') return false;
            n++;
            p++;
            break;
        case '*':
            p++;
            if (!*p) return true;
            {
                // A literal after the star: only positions holding it can start
                // the rest. Without a further star the rest cannot branch, and
                // nothing needs remembering.
                bool literal = *p != '?' && *p != '*' && (*p != '[' || (flags & WM_NO_SETS));
                unsigned char first = Up(*p);
                for (; *n; n++) {
                    if (literal && Up(*n) != first) continue;
                    if (!m->failed) {
                        if (Match(m, n, p)) return true;
                        // Many failed attempts: the pattern branches a lot.
                        if (++m->attempts > 64 && strchr(reinterpret_cast<const char *>(p), '*')) m->Setup();
                        continue;
                    }
                    size_t k = m->Key(n, p);
                    if (m->KnownFailed(k)) continue;
                    if (Match(m, n, p)) return true;
                    m->SetFailed(k);
                }
            }
            return false;
        case '[':
            if (!(flags & WM_NO_SETS)) {
                const unsigned char *end;
                int r = MatchSet(*n, p + 1, &end);
                if (r <= 0) return false;
                n++;
                p = end;
                break;
            }
            [[fallthrough]];
        default:
            if (Up(*n) != Up(*p)) return false;
            n++;
            p++;
        }
    }
}

}  // namespace

bool WildMatch(const char *name, const char *pattern, int flags) {
    tMatch m;
    m.name0 = reinterpret_cast<const unsigned char *>(name);
    m.pat0 = reinterpret_cast<const unsigned char *>(pattern);
    m.flags = flags;
    return Match(&m, m.name0, m.pat0);
}

int PatternListMatch(const char *name, const char *const *patterns, int flags) {
    if (!patterns || !patterns[0]) return (flags & WM_EMPTY_NO_MATCH) ? 0 : 1;
    for (const char *const *pp = patterns; *pp; pp++) {
        const char *pat = *pp;
        bool negative = false;
        if (!(flags & WM_NO_NEGATION) && *pat == '!') {
            negative = true;
            pat++;
        }
        if (WildMatch(name, pat, flags)) return negative ? 0 : 1;
    }
    return 0;
}
