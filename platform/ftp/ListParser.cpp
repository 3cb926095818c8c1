#include "platform/ftp/ListParser.h"

#include <unordered_map>
#include <unordered_set>

#include <cctype>
#include <charconv>
#include <cstring>

namespace ftp {

namespace {

struct Token {
    std::string_view text;
    size_t begin;
    size_t end;
};

// The columns of a Unix line that are looked at: permissions, link count,
// owner and group (either with blanks), size, date and the name's start.
constexpr size_t kUnixTokens = 24;

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::vector<Token> Tokenize(std::string_view line, size_t maxTokens = 64) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size() && tokens.size() < maxTokens) {
        while (i < line.size() && IsSpace(line[i]))
            ++i;
        if (i >= line.size())
            break;
        size_t start = i;
        while (i < line.size() && !IsSpace(line[i]))
            ++i;
        tokens.push_back({line.substr(start, i - start), start, i});
    }
    return tokens;
}

bool AllDigits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

template <class T> bool ToNumber(std::string_view s, T* out) {
    if (!AllDigits(s))
        return false;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && ptr == s.data() + s.size();
}

int MonthOf(std::string_view s) {
    static const char* names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                  "jul", "aug", "sep", "oct", "nov", "dec"};
    if (s.size() != 3)
        return -1;
    char lower[3];
    for (int i = 0; i < 3; ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
    for (int m = 0; m < 12; ++m)
        if (std::memcmp(lower, names[m], 3) == 0)
            return m;
    return -1;
}

// "HH:MM" or "HH:MM:SS".
bool ParseClock(std::string_view s, int* h, int* m, int* sec) {
    *sec = 0;
    size_t c1 = s.find(':');
    if (c1 == std::string_view::npos)
        return false;
    size_t c2 = s.find(':', c1 + 1);
    std::string_view hs = s.substr(0, c1);
    std::string_view ms =
        s.substr(c1 + 1, c2 == std::string_view::npos ? std::string_view::npos : c2 - c1 - 1);
    if (!ToNumber(hs, h) || !ToNumber(ms, m) || *h > 23 || *m > 59 || ms.size() != 2)
        return false;
    if (c2 != std::string_view::npos && (!ToNumber(s.substr(c2 + 1), sec) || *sec > 60))
        return false;
    return true;
}

std::int64_t Utc(int year, int month0, int day, int h, int m, int s) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month0;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return static_cast<std::int64_t>(timegm(&t));
}

// "-rw-r--r--", with an ACL or attribute mark ("+", "@", "."); some servers
// write the link count straight after the mark ("-rw-r--r--+1").
bool IsPermissions(std::string_view s) {
    if (s.size() > 11 && std::strchr("+@.", s[10]) && s[10] != '\0' && AllDigits(s.substr(11)))
        s = s.substr(0, 11);
    if (s.size() < 10 || s.size() > 11)
        return false;
    if (!std::strchr("-dlbcpsDn", s[0]) || s[0] == '\0')
        return false;
    for (size_t i = 1; i < 10; ++i)
        if (!std::strchr("-rwxsStTlLA", s[i]) || s[i] == '\0')
            return false;
    return s.size() == 10 || s[10] == '+' || s[10] == '@' || s[10] == '.';
}

// The size column: a number, or for a device file its "major,minor", the
// minor of "major, minor" (the "major," then stands before it, where the
// group would) or one number some servers write instead of the pair. A
// device has no size of its own: 0.
bool ParseSizeColumn(std::string_view s, bool device, std::uint64_t* size) {
    *size = 0;
    if (!device)
        return ToNumber(s, size);
    size_t comma = s.find(',');
    if (comma != std::string_view::npos)
        return AllDigits(s.substr(0, comma)) && AllDigits(s.substr(comma + 1));
    return AllDigits(s);
}

bool ParseUnix(std::string_view line, std::time_t now, FindData* out) {
    std::vector<Token> t = Tokenize(line, kUnixTokens);
    if (t.size() < 6 || !IsPermissions(t[0].text))
        return false;
    char kind = t[0].text[0];
    bool device = kind == 'c' || kind == 'b';
    // The date (month, day, year or time; or an ISO date and time) is looked
    // for from the left, after permissions, links and owner first, with the
    // size just before it: owners and groups may hold blanks ("Domain
    // Users" on Windows servers), the name may hold anything, and the first
    // place that reads as size and date is the one. An owner named like a
    // month ("jan", "may") followed by a numeric group is thus not read as a
    // date. Listings without a link count or owner are tried last.
    for (size_t i = 3; i <= t.size(); ++i) {
        size_t k = i < t.size() ? i : 2; // where the month (or ISO date) would stand
        if (k + 1 >= t.size())
            continue;
        int year = 0, month = -1, day = 0, h = 0, m = 0, s = 0;
        size_t last; // token holding the time or year
        bool haveYear = false;
        if ((month = MonthOf(t[k].text)) >= 0 && k + 2 < t.size()) {
            if (!ToNumber(t[k + 1].text, &day) || day < 1 || day > 31)
                continue;
            last = k + 2;
            if (ParseClock(t[last].text, &h, &m, &s)) {
                haveYear = false;
            } else if (t[last].text.size() == 4 && ToNumber(t[last].text, &year) && year >= 1900) {
                haveYear = true;
            } else {
                continue;
            }
        } else if (t[k].text.size() == 10 && t[k].text[4] == '-' && t[k].text[7] == '-' &&
                   k + 1 < t.size()) {
            // Numeric dates: 2002-03-08 12:40
            if (!ToNumber(t[k].text.substr(0, 4), &year) ||
                !ToNumber(t[k].text.substr(5, 2), &month) ||
                !ToNumber(t[k].text.substr(8, 2), &day) || month < 1 || month > 12 || day < 1 ||
                day > 31 || !ParseClock(t[k + 1].text, &h, &m, &s))
                continue;
            --month;
            haveYear = true;
            last = k + 1;
        } else {
            continue;
        }
        // The size stands just before the date.
        std::uint64_t size = 0;
        if (!ParseSizeColumn(t[k - 1].text, device, &size))
            continue;
        // The name follows the date after exactly one blank; further blanks
        // belong to the name.
        size_t nameStart = t[last].end + 1;
        if (nameStart >= line.size())
            return false;
        std::string_view name = line.substr(nameStart);
        out->isLink = kind == 'l';
        out->isDirectory = kind == 'd' || kind == 'D';
        if (out->isLink) {
            size_t arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) {
                out->linkTarget.assign(name.substr(arrow + 4));
                name = name.substr(0, arrow);
            }
        }
        if (!haveYear) {
            struct tm nowTm;
            gmtime_r(&now, &nowTm);
            year = nowTm.tm_year + 1900;
            // A date without a year lies within the past year: one that would
            // be in the future belongs to last year.
            if (Utc(year, month, day, h, m, s) > static_cast<std::int64_t>(now) + 86400)
                --year;
        }
        out->name.assign(name);
        out->size = size;
        out->modified = Utc(year, month, day, h, m, s);
        out->modifiedIsUtc = false;
        return true;
    }
    return false;
}

// 04-27-00  12:09PM       <DIR>          name
// 04-27-2000  12:09PM          1234 name
// 2013-09-02  18:48       <DIR>          name
bool ParseDos(std::string_view line, FindData* out) {
    std::vector<Token> t = Tokenize(line, 4);
    if (t.size() < 4)
        return false;
    std::string_view date = t[0].text;
    int month = 0, day = 0, year = 0;
    if (date.size() == 10 && date[4] == '-' && date[7] == '-') {
        // IIS with four-digit years first: 2013-09-02
        if (!ToNumber(date.substr(0, 4), &year) || !ToNumber(date.substr(5, 2), &month) ||
            !ToNumber(date.substr(8, 2), &day))
            return false;
    } else if (!(date.size() == 8 || date.size() == 10) || date[2] != '-' || date[5] != '-' ||
               !ToNumber(date.substr(0, 2), &month) || !ToNumber(date.substr(3, 2), &day) ||
               !ToNumber(date.substr(6), &year)) {
        return false;
    } else if (date.size() == 8) {
        year += year < 70 ? 2000 : 1900;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    std::string_view clock = t[1].text;
    bool pm = false, am = false;
    if (clock.size() > 2) {
        std::string_view suffix = clock.substr(clock.size() - 2);
        pm = suffix == "PM" || suffix == "pm";
        am = suffix == "AM" || suffix == "am";
        if (pm || am)
            clock = clock.substr(0, clock.size() - 2);
    }
    int h = 0, m = 0, s = 0;
    if (!ParseClock(clock, &h, &m, &s))
        return false;
    if ((pm || am) && (h < 1 || h > 12))
        return false;
    if (pm && h != 12)
        h += 12;
    if (am && h == 12)
        h = 0;
    std::string_view third = t[2].text;
    bool dir = third == "<DIR>" || third == "<dir>";
    std::uint64_t size = 0;
    if (!dir) {
        std::string digits;
        for (char c : third)
            if (c != ',')
                digits += c;
        if (!ToNumber(std::string_view(digits), &size))
            return false;
    }
    out->name.assign(line.substr(t[3].begin));
    out->isDirectory = dir;
    out->size = size;
    out->modified = Utc(year, month - 1, day, h, m, s);
    out->modifiedIsUtc = false;
    return true;
}

// +i8388621.48594,m825718503,r,s280,\tdjb.html
bool ParseEplf(std::string_view line, FindData* out) {
    if (line.empty() || line[0] != '+')
        return false;
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
        return false;
    std::string_view facts = line.substr(1, tab - 1);
    bool known = false;
    FindData e;
    while (!facts.empty()) {
        size_t comma = facts.find(',');
        std::string_view fact = facts.substr(0, comma);
        facts = comma == std::string_view::npos ? std::string_view() : facts.substr(comma + 1);
        if (fact.empty())
            continue;
        switch (fact[0]) {
        case '/':
            e.isDirectory = true;
            known = true;
            break;
        case 'r':
            known = true;
            break;
        case 's':
            ToNumber(fact.substr(1), &e.size);
            break;
        case 'm': {
            std::int64_t when = 0;
            if (ToNumber(fact.substr(1), &when)) {
                e.modified = when;
                e.modifiedIsUtc = true;
            }
            break;
        }
        default:
            break;
        }
    }
    if (!known)
        return false;
    e.name.assign(line.substr(tab + 1));
    *out = e;
    return true;
}

} // namespace

void ClassifyName(FindData& e) {
    e.isDots = e.name == "." || e.name == "..";
    e.safe = !e.name.empty() && !e.isDots &&
             e.name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool ParseMlsdLine(std::string_view line, FindData* out) {
    size_t split;
    if (!line.empty() && line[0] == ' ') {
        split = 0; // no facts
    } else {
        split = line.find("; ");
        if (split == std::string_view::npos)
            return false;
        ++split;
    }
    std::string_view facts = line.substr(0, split);
    FindData e;
    e.name.assign(line.substr(split + 1));
    bool typed = false;
    while (!facts.empty()) {
        size_t semi = facts.find(';');
        std::string_view fact = facts.substr(0, semi);
        facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
        size_t eq = fact.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string key(fact.substr(0, eq));
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string_view value = fact.substr(eq + 1);
        std::string lowerValue(value);
        for (char& c : lowerValue)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == "type") {
            typed = true;
            if (lowerValue == "dir") {
                e.isDirectory = true;
            } else if (lowerValue == "cdir") {
                e.isDirectory = true;
                e.name = ".";
            } else if (lowerValue == "pdir") {
                e.isDirectory = true;
                e.name = "..";
            } else if (lowerValue.rfind("os.unix=slink", 0) == 0 ||
                       lowerValue.rfind("os.unix=symlink", 0) == 0) {
                e.isLink = true;
            }
        } else if (key == "size" || key == "sizd") {
            ToNumber(value, &e.size);
        } else if (key == "modify" && value.size() >= 14) {
            int y, mo, d, h, mi, s;
            if (ToNumber(value.substr(0, 4), &y) && ToNumber(value.substr(4, 2), &mo) &&
                ToNumber(value.substr(6, 2), &d) && ToNumber(value.substr(8, 2), &h) &&
                ToNumber(value.substr(10, 2), &mi) && ToNumber(value.substr(12, 2), &s) &&
                mo >= 1 && mo <= 12) {
                e.modified = Utc(y, mo - 1, d, h, mi, s);
                e.modifiedIsUtc = true;
            }
        }
    }
    if (!typed && e.name.empty())
        return false;
    if (e.isDirectory && e.size)
        e.size = 0; // a folder's "size" is the listing's, not content
    ClassifyName(e);
    *out = std::move(e);
    return true;
}

bool ParseListLine(std::string_view line, std::time_t now, FindData* out) {
    FindData e;
    if (ParseUnix(line, now, &e) || ParseDos(line, &e) || ParseEplf(line, &e)) {
        ClassifyName(e);
        *out = std::move(e);
        return true;
    }
    return false;
}

void MarkLinks(std::vector<FindData>* mlsdEntries, const std::vector<FindData>& listEntries) {
    // Every name a LIST link line can stand for: the text before each arrow,
    // unless LIST shows an entry of that name that is no link.
    std::unordered_set<std::string> plain;
    for (const FindData& e : listEntries)
        if (!e.isLink)
            plain.insert(e.name);
    std::unordered_map<std::string, const FindData*> links;
    for (const FindData& e : listEntries) {
        if (!e.isLink)
            continue;
        std::string whole = e.linkTarget.empty() ? e.name : e.name + " -> " + e.linkTarget;
        for (size_t end = e.name.size(); end != std::string::npos;
             end = whole.find(" -> ", end + 1))
            if (!plain.count(whole.substr(0, end)))
                links.emplace(whole.substr(0, end), &e);
    }
    std::unordered_set<std::string> listedFolders;
    for (const FindData& e : listEntries)
        if (e.isDirectory && !e.isLink)
            listedFolders.insert(e.name);
    std::unordered_set<const FindData*> matched;
    for (FindData& e : *mlsdEntries) {
        if (e.isDots)
            continue;
        auto it = links.find(e.name);
        if (it == links.end()) {
            // A folder to MLSD that LIST does not show as a folder (a link
            // LIST hides, as it hides names that begin with "."): the two
            // disagree, and it is taken for a link, never entered.
            if (e.isDirectory && !listedFolders.count(e.name)) {
                e.isLink = true;
                e.isDirectory = false;
            }
            continue;
        }
        e.isLink = true;
        e.isDirectory = false;
        matched.insert(it->second);
    }
    std::unordered_set<std::string> names;
    for (const FindData& e : *mlsdEntries)
        names.insert(e.name);
    for (const FindData& e : listEntries)
        if (e.isLink && !matched.count(&e) && !names.count(e.name))
            mlsdEntries->push_back(e);
}

bool ParseListing(std::string_view text, bool mlsd, std::time_t now, size_t maxEntries,
                  std::vector<FindData>* out) {
    out->clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        FindData e;
        bool ok = mlsd ? ParseMlsdLine(line, &e) : ParseListLine(line, now, &e);
        if (!ok)
            continue;
        if (out->size() >= maxEntries)
            return false;
        out->push_back(std::move(e));
    }
    return true;
}

std::vector<FindData> ParseListing(std::string_view text, bool mlsd, std::time_t now) {
    std::vector<FindData> entries;
    ParseListing(text, mlsd, now, static_cast<size_t>(-1), &entries);
    return entries;
}

} // namespace ftp
