#include "json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <locale.h>
#include <stdlib.h>

namespace qelto::common::json {

namespace {

using uchar = unsigned char;

constexpr char16_t kReplacement = 0xFFFD;

bool isDigit(uchar c) {
    return c >= '0' && c <= '9';
}
bool isWordChar(uchar c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isSpace(uchar c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool hasBom(QByteArrayView text) {
    return text.size() >= 3 && uchar(text[0]) == 0xEF && uchar(text[1]) == 0xBB &&
           uchar(text[2]) == 0xBF;
}

int hexValue(uchar c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at p (the caller made sure they are there), or -1.
int hex4(const uchar* p) {
    int v = 0;
    for (int i = 0; i < 4; ++i) {
        const int h = hexValue(p[i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

// Decodes one UTF-8 sequence starting at p (p < end, *p >= 0x80). Returns the code point and
// advances p, or returns -1 and advances p by one byte when the sequence is invalid (overlong,
// an encoded surrogate, beyond U+10FFFF, cut short or a stray continuation byte).
int decodeUtf8(const uchar*& p, const uchar* end) {
    const uchar c = *p;
    int need;
    char32_t cp;
    char32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
        cp = c & 0x1F;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        cp = c & 0x0F;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        cp = c & 0x07;
        min = 0x10000;
    } else {
        ++p;
        return -1;
    }
    if (end - p <= need) {
        ++p;
        return -1;
    }
    for (int i = 1; i <= need; ++i) {
        const uchar t = p[i];
        if ((t & 0xC0) != 0x80) {
            ++p;
            return -1;
        }
        cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++p;
        return -1;
    }
    p += need + 1;
    return int(cp);
}

// Reads a number in the C locale whatever the process locale is; only used for the rare texts
// that std::from_chars reports as out of range, to tell overflow (infinite) from underflow.
double strtodC(const char* begin, const char* end) {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    const std::string copy(begin, end);
    return strtod_l(copy.c_str(), nullptr, c);
}

class Parser {
  public:
    explicit Parser(QByteArrayView text)
        : text_(text),
          begin_(reinterpret_cast<const uchar*>(text.data())),
          p_(begin_),
          end_(begin_ + text.size()) {}

    Value parseDocument(qsizetype* rootOffset) {
        if (hasBom(text_)) p_ += 3;
        skipSpace();
        if (p_ == end_) fail(QStringLiteral("文件为空"), p_);
        if (rootOffset) *rootOffset = p_ - begin_;
        Value root;
        parseValue(root, 0);
        skipSpace();
        if (p_ != end_) fail(QStringLiteral("文件末尾有多余的内容"), p_);
        return root;
    }

  private:
    [[noreturn]] void fail(const QString& message, const uchar* at) const {
        const qsizetype offset = at - begin_;
        const Position pos = positionAt(text_, offset);
        throw ParseError(message, offset, pos.line, pos.column);
    }

    void skipSpace() {
        while (p_ < end_ && isSpace(*p_)) ++p_;
    }

    void parseValue(Value& out, int depth) {
        if (p_ == end_) fail(QStringLiteral("文件意外结束"), p_);
        switch (*p_) {
            case '{':
                parseObject(out, depth + 1);
                return;
            case '[':
                parseArray(out, depth + 1);
                return;
            case '"':
                out.type = Value::Type::String;
                parseString(out.string, out.valid);
                return;
            case 't':
                parseLiteral("true", 4, out, Value::Type::Bool, true);
                return;
            case 'f':
                parseLiteral("false", 5, out, Value::Type::Bool, false);
                return;
            case 'n':
                parseLiteral("null", 4, out, Value::Type::Null, false);
                return;
            case ']':
            case '}':
            case ',':
            case ':':
                fail(QStringLiteral("缺少值"), p_);
            default:
                if (*p_ == '-' || isDigit(*p_)) {
                    parseNumber(out);
                    return;
                }
                fail(QStringLiteral("无效的值"), p_);
        }
    }

    void parseLiteral(const char* word, qsizetype length, Value& out, Value::Type type,
                      bool boolean) {
        const uchar* start = p_;
        if (end_ - p_ < length || std::memcmp(p_, word, size_t(length)) != 0)
            fail(QStringLiteral("无效的值"), start);
        p_ += length;
        if (p_ < end_ && isWordChar(*p_)) fail(QStringLiteral("无效的值"), start);
        out.type = type;
        out.boolean = boolean;
    }

    void parseArray(Value& out, int depth) {
        if (depth > kMaxDepth) fail(QStringLiteral("嵌套过深"), p_);
        out.type = Value::Type::Array;
        ++p_;
        skipSpace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            out.array.emplace_back();
            parseValue(out.array.back(), depth);
            skipSpace();
            if (p_ < end_ && *p_ == ',') {
                const uchar* comma = p_++;
                skipSpace();
                if (p_ < end_ && *p_ == ']') fail(QStringLiteral("多余的逗号"), comma);
                continue;
            }
            if (p_ < end_ && *p_ == ']') {
                ++p_;
                return;
            }
            fail(QStringLiteral("缺少逗号或右方括号"), p_);
        }
    }

    void parseObject(Value& out, int depth) {
        if (depth > kMaxDepth) fail(QStringLiteral("嵌套过深"), p_);
        out.type = Value::Type::Object;
        ++p_;
        skipSpace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            return;
        }
        for (;;) {
            if (p_ == end_) fail(QStringLiteral("文件意外结束"), p_);
            if (*p_ != '"') fail(QStringLiteral("缺少用双引号括起的属性名"), p_);
            out.object.emplace_back();
            Member& member = out.object.back();
            bool keyValid = true;
            parseString(member.key, keyValid);
            skipSpace();
            if (p_ == end_ || *p_ != ':') fail(QStringLiteral("缺少冒号"), p_);
            ++p_;
            skipSpace();
            parseValue(member.value, depth);
            skipSpace();
            if (p_ < end_ && *p_ == ',') {
                const uchar* comma = p_++;
                skipSpace();
                if (p_ < end_ && *p_ == '}') fail(QStringLiteral("多余的逗号"), comma);
                continue;
            }
            if (p_ < end_ && *p_ == '}') {
                ++p_;
                return;
            }
            fail(QStringLiteral("缺少逗号或右花括号"), p_);
        }
    }

    // p_ is at the opening quote.
    void parseString(QString& out, bool& valid) {
        const uchar* start = ++p_;
        // Most strings are plain ASCII without escapes: take them in one go.
        const uchar* q = start;
        while (q < end_ && *q != '"' && *q != '\\' && *q >= 0x20 && *q < 0x80) ++q;
        if (q < end_ && *q == '"') {
            out = QString::fromLatin1(reinterpret_cast<const char*>(start), q - start);
            p_ = q + 1;
            return;
        }
        const uchar* close = closingQuote(q);
        out = decodeString(start, close, valid);
        p_ = close + 1;
    }

    // The closing quote of a string, looked for from `q` on; raw control characters on the way
    // are refused.
    const uchar* closingQuote(const uchar* q) const {
        while (q < end_) {
            const uchar c = *q;
            if (c == '"') return q;
            if (c == '\\') {
                if (end_ - q <= 2) break;  // the escaped byte, if any, is the last one
                q += 2;
                continue;
            }
            if (c < 0x20) {
                if (c == '\n' || c == '\r') fail(QStringLiteral("字符串未结束"), q);
                fail(QStringLiteral("字符串中有未转义的控制字符"), q);
            }
            ++q;
        }
        fail(QStringLiteral("字符串未结束"), end_);
    }

    // The text between the quotes: escapes resolved and UTF-8 decoded. What is not valid (bad
    // UTF-8, a lone surrogate) becomes U+FFFD and clears `valid`.
    QString decodeString(const uchar* start, const uchar* close, bool& valid) const {
        // Each byte gives at most one UTF-16 unit, so the raw length is enough room.
        QString buffer(close - start, Qt::Uninitialized);
        char16_t* const outBegin = reinterpret_cast<char16_t*>(buffer.data());
        char16_t* o = outBegin;
        for (const uchar* r = start; r < close;) {
            if (*r < 0x80 && *r != '\\') {
                *o++ = *r++;
            } else if (*r == '\\') {
                o = unescape(r, close, o, valid);
            } else {
                const int cp = decodeUtf8(r, close);
                if (cp < 0) {
                    valid = false;
                    *o++ = kReplacement;
                } else if (cp >= 0x10000) {
                    *o++ = char16_t(0xD800 + ((cp - 0x10000) >> 10));
                    *o++ = char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
                } else {
                    *o++ = char16_t(cp);
                }
            }
        }
        buffer.truncate(o - outBegin);
        return buffer;
    }

    // The escape at `r` (a backslash, followed by at least one byte before `close`) written to
    // `o`; `r` ends past it. Returns where writing goes on.
    char16_t* unescape(const uchar*& r, const uchar* close, char16_t* o, bool& valid) const {
        static constexpr char kNamed[] = "\"\\/bfnrt";
        static constexpr char16_t kMeaning[] = u"\"\\/\b\f\n\r\t";
        const uchar* escape = r++;
        const uchar letter = *r++;
        if (const char* named = std::strchr(kNamed, letter); named && letter != 0) {
            *o++ = kMeaning[named - kNamed];
            return o;
        }
        if (letter != 'u') fail(QStringLiteral("无效的转义序列"), escape);
        const int unit = close - r >= 4 ? hex4(r) : -1;
        if (unit < 0) fail(QStringLiteral("无效的转义序列"), escape);
        r += 4;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const int low = close - r >= 6 && r[0] == '\\' && r[1] == 'u' ? hex4(r + 2) : -1;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                *o++ = char16_t(unit);
                *o++ = char16_t(low);
                r += 6;
                return o;
            }
            // A lone high surrogate; a following escape is read on its own.
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            valid = false;
            *o++ = kReplacement;
        } else {
            *o++ = char16_t(unit);
        }
        return o;
    }

    void parseNumber(Value& out) {
        const uchar* start = p_;
        const uchar* q = p_;
        const bool negative = *q == '-';
        if (negative) ++q;
        if (q == end_ || !isDigit(*q)) fail(QStringLiteral("无效的数字"), start);
        quint64 magnitude = 0;
        bool overflow = false;
        if (*q == '0') {
            ++q;
        } else {
            while (q < end_ && isDigit(*q)) {
                const unsigned digit = *q - '0';
                if (magnitude > (std::numeric_limits<quint64>::max() - digit) / 10)
                    overflow = true;
                else
                    magnitude = magnitude * 10 + digit;
                ++q;
            }
        }
        bool integral = true;
        if (q < end_ && *q == '.') {
            integral = false;
            ++q;
            if (q == end_ || !isDigit(*q)) fail(QStringLiteral("无效的数字"), start);
            while (q < end_ && isDigit(*q)) ++q;
        }
        if (q < end_ && (*q == 'e' || *q == 'E')) {
            integral = false;
            ++q;
            if (q < end_ && (*q == '+' || *q == '-')) ++q;
            if (q == end_ || !isDigit(*q)) fail(QStringLiteral("无效的数字"), start);
            while (q < end_ && isDigit(*q)) ++q;
        }
        // "01", "1.2.3", "0x1F", "1-2": the number runs on in a way JSON does not allow.
        if (q < end_ && (isWordChar(*q) || *q == '.' || *q == '-' || *q == '+'))
            fail(QStringLiteral("无效的数字"), start);
        p_ = q;

        if (integral && !overflow) {
            constexpr quint64 kInt64Max = quint64(std::numeric_limits<qint64>::max());
            if (!negative) {
                if (magnitude <= kInt64Max) {
                    out.type = Value::Type::Int;
                    out.integer = qint64(magnitude);
                } else {
                    out.type = Value::Type::UInt;
                    out.unsignedInteger = magnitude;
                }
                return;
            }
            if (magnitude <= kInt64Max + 1) {
                out.type = Value::Type::Int;
                out.integer = magnitude == kInt64Max + 1 ? std::numeric_limits<qint64>::min()
                                                         : -qint64(magnitude);
                return;
            }
        }
        const char* first = reinterpret_cast<const char*>(start);
        const char* last = reinterpret_cast<const char*>(q);
        double d = 0;
        const auto result = std::from_chars(first, last, d);
        if (result.ec == std::errc::result_out_of_range) d = strtodC(first, last);
        out.type = Value::Type::Double;
        out.number = d;
        out.valid = std::isfinite(d);
    }

    QByteArrayView text_;
    const uchar* begin_;
    const uchar* p_;
    const uchar* end_;
};

}  // namespace

Value parse(QByteArrayView text, qsizetype* rootOffset) {
    Parser parser(text);
    return parser.parseDocument(rootOffset);
}

Position positionAt(QByteArrayView text, qsizetype offset) {
    const auto* data = reinterpret_cast<const uchar*>(text.data());
    offset = std::clamp<qsizetype>(offset, 0, text.size());
    Position pos;
    qsizetype lineStart = hasBom(text) ? std::min<qsizetype>(3, offset) : 0;
    for (qsizetype i = lineStart; i < offset; ++i) {
        const uchar c = data[i];
        if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || data[i + 1] != '\n'))) {
            ++pos.line;
            lineStart = i + 1;
        }
    }
    for (qsizetype i = lineStart; i < offset; ++i)
        if ((data[i] & 0xC0) != 0x80) ++pos.column;
    return pos;
}

void appendString(QByteArray& out, QStringView text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto appendEscape = [&out](char16_t unit) {
        const char escape[6] = {'\\',
                                'u',
                                kHex[(unit >> 12) & 0xF],
                                kHex[(unit >> 8) & 0xF],
                                kHex[(unit >> 4) & 0xF],
                                kHex[unit & 0xF]};
        out.append(escape, 6);
    };
    out.append('"');
    const char16_t* p = text.utf16();
    const char16_t* const end = p + text.size();
    while (p < end) {
        // A run that needs no escaping goes out in one piece.
        const char16_t* run = p;
        while (p < end && *p >= 0x20 && *p < 0x80 && *p != u'"' && *p != u'\\') ++p;
        if (p > run) {
            const qsizetype n = p - run;
            const qsizetype at = out.size();
            out.resize(at + n);
            char* o = out.data() + at;
            for (qsizetype i = 0; i < n; ++i) o[i] = char(run[i]);
        }
        if (p == end) break;
        const char16_t c = *p++;
        switch (c) {
            case u'"':
                out.append("\\\"", 2);
                break;
            case u'\\':
                out.append("\\\\", 2);
                break;
            case u'\b':
                out.append("\\b", 2);
                break;
            case u'\f':
                out.append("\\f", 2);
                break;
            case u'\n':
                out.append("\\n", 2);
                break;
            case u'\r':
                out.append("\\r", 2);
                break;
            case u'\t':
                out.append("\\t", 2);
                break;
            default:
                if (c < 0x20) {
                    appendEscape(c);
                } else if (c < 0x800) {
                    out.append(char(0xC0 | (c >> 6)));
                    out.append(char(0x80 | (c & 0x3F)));
                } else if (c >= 0xD800 && c <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
                    const char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (*p++ - 0xDC00);
                    out.append(char(0xF0 | (cp >> 18)));
                    out.append(char(0x80 | ((cp >> 12) & 0x3F)));
                    out.append(char(0x80 | ((cp >> 6) & 0x3F)));
                    out.append(char(0x80 | (cp & 0x3F)));
                } else if (c >= 0xD800 && c <= 0xDFFF) {
                    appendEscape(c);  // a lone surrogate has no UTF-8 form
                } else {
                    out.append(char(0xE0 | (c >> 12)));
                    out.append(char(0x80 | ((c >> 6) & 0x3F)));
                    out.append(char(0x80 | (c & 0x3F)));
                }
        }
    }
    out.append('"');
}

void appendDouble(QByteArray& out, double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    const qsizetype n = result.ptr - buffer;
    out.append(buffer, n);
    if (std::memchr(buffer, '.', size_t(n)) == nullptr &&
        std::memchr(buffer, 'e', size_t(n)) == nullptr)
        out.append(".0", 2);
}

Value null() {
    return {};
}

Value boolean(bool b) {
    Value v;
    v.type = Value::Type::Bool;
    v.boolean = b;
    return v;
}

Value integer(qint64 i) {
    Value v;
    v.type = Value::Type::Int;
    v.integer = i;
    return v;
}

Value text(const QString& s) {
    Value v;
    v.type = Value::Type::String;
    v.string = s;
    return v;
}

Value textOrNull(const std::optional<QString>& s) {
    return s ? text(*s) : null();
}

Value array(std::vector<Value> items) {
    Value v;
    v.type = Value::Type::Array;
    v.array = std::move(items);
    return v;
}

Value object(std::vector<Member> members) {
    Value v;
    v.type = Value::Type::Object;
    v.object = std::move(members);
    return v;
}

namespace {

void appendValue(QByteArray& out, const Value& v, Style style, int level) {
    const bool indented = style == Style::Indented;
    const auto newline = [&](int depth) {
        if (!indented) return;
        out.append('\n');
        out.append(QByteArray(4 * depth, ' '));
    };
    switch (v.type) {
        case Value::Type::Null:
            out.append("null");
            return;
        case Value::Type::Bool:
            out.append(v.boolean ? "true" : "false");
            return;
        case Value::Type::Int:
            out.append(QByteArray::number(v.integer));
            return;
        case Value::Type::UInt:
            out.append(QByteArray::number(v.unsignedInteger));
            return;
        case Value::Type::Double:
            if (!std::isfinite(v.number))
                out.append("null");
            else
                appendDouble(out, v.number);
            return;
        case Value::Type::String:
            appendString(out, v.string);
            return;
        case Value::Type::Array:
            out.append('[');
            for (size_t i = 0; i < v.array.size(); ++i) {
                if (i) out.append(',');
                newline(level + 1);
                appendValue(out, v.array[i], style, level + 1);
            }
            newline(level);
            out.append(']');
            return;
        case Value::Type::Object: {
            std::vector<const Member*> members;
            members.reserve(v.object.size());
            for (const Member& m : v.object) members.push_back(&m);
            std::stable_sort(members.begin(), members.end(),
                             [](const Member* a, const Member* b) { return a->key < b->key; });
            out.append('{');
            for (size_t i = 0; i < members.size(); ++i) {
                if (i) out.append(',');
                newline(level + 1);
                appendString(out, members[i]->key);
                out.append(indented ? ": " : ":");
                appendValue(out, members[i]->value, style, level + 1);
            }
            newline(level);
            out.append('}');
            return;
        }
    }
}

}  // namespace

QByteArray write(const Value& value, Style style) {
    QByteArray out;
    appendValue(out, value, style, 0);
    if (style == Style::Indented) out.append('\n');
    return out;
}

}  // namespace qelto::common::json
