#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Character sets. Text for people (the report, the terminal) is written in the character set
// that the user's locale names, the way a desktop program writes "ANSI" text on a Chinese
// system: GBK for zh_CN.GBK, GB18030 for zh_CN.GB18030, UTF-8 for a UTF-8 locale or one that
// names no character set at all (C, POSIX). All conversions go through glibc's iconv.
namespace qelto::common {

// The locale name that decides the character set: LC_ALL, else LC_CTYPE, else LANG (an empty
// variable counts as unset). Empty when none is set.
QByteArray localeNameFromEnvironment();

// The character set named by a locale name such as "zh_CN.GBK" or "zh_CN.gb18030@euro", read from
// the name itself, so that it holds even where that locale is not generated. Names without a
// character set, and character sets that iconv does not know, give "UTF-8".
QByteArray charsetOfLocale(const QByteArray& localeName);

// True when `charset` writes ASCII (CR and LF included) as the same single bytes, as every
// character set of a Chinese locale does; false for UTF-16, UCS-4, UTF-7, EBCDIC and the like,
// and for a character set that iconv does not know.
bool asciiCompatible(const QByteArray& charset);

// The text in `charset` through iconv. A character that the character set cannot hold becomes
// "?", one "?" per character. An unknown character set falls back to UTF-8.
QByteArray encodeText(const QString& text, const QByteArray& charset);

// A value from another computer as a person may see it: every character that could act on a
// terminal or a reader rather than show itself becomes one blank: control characters (C0, DEL,
// C1: escapes, bells, line ends, tabs), the line and paragraph separators, and the format
// characters, which reorder or hide text (bidirectional embeddings, overrides, isolates and marks,
// zero-width characters, tags). A lone surrogate becomes U+FFFD. So a value never starts a line
// of its own, and what a name or version reads as is what its characters are. JSON, the archive
// and the exports keep values exact; this is for terminals, the report and the window.
QString displayLine(const QString& text);
// The same for a whole message of several lines: line ends and tabs (which separate the columns
// of this program's own tables) stay, and so do lone surrogates (bytes of a file name that were
// not UTF-8, given back as they came).
QString displayLines(const QString& text);

// Columns a text takes on a terminal: two for wide (CJK) characters, one for the others.
int displayWidth(const QString& text);

// `bytes` decoded strictly from `charset` (an iconv name). nullopt, with `badOffset` at the first
// byte that does not belong to a character of that set (or to a sequence cut off at the end),
// and for a character set that iconv does not know (badOffset 0).
std::optional<QString> decodeStrictly(const QByteArray& bytes, const QByteArray& charset,
                                      qsizetype& badOffset);

// A text of the C library (strerror, gai_strerror, dlerror): written in the character set of the
// locale the program runs in (nl_langinfo(CODESET)), which is not always UTF-8. Bytes that set
// does not decode are taken as Latin-1, so nothing turns into "???".
QString fromCLibrary(const char* text);

}  // namespace qelto::common
