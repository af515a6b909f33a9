#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <exception>
#include <optional>
#include <vector>

namespace qelto::common::json {

struct Member;

// One value of a parsed JSON text (RFC 8259). Numbers keep whether they were written as
// integers: a number without fraction or exponent is Int when it fits a signed 64-bit integer,
// UInt when it fits an unsigned one, and a Double otherwise.
struct Value {
    enum class Type : unsigned char { Null, Bool, Int, UInt, Double, String, Array, Object };

    Type type = Type::Null;
    // False for a String whose bytes were not valid UTF-8 or whose \u escapes left a lone
    // surrogate (`string` then holds a lossy decoding with U+FFFD), and for a Double that is not
    // finite (1e999). True for everything else. Neither is a syntax error.
    bool valid = true;
    bool boolean = false;
    union {
        qint64 integer = 0;       // Int
        quint64 unsignedInteger;  // UInt
        double number;            // Double
    };
    QString string;
    std::vector<Value> array;
    std::vector<Member> object;  // in the order of the text; repeated keys are all kept

    bool isObject() const { return type == Type::Object; }
    bool isArray() const { return type == Type::Array; }
};

struct Member {
    QString key;  // decoded lossily when its bytes are invalid
    Value value;
};

// Values to write, built in place: json::text(u"pc-07"), json::object({{u"id", json::integer(3)}}).
Value null();
Value boolean(bool b);
Value integer(qint64 i);
Value text(const QString& s);
Value array(std::vector<Value> items = {});
Value object(std::vector<Member> members = {});
// A text, or null when there is none.
Value textOrNull(const std::optional<QString>& s);

// Where a text cannot be read as JSON. The message is the user's, in Chinese; line and column
// are 1-based, the column counted in characters (code points) of that line.
class ParseError : public std::exception {
  public:
    ParseError(QString message, qsizetype offset, int line, int column)
        : message_(std::move(message)), offset_(offset), line_(line), column_(column) {}

    const QString& message() const noexcept { return message_; }
    qsizetype offset() const noexcept { return offset_; }  // in bytes from the start of the text
    int line() const noexcept { return line_; }
    int column() const noexcept { return column_; }
    const char* what() const noexcept override { return "qelto::common::json::ParseError"; }

  private:
    QString message_;
    qsizetype offset_;
    int line_;
    int column_;
};

// Arrays and objects may be nested this deep; one level more is a ParseError.
inline constexpr int kMaxDepth = 256;

// Parses one JSON text; a UTF-8 byte order mark at its start is skipped. When `rootOffset` is
// given, it receives the byte offset where the top-level value starts. Throws ParseError.
Value parse(QByteArrayView text, qsizetype* rootOffset = nullptr);

struct Position {
    int line = 1;
    int column = 1;
};

// The line and column of a byte offset in a text, counted as ParseError counts them
// (a leading byte order mark takes no column; "\n", "\r\n" and a lone "\r" end a line).
Position positionAt(QByteArrayView text, qsizetype offset);

// The text of a value, for people and programs that read our JSON output: members of an object
// in the order of their keys (so the text does not depend on the order of building), four
// blanks a level, one line per member or item, ending in a line end; Compact is one line with
// no blanks and no line end. A Double that is not finite is written as null.
enum class Style { Indented, Compact };
QByteArray write(const Value& value, Style style = Style::Indented);

// Appends `text` as a JSON string in double quotes: UTF-8, with quotes, backslashes and control
// characters escaped. A lone surrogate is written as a \u escape.
void appendString(QByteArray& out, QStringView text);

// Appends a finite double as the shortest text that reads back as the same double, and as a
// double rather than an integer (1.0 is written "1.0").
void appendDouble(QByteArray& out, double value);

}  // namespace qelto::common::json
