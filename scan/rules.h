#pragma once

#include "record.h"
#include "tree.h"
#include "wmi/service.h"
#include "wmi/variant.h"

#include <QLocale>
#include <QSet>
#include <QString>

#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

// The small vocabulary in which every query group is written: one row per line of the tree or per
// update of a field, exactly in the order in which the group runs them. A row whose value cannot
// be read or converted is left out by the one runner that executes rows (runStep); nothing else
// in the scan catches errors.
namespace qelto::scan {

// A failure of the scan that the user never sees in the tree. qelto-cli can report these on
// stderr.
struct Problem {
    enum class Kind {
        Query,     // a query that could not be run, a walk that broke off
        Value,     // a property that an object has but whose value could not be read
        TreeFull,  // the tree reached kMaxLines; the lines after that were left out
    };
    Kind kind = Kind::Query;
    QString query;
    quint32 number = 0;
    QString description;
    // Value: the property, and the object's place in the answer of `query` (from 1). A Value
    // problem without a property stands for the further values that were not listed one by one.
    QString property;
    qint64 object = 0;
};

// At most this many values that could not be read are listed one by one in a scan.
inline constexpr int kMaxValueProblems = 1000;

// The text that tells the user that the tree is full.
QString treeFullNotice();

// What one scan works on.
struct ScanEnv {
    wmi::Service& service;
    InventoryTree& tree;
    ScanRecord& record;
    QLocale locale;
    std::vector<Problem>* problems = nullptr;
    // What has already been noted: the values (query, object, property) and a full tree.
    QSet<QString> unreadable = {};
    bool moreUnreadable = false;
    bool treeFullNoted = false;
};

// Where an object of a walk comes from: its query and its place in the answer (from 1).
struct Origin {
    const QString* query = nullptr;
    qint64 number = 0;
};

// The state of one group while it runs.
struct Walk {
    explicit Walk(ScanEnv& e) : env(e) {}
    ScanEnv& env;
    const wmi::Object* object = nullptr;  // the object whose rows run
    const wmi::Object* outer = nullptr;   // in a paired walk, the object of the outer query
    Origin objectOrigin, outerOrigin;
    qint64 n = 0;                           // the group's counter
    wmi::Variant total{qint64{0}};          // a running sum (Null once a Null was added)
    qint64 tally = 0;                       // a running count
    const wmi::Variant* element = nullptr;  // the array element of an element row
    qint64 elementIndex = 0;
};

// A value for a row. It throws (wmi::Error, forms::ValueError) when it cannot be had; the row is
// then left out.
using Value = std::function<wmi::Variant(Walk&)>;
// A condition. One that cannot be evaluated counts as not met.
using Test = std::function<bool(Walk&)>;
// One row of a group.
using Step = std::function<void(Walk&)>;
using Field = wmi::Variant ScanRecord::*;

// One piece of a line's text: a literal, or a value written as text (Null gives nothing).
struct Piece {
    Piece(const char* utf8) : literal(QString::fromUtf8(utf8)) {}
    Piece(Value v) : value(std::move(v)) {}
    QString literal;
    Value value;
};
using Text = std::vector<Piece>;

// The key of a line.
struct Key {
    enum class Kind { Fixed, Counted, CountedElement, Element };
    Key(const char* fixed) : base(QString::fromUtf8(fixed)) {}
    Key(Kind k, const char* b) : kind(k), base(QString::fromUtf8(b)) {}
    Kind kind = Kind::Fixed;
    QString base;
    QString make(const Walk& w) const;
};
// base & n ("dd1" and 2 give dd12).
inline Key counted(const char* base) {
    return {Key::Kind::Counted, base};
}
// base & n for the element with index 0, and a key of its own for each further element.
inline Key countedElement(const char* base) {
    return {Key::Kind::CountedElement, base};
}
// base & the element index ("sa9" and 0 give sa90).
inline Key indexed(const char* base) {
    return {Key::Kind::Element, base};
}

// The picture of a line: fixed, or chosen by a condition.
struct Image {
    Image(const char* fixed) : ifTrue(QString::fromUtf8(fixed)) {}
    Image(Test t, const char* yes, const char* no)
        : when(std::move(t)), ifTrue(QString::fromUtf8(yes)), ifFalse(QString::fromUtf8(no)) {}
    Test when;
    QString ifTrue, ifFalse;
};

// A table from codes to names.
using Names = std::vector<std::pair<qint64, const char*>>;

// --- Values -------------------------------------------------------------------------------------
Value prop(const char* name);             // a property of the current object
Value outerProp(const char* name);        // a property of the outer object of a paired walk
Value element();                          // the current array element
Value elementNumber();                    // the element index + 1
Value counter();                          // the group counter n
Value counterMinus(qint64 k);             // n - k
Value tally();                            // the running count
Value total();                            // the running sum
Value field(Field f);                     // a field of the scan record
Value zero();                             // the number 0
Value concat(Text text);                  // the pieces joined into one text
Value trimmed(Value v);                   // blanks (U+0020) removed at both ends; Null stays Null
Value left(Value v, int count);           // the first characters of the value's text; Null throws
Value quotient(Value v, double divisor);  // shortest form; Null stays Null
Value quotient(Value v, double divisor1, double divisor2);
Value oneDecimal(Value v, double divisor);                      // one decimal, grouped; Null throws
Value wholeGrouped(Value v, double divisor1, double divisor2);  // whole number, grouped
Value roundedDown(Value v, double divisor1, double divisor2 = 1);  // Int(v / d1 / d2)
Value nearestInteger(Value dividend, Value divisor);               // ties to even, −32768…32767
Value freePercent(Value free, Value total);  // first 4 characters of free/total*100
Value dateText(Value v);                  // yyyy-mm-dd HH：MM：SS; empty when unreadable or Null
Value languageOf(Value v);                // the language name of an OSLanguage code
Value name(Value v, const Names& names);  // the name of a code; no match (or Null) throws
Value nameOr(Value v, const Names& names, const char* otherwise);  // … or a default
Value orElse(Value v, const char* fallback);  // the value, or the fallback when it fails
Value orElse(Value v, Value fallback);        // the value, or the fallback when it fails or is Null

// --- Conditions ---------------------------------------------------------------------------------
Test isNull(Value v);
Test notNull(Value v);
Test equals(Value v, qint64 number);  // Null never equals
Test isTrue(Value v);                 // Null counts as false
Test negate(Test t);                  // not, but a condition that cannot be evaluated stays unmet
Test contains(Value v, const char* text);  // case-sensitive; Null never contains
Test sameText(Value a, Value b);  // exact, case-sensitive; Null on either side never matches

// --- Rows ---------------------------------------------------------------------------------------
Step line(Key key, const char* parent, Image image, Text text, Test when = {});
Step set(Field f, Value v);
Step append(Field f, Value v);  // f := f & "  " & v
Step addTo(Field f, Value v);   // f := f + v (Null propagates)
Step addToTotal(Value v);       // total := total + v
Step setCounter(qint64 start);
Step nextCounter();  // n := n + 1
Step setTotal(qint64 start);
Step setTally(qint64 start);
Step countIf(Test t);  // tally := tally + 1 when t holds
// Rows run once per element of an array property (none when it is Null or not an array).
Step forEachElement(Value array, std::vector<Step> rows);
// Runs a second query for the current object and, for each of its objects that `match` pairs with
// the current (outer) one, the rows.
Step forEachMatch(const char* wql, Test match, std::vector<Step> rows);

// One query group: rows before its query, rows per returned object, rows after its walk.
struct Group {
    QString query;
    std::vector<Step> before;
    std::vector<Step> each;
    std::vector<Step> after;
};

// Runs a row, leaving it out if any part of it fails.
void runStep(const Step& step, Walk& walk);
// Runs a whole group.
void runGroup(const Group& group, ScanEnv& env);

}  // namespace qelto::scan
