#include "infra/string_util.h"

#include <string.h>  // explicit_bzero

#include <cstdio>
#include <locale>
#include <sstream>

namespace {

constexpr char kDecimalDigits[] = "0123456789";
constexpr char kHexDigits[] = "0123456789abcdefABCDEF";

bool IsFull(const std::vector<std::string>& out) { return out.size() >= CHS_SPLIT_MAX_ITEMS; }

void AppendPiece(std::vector<std::string>& out, const std::string& text, size_t begin, size_t end,
                 bool keepEmpty) {
    if (end > begin || keepEmpty) {
        out.emplace_back(text, begin, end - begin);
    }
}

bool HasHexPrefix(const std::string& text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

void Trim(std::string& text, const char* characters) {
    if (characters == nullptr) {
        return;
    }
    size_t end = text.find_last_not_of(characters);
    if (end == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(end + 1);
    text.erase(0, text.find_first_not_of(characters));
}

void Split(const std::string& text, const std::string& separator, std::vector<std::string>& out,
           bool keepEmpty) {
    if (text.empty() || separator.empty()) {
        return;
    }
    size_t begin = 0;
    while (!IsFull(out)) {
        size_t end = text.find(separator, begin);
        if (end == std::string::npos) {
            AppendPiece(out, text, begin, text.size(), keepEmpty);
            return;
        }
        AppendPiece(out, text, begin, end, keepEmpty);
        begin = end + separator.size();
    }
}

void SplitSet(const std::string& text, const std::string& separators, std::vector<std::string>& out,
              bool keepEmpty) {
    if (text.empty() || separators.empty()) {
        return;
    }
    size_t begin = 0;
    while (!IsFull(out)) {
        size_t end = text.find_first_of(separators, begin);
        if (end == std::string::npos) {
            AppendPiece(out, text, begin, text.size(), keepEmpty);
            return;
        }
        AppendPiece(out, text, begin, end, keepEmpty);
        begin = end + 1;
    }
}

void SplitIgnore(const std::string& text, const std::string& separators, std::vector<std::string>& out,
                 const std::map<char, char>& quotes, bool keepEmpty) {
    if (text.empty() || separators.empty()) {
        return;
    }
    size_t begin = 0;
    bool quoted = false;
    char closing = '\0';
    for (size_t pos = 0; pos < text.size(); ++pos) {
        char c = text[pos];
        if (quoted) {
            quoted = c != closing;
            continue;
        }
        auto quote = quotes.find(c);
        if (quote != quotes.end()) {
            quoted = true;
            closing = quote->second;
        } else if (separators.find(c) != std::string::npos) {
            if (IsFull(out)) {
                return;
            }
            AppendPiece(out, text, begin, pos, keepEmpty);
            begin = pos + 1;
        }
    }
    if (!IsFull(out)) {
        AppendPiece(out, text, begin, text.size(), keepEmpty);
    }
}

bool SplitKv(const std::string& text, const std::string& separator, std::string& key, std::string& value) {
    size_t pos = separator.empty() ? std::string::npos : text.find(separator);
    if (pos == std::string::npos) {
        return false;
    }
    key = text.substr(0, pos);
    value = text.substr(pos + separator.size());
    return true;
}

void ReplaceString(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return;
    }
    size_t pos = text.find(from);
    if (pos != std::string::npos) {
        text.replace(pos, from.size(), to);
    }
}

void ReplaceStringAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return;
    }
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
}

void ResetString(std::string& text) {
    if (!text.empty()) {
        explicit_bzero(&text[0], text.size());
    }
    text.clear();
}

void ResetPwdStr(std::string& text) {
    if (!text.empty()) {
        for (int pass = 0; pass < 3; ++pass) {
            explicit_bzero(&text[0], text.size());
        }
    }
    text.clear();
}

std::string ToStr(unsigned long long value, bool hex, unsigned int width, char fill) {
    char digits[32];
    int length = snprintf(digits, sizeof(digits), hex ? "%llx" : "%llu", value);
    std::string text;
    if (static_cast<unsigned int>(length) < width) {
        text.assign(width - static_cast<unsigned int>(length), fill);
    }
    text.append(digits, static_cast<size_t>(length));
    return text;
}

std::string ToHexStr(unsigned long long value, bool upper) {
    char digits[32];
    snprintf(digits, sizeof(digits), upper ? "0x%llX" : "0x%llx", value);
    return digits;
}

std::string ItoStr(long long value) { return std::to_string(value); }

long long ToL(const std::string& text) {
    std::istringstream in;
    in.imbue(std::locale::classic());  // no digit grouping from a global locale
    if (HasHexPrefix(text)) {
        in.str(text.substr(2));
        in >> std::hex;
    } else {
        in.str(text);
    }
    long long value = 0;
    if (!(in >> value)) {
        return 0;  // nothing read, or out of range (the stream then holds the limit)
    }
    return value;
}

bool ToL(const std::string& text, long long& value) {
    value = 0;
    const char* allowed = kDecimalDigits;
    size_t start = 0;
    if (HasHexPrefix(text)) {
        allowed = kHexDigits;
        start = 2;
    }
    if (text.find_first_not_of(allowed, start) != std::string::npos) {
        return false;
    }
    // Leading zeros aside, a text of acceptable characters that still reads
    // as 0 overflowed; refuse it rather than report 0 as its value.
    long long converted = ToL(text);
    if (converted == 0 && text.find_first_not_of('0', start) != std::string::npos) {
        return false;
    }
    value = converted;
    return true;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string OneLine(const std::string& text, size_t max, char replacement) {
    std::string line = text.substr(0, max);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = replacement;
        }
    }
    return line;
}
