// The text report: its exact bytes in each encoding, the file name made from the computer name,
// and the writing of the file (complete or not at all).

#include "report/report.h"
#include "common/charset.h"
#include "report/savefile.h"

#include "scan/scan.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace qelto::report {
namespace {

// The root, the 18 categories and then `details` detail lines under the first category.
scan::InventoryTree makeTree(const QStringList& details) {
    scan::InventoryTree tree;
    tree.add(QString(), QStringLiteral("C"), QStringLiteral("PC01"), QStringLiteral("k1"));
    for (const scan::Category& c : scan::categories())
        tree.add(QStringLiteral("C"), QString::fromUtf8(c.key), QString::fromUtf8(c.text),
                 QString::fromUtf8(c.image));
    const QString first = QString::fromUtf8(scan::categories()[0].key);
    int n = 0;
    for (const QString& d : details)
        tree.add(first, QStringLiteral("t%1").arg(++n), d, QStringLiteral("k2"));
    return tree;
}

const QDateTime kWhen(QDate(2026, 12, 7), QTime(9, 5, 3));
const QLocale kChina(QLocale::Chinese, QLocale::China);

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// --- encodings -----------------------------------------------------------------------------

TEST(ReportEncoding, CharsetIsReadFromTheLocaleName) {
    const struct {
        const char* locale;
        const char* charset;
    } cases[] = {
        {"zh_CN.GBK", "GBK"},
        {"zh_CN.gbk", "GBK"},
        {"zh_CN.GB18030", "GB18030"},
        {"zh_CN.gb18030@stroke", "GB18030"},
        {"zh_CN.UTF-8", "UTF-8"},
        {"zh_CN.utf8", "UTF-8"},
        {"C", "UTF-8"},
        {"POSIX", "UTF-8"},
        {"", "UTF-8"},
        {"zh_CN", "UTF-8"},
        {"C.UTF-8", "UTF-8"},
        {"xx_XX.NO-SUCH-CHARSET", "UTF-8"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qelto::common::charsetOfLocale(QByteArray(c.locale)), QByteArray(c.charset))
            << c.locale;
}

TEST(ReportEncoding, LocaleNameFollowsTheVariablesPrecedence) {
    const struct {
        const char *all, *ctype, *lang, *expected;
    } cases[] = {
        {"zh_CN.GBK", "zh_CN.UTF-8", "C", "zh_CN.GBK"},
        {"", "zh_CN.GB18030", "zh_CN.GBK", "zh_CN.GB18030"},  // an empty LC_ALL counts as unset
        {nullptr, nullptr, "zh_CN.GBK", "zh_CN.GBK"},
        {nullptr, nullptr, nullptr, ""},
    };
    const QByteArray saved[] = {qgetenv("LC_ALL"), qgetenv("LC_CTYPE"), qgetenv("LANG")};
    const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const auto& c : cases) {
        const char* values[] = {c.all, c.ctype, c.lang};
        for (int i = 0; i < 3; ++i) {
            if (values[i])
                setenv(names[i], values[i], 1);
            else
                unsetenv(names[i]);
        }
        EXPECT_EQ(qelto::common::localeNameFromEnvironment(), QByteArray(c.expected));
    }
    for (int i = 0; i < 3; ++i) {
        if (saved[i].isNull())
            unsetenv(names[i]);
        else
            setenv(names[i], saved[i].constData(), 1);
    }
}

TEST(ReportEncoding, UnrepresentableCharactersBecomeOneQuestionMarkEach) {
    const struct {
        const char16_t* text;
        const char* charset;
        QByteArray expected;
    } cases[] = {
        {u"检测", "GBK", QByteArray("\xbc\xec\xb2\xe2")},
        {u"检😀测", "GBK", QByteArray("\xbc\xec?\xb2\xe2")},
        {u"a😀😀b", "GBK", QByteArray("a??b")},
        {u"😀", "GB18030", QByteArray("\x94\x39\xfc\x36")},
        {u"กข检", "GBK", QByteArray("??\xbc\xec")},
        {u"检测", "UTF-8", QByteArray("\xe6\xa3\x80\xe6\xb5\x8b")},
        {u"", "GBK", QByteArray()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            qelto::common::encodeText(QString::fromUtf16(c.text), QByteArray(c.charset)).toHex(),
            c.expected.toHex())
            << c.charset;
}

TEST(ReportEncoding, LongTextGrowsTheBuffer) {
    // Every character of the input takes more room than the first guess allows in the output.
    const QString text = QString(5000, QChar(0x20AC)) + QStringLiteral("检");
    const QByteArray out = qelto::common::encodeText(text, "GB18030");
    EXPECT_EQ(out.size(), 5000 * 2 + 2);
    EXPECT_TRUE(out.endsWith("\xbc\xec"));
}

// --- content -------------------------------------------------------------------------------

const QStringList kDetails = {QStringLiteral("计算机名称：PC01"),
                              QStringLiteral("处理器核心数：4 😀")};

TEST(ReportContent, ExactBytesInEachEncoding) {
    const struct {
        const char* charset;
        QByteArray expected;
    } cases[] = {
        {"GBK",
         QByteArray(
             "\xbc\xec\xb2\xe2\xbc\xc6\xcb\xe3\xbb\xfa\x31\x32\x37\x2e\x30\x2e\x30\x2e\x31\xc5\xe4"
             "\xd6\xc3\xd0\xc5\xcf\xa2\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\xbc\xec\xb2\xe2"
             "\xca\xb1\xbc\xe4\xca\xc7\xa3\xba\x32\x30\x32\x36\x2f\x31\x32\x2f\x37\x20\x30\x39\x3a"
             "\x30\x35\x3a\x30\x33\x0d\x0a\x20\x20\x20\x20\x0d\x0a\xbc\xc6\xcb\xe3\xbb\xfa\xc3\xfb"
             "\xb3\xc6\xa3\xba\x50\x43\x30\x31\x0d\x0a\xb4\xa6\xc0\xed\xc6\xf7\xba\xcb\xd0\xc4\xca"
             "\xfd\xa3\xba\x34\x20\x3f\x0d\x0a\x20\x20\x20\x20\x0d\x0a\x71\x65\x6c\x74\x6f\xbe\xd6"
             "\xd3\xf2\xcd\xf8\xbc\xc6\xcb\xe3\xbb\xfa\xbc\xec\xb2\xe2\xcf\xb5\xcd\xb3\x20\x20\x20"
             "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
             "\x20\x20\x20\x20\x20\x20\x51\x45\x4c\xb9\xa4\xd7\xf7\xca\xd2\x0d\x0a")},
        {"GB18030",
         QByteArray(
             "\xbc\xec\xb2\xe2\xbc\xc6\xcb\xe3\xbb\xfa\x31\x32\x37\x2e\x30\x2e\x30\x2e\x31\xc5\xe4"
             "\xd6\xc3\xd0\xc5\xcf\xa2\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\xbc\xec\xb2\xe2"
             "\xca\xb1\xbc\xe4\xca\xc7\xa3\xba\x32\x30\x32\x36\x2f\x31\x32\x2f\x37\x20\x30\x39\x3a"
             "\x30\x35\x3a\x30\x33\x0d\x0a\x20\x20\x20\x20\x0d\x0a\xbc\xc6\xcb\xe3\xbb\xfa\xc3\xfb"
             "\xb3\xc6\xa3\xba\x50\x43\x30\x31\x0d\x0a\xb4\xa6\xc0\xed\xc6\xf7\xba\xcb\xd0\xc4\xca"
             "\xfd\xa3\xba\x34\x20\x94\x39\xfc\x36\x0d\x0a\x20\x20\x20\x20\x0d\x0a\x71\x65\x6c\x74"
             "\x6f\xbe\xd6\xd3\xf2\xcd\xf8\xbc\xc6\xcb\xe3\xbb\xfa\xbc\xec\xb2\xe2\xcf\xb5\xcd\xb3"
             "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
             "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x51\x45\x4c\xb9\xa4\xd7\xf7\xca\xd2\x0d\x0a")},
        {"UTF-8",
         QByteArray(
             "\xe6\xa3\x80\xe6\xb5\x8b\xe8\xae\xa1\xe7\xae\x97\xe6\x9c\xba\x31\x32\x37\x2e\x30\x2e"
             "\x30\x2e\x31\xe9\x85\x8d\xe7\xbd\xae\xe4\xbf\xa1\xe6\x81\xaf\x20\x20\x20\x20\x20\x20"
             "\x20\x20\x20\x20\x20\xe6\xa3\x80\xe6\xb5\x8b\xe6\x97\xb6\xe9\x97\xb4\xe6\x98\xaf\xef"
             "\xbc\x9a\x32\x30\x32\x36\x2f\x31\x32\x2f\x37\x20\x30\x39\x3a\x30\x35\x3a\x30\x33\x0d"
             "\x0a\x20\x20\x20\x20\x0d\x0a\xe8\xae\xa1\xe7\xae\x97\xe6\x9c\xba\xe5\x90\x8d\xe7\xa7"
             "\xb0\xef\xbc\x9a\x50\x43\x30\x31\x0d\x0a\xe5\xa4\x84\xe7\x90\x86\xe5\x99\xa8\xe6\xa0"
             "\xb8\xe5\xbf\x83\xe6\x95\xb0\xef\xbc\x9a\x34\x20\xf0\x9f\x98\x80\x0d\x0a\x20\x20\x20"
             "\x20\x0d\x0a\x71\x65\x6c\x74\x6f\xe5\xb1\x80\xe5\x9f\x9f\xe7\xbd\x91\xe8\xae\xa1\xe7"
             "\xae\x97\xe6\x9c\xba\xe6\xa3\x80\xe6\xb5\x8b\xe7\xb3\xbb\xe7\xbb\x9f\x20\x20\x20\x20"
             "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
             "\x20\x20\x20\x20\x20\x51\x45\x4c\xe5\xb7\xa5\xe4\xbd\x9c\xe5\xae\xa4\x0d\x0a")},
    };
    const QStringList lines =
        reportLines(makeTree(kDetails), QStringLiteral("127.0.0.1"), kWhen, kChina);
    for (const auto& c : cases) EXPECT_EQ(reportBytes(lines, c.charset), c.expected) << c.charset;
}

TEST(ReportContent, TreeWithoutDetailLinesGivesFourLines) {
    const QStringList lines = reportLines(makeTree({}), QStringLiteral("."), kWhen, kChina);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0],
              QStringLiteral("检测计算机.配置信息           检测时间是：2026/12/7 09:05:03"));
    EXPECT_EQ(lines[1], QStringLiteral("    "));
    EXPECT_EQ(lines[2], QStringLiteral("    "));
    EXPECT_EQ(lines[3],
              QStringLiteral("qelto局域网计算机检测系统                              QEL工作室"));
}

TEST(ReportContent, DetailLinesFollowTheOrderOfAdding) {
    // Detail lines of a later category added before those of an earlier one stay in that order.
    scan::InventoryTree tree = makeTree({QStringLiteral("甲")});
    const QString last = QString::fromUtf8(scan::categories().back().key);
    const QString first = QString::fromUtf8(scan::categories().front().key);
    tree.add(last, QStringLiteral("z1"), QStringLiteral("乙"), QStringLiteral("k2"));
    tree.add(first, QStringLiteral("a9"), QStringLiteral("丙"), QStringLiteral("k2"));
    const QStringList lines = reportLines(tree, QStringLiteral("h"), kWhen, kChina);
    EXPECT_EQ(lines.mid(2, 3),
              (QStringList{QStringLiteral("甲"), QStringLiteral("乙"), QStringLiteral("丙")}));
}

TEST(ReportContent, ControlCharactersNeverStartALine) {
    const struct {
        const char16_t* value;
        const char16_t* shown;
    } cases[] = {
        {u"A\r\n伪造：1", u"A  伪造：1"},
        {u"A\n伪造", u"A 伪造"},
        {u"A\r伪造", u"A 伪造"},
        {u"A\v\f\t\u0001B", u"A    B"},
        {u"A\u0085B\u2028C\u2029D\u007fE", u"A B C D E"},
        // Nothing reorders or hides what is read: bidirectional overrides, isolates and marks,
        // zero-width characters, tags (outside the BMP); a lone surrogate is no character.
        {u"v\u202E1.2\u202C \u2066x\u2069\u200F\u200B\uFEFF\U000E0041y\xDC9B",
         u"v 1.2   x     y\uFFFD"},
        {u"王丽 😀 ١٢", u"王丽 😀 ١٢"},
        {u"普通的值：正常", u"普通的值：正常"},
    };
    for (const auto& c : cases) {
        const QStringList lines = reportLines(makeTree({QString::fromUtf16(c.value)}),
                                              QStringLiteral("h\r\nx"), kWhen, kChina);
        ASSERT_EQ(lines.size(), 5);
        EXPECT_TRUE(lines[0].startsWith(u"检测计算机h  x配置信息"));
        EXPECT_EQ(lines[2], QString::fromUtf16(c.shown));
        const QByteArray bytes = reportBytes(lines, "GBK");
        EXPECT_EQ(bytes.count('\n'), 5);
        EXPECT_EQ(bytes.count('\r'), 5);
    }
}

TEST(ReportContent, HeaderTimeHasSecondsInEveryLocale) {
    const struct {
        QLocale locale;
        const char16_t* expected;
    } cases[] = {
        {kChina, u"2026/12/7 09:05:03"},
        {QLocale(QLocale::English, QLocale::UnitedStates), u"12/7/26 9:05:03 AM"},
        {QLocale(QLocale::German, QLocale::Germany), u"07.12.26 09:05:03"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(headerTime(kWhen, c.locale), QString::fromUtf16(c.expected))
            << c.locale.name().toStdString();
    // A locale with digits of its own still writes Latin ones, as every number of the report.
    const QString egypt = headerTime(kWhen, QLocale(QLocale::Arabic, QLocale::Egypt));
    for (const QChar ch : egypt)
        EXPECT_TRUE(!ch.isDigit() || (ch >= u'0' && ch <= u'9')) << egypt.toStdString();
    EXPECT_TRUE(egypt.contains(QStringLiteral("05"))) << egypt.toStdString();
}

// --- file names ----------------------------------------------------------------------------

TEST(ReportFileName, UnsafeNamesAreMadeSafeAndOrdinaryNamesKept) {
    const struct {
        const char16_t* name;
        const char16_t* expected;
    } cases[] = {
        {u"PC01", u"PC01"},
        {u"财务部 PC-01", u"财务部 PC-01"},
        {u"a/b", u"a_b"},
        {u"..\\..\\boot", u"_._.._boot"},
        {u"../etc/passwd", u"_._etc_passwd"},
        {u"x\ty\u0001z", u"x_y_z"},
        {u".hidden", u"_hidden"},
        {u".", u"计算机"},
        {u"..", u"计算机"},
        {u"", u"计算机"},
        {u"   ", u"计算机"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(safeFileName(QString::fromUtf16(c.name)), QString::fromUtf16(c.expected));
}

TEST(ReportFileName, VeryLongNamesAreCutToWholeCharacters) {
    const QString name = safeFileName(QString(300, QChar(0x6D4B)));  // 测 × 300, 900 bytes
    EXPECT_LE(name.toUtf8().size(), 200);
    EXPECT_GT(name.size(), 60);
    EXPECT_EQ(name, QString(name.size(), QChar(0x6D4B)));
    const QString emoji = safeFileName(QString::fromUtf16(u"😀").repeated(100));
    EXPECT_FALSE(emoji.back().isHighSurrogate());
    EXPECT_LE(emoji.toUtf8().size(), 200);
}

// --- writing -------------------------------------------------------------------------------

class ReportExport : public ::testing::Test {
  protected:
    ExportOptions options() const {
        ExportOptions o;
        o.directory = dir_.path();
        o.charset = "GBK";
        o.when = kWhen;
        o.locale = kChina;
        return o;
    }
    scan::ScanRecord recordNamed(const QString& name) {
        scan::ScanRecord r;
        r.computername = wmi::Variant(name);
        return r;
    }
    QTemporaryDir dir_;
};

TEST_F(ReportExport, WritesTheFileNamedAfterTheComputerAndReportsThePath) {
    const ExportResult r = exportReport(makeTree(kDetails), recordNamed(QStringLiteral("PC01")),
                                        QStringLiteral("127.0.0.1"), options());
    ASSERT_TRUE(r.ok()) << r.message().toStdString();
    EXPECT_EQ(r.path, dir_.filePath(QStringLiteral("PC01.doc")));
    EXPECT_EQ(r.message(), QStringLiteral("导出完成，导出文件路径为：") +
                               dir_.filePath(QStringLiteral("PC01.doc")));
    EXPECT_EQ(
        readAll(r.path),
        QByteArray(
            "\xbc\xec\xb2\xe2\xbc\xc6\xcb\xe3\xbb\xfa\x31\x32\x37\x2e\x30\x2e\x30\x2e\x31\xc5\xe4"
            "\xd6\xc3\xd0\xc5\xcf\xa2\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\xbc\xec\xb2\xe2"
            "\xca\xb1\xbc\xe4\xca\xc7\xa3\xba\x32\x30\x32\x36\x2f\x31\x32\x2f\x37\x20\x30\x39\x3a"
            "\x30\x35\x3a\x30\x33\x0d\x0a\x20\x20\x20\x20\x0d\x0a\xbc\xc6\xcb\xe3\xbb\xfa\xc3\xfb"
            "\xb3\xc6\xa3\xba\x50\x43\x30\x31\x0d\x0a\xb4\xa6\xc0\xed\xc6\xf7\xba\xcb\xd0\xc4\xca"
            "\xfd\xa3\xba\x34\x20\x3f\x0d\x0a\x20\x20\x20\x20\x0d\x0a\x71\x65\x6c\x74\x6f\xbe\xd6"
            "\xd3\xf2\xcd\xf8\xbc\xc6\xcb\xe3\xbb\xfa\xbc\xec\xb2\xe2\xcf\xb5\xcd\xb3\x20\x20\x20"
            "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
            "\x20\x20\x20\x20\x20\x20\x51\x45\x4c\xb9\xa4\xd7\xf7\xca\xd2\x0d\x0a"));
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("PC01.doc")});
}

TEST_F(ReportExport, ASecondExportReplacesTheFile) {
    writeFile(dir_.filePath(QStringLiteral("PC01.doc")), QByteArray(10000, 'x'));
    const ExportResult r = exportReport(makeTree({}), recordNamed(QStringLiteral("PC01")),
                                        QStringLiteral("h"), options());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(readAll(r.path).count("\r\n"), 4);
    EXPECT_FALSE(readAll(r.path).contains('x'));
}

TEST_F(ReportExport, UnsafeComputerNameStaysInsideTheFolder) {
    const ExportResult r =
        exportReport(makeTree(kDetails), recordNamed(QStringLiteral("../../escape")),
                     QStringLiteral("h"), options());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(QFileInfo(r.path).absolutePath(), QFileInfo(dir_.path()).absoluteFilePath());
    EXPECT_EQ(QFileInfo(r.path).fileName(), QStringLiteral("_._.._escape.doc"));
}

TEST_F(ReportExport, EmptyTreeWritesNothing) {
    const ExportResult r = exportReport(scan::InventoryTree(), recordNamed(QStringLiteral("PC01")),
                                        QStringLiteral("h"), options());
    EXPECT_EQ(r.outcome, ExportResult::Outcome::NoData);
    EXPECT_EQ(r.message(), QStringLiteral("检测到无数据，无法保存"));
    EXPECT_TRUE(QDir(dir_.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST_F(ReportExport, DefaultFolderIsTheHomeDirectory) {
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", dir_.path().toUtf8());
    ExportOptions o = options();
    o.directory.clear();
    const ExportResult r =
        exportReport(makeTree({}), recordNamed(QStringLiteral("PC02")), QStringLiteral("h"), o);
    qputenv("HOME", home);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.path, QDir(dir_.path()).filePath(QStringLiteral("PC02.doc")));
    EXPECT_TRUE(QFile::exists(r.path));
}

TEST_F(ReportExport, FailuresAreReportedAndNeverShownAsSuccess) {
    // The report's name is taken by a folder: the new file cannot replace it.
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("PC01.doc")));
    const ExportResult taken = exportReport(makeTree(kDetails), recordNamed(QStringLiteral("PC01")),
                                            QStringLiteral("h"), options());
    EXPECT_FALSE(taken.ok());
    EXPECT_FALSE(taken.reason.isEmpty());
    EXPECT_TRUE(taken.message().startsWith(QStringLiteral("导出失败")));
    EXPECT_FALSE(taken.message().contains(QStringLiteral("导出完成")));
    EXPECT_TRUE(QFileInfo(dir_.filePath(QStringLiteral("PC01.doc"))).isDir());
    // No temporary file is left behind.
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList());

    // A folder that does not exist.
    ExportOptions o = options();
    o.directory = dir_.filePath(QStringLiteral("missing"));
    const ExportResult missing =
        exportReport(makeTree({}), recordNamed(QStringLiteral("PC01")), QStringLiteral("h"), o);
    EXPECT_FALSE(missing.ok());
    EXPECT_TRUE(missing.message().startsWith(QStringLiteral("导出失败")));
}

TEST_F(ReportExport, ReadOnlyFolderKeepsTheOldReport) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders; see FailuresAreReported…";
    const QString old = dir_.filePath(QStringLiteral("PC01.doc"));
    writeFile(old, QByteArrayLiteral("old report\r\n"));
    QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const ExportResult r = exportReport(makeTree(kDetails), recordNamed(QStringLiteral("PC01")),
                                        QStringLiteral("h"), options());
    QFile::setPermissions(dir_.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.message().startsWith(QStringLiteral("导出失败")));
    EXPECT_EQ(readAll(old), QByteArrayLiteral("old report\r\n"));
}

TEST_F(ReportExport, FailedWriteKeepsTheOldReport) {
    // A file size limit makes the write fail even for root, whom permissions do not stop.
    const QString old = dir_.filePath(QStringLiteral("PC01.doc"));
    writeFile(old, QByteArrayLiteral("old report\r\n"));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const ExportResult r =
        exportReport(makeTree(QStringList(50, QStringLiteral("一行很长的检测结果"))),
                     recordNamed(QStringLiteral("PC01")), QStringLiteral("h"), options());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.message().startsWith(QStringLiteral("导出失败")));
    EXPECT_EQ(readAll(old), QByteArrayLiteral("old report\r\n"));
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("PC01.doc")});
}

TEST_F(ReportExport, ALinkAtTheReportsNameIsNeitherFollowedNorReplaced) {
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    writeFile(victim, QByteArrayLiteral("keep me"));
    const QString missing = elsewhere.filePath(QStringLiteral("would-be-created"));
    for (const QString& target : {victim, missing}) {
        const QString link = dir_.filePath(QStringLiteral("PC01.doc"));
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(target, link));
        const ExportResult r = exportReport(makeTree(kDetails), recordNamed(QStringLiteral("PC01")),
                                            QStringLiteral("h"), options());
        EXPECT_FALSE(r.ok()) << target.toStdString();
        EXPECT_TRUE(r.message().contains(QStringLiteral("符号链接"))) << r.message().toStdString();
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), target);
        EXPECT_EQ(
            QDir(dir_.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList{QStringLiteral("PC01.doc")});
    }
    EXPECT_EQ(readAll(victim), QByteArrayLiteral("keep me"));
    EXPECT_FALSE(QFileInfo::exists(missing));
}

TEST_F(ReportExport, WithoutAHomeTheReportIsRefusedNotWrittenToTheRoot) {
    const QByteArray home = qgetenv("HOME");
    ExportOptions o = options();
    o.directory.clear();
    const char* cases[] = {nullptr, "", "/", "//"};
    for (const char* value : cases) {
        if (value)
            qputenv("HOME", value);
        else
            qunsetenv("HOME");
        const ExportResult r =
            exportReport(makeTree({}), recordNamed(QStringLiteral("PC0H")), QStringLiteral("h"), o);
        EXPECT_FALSE(r.ok()) << (value ? value : "(unset)");
        EXPECT_TRUE(r.message().contains(QStringLiteral("主目录"))) << r.message().toStdString();
    }
    qputenv("HOME", home);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/PC0H.doc")));
}

TEST_F(ReportExport, CharsetsThatAreNotAsciiCompatibleGiveWayToUtf8) {
    const QStringList lines = reportLines(makeTree(kDetails), QStringLiteral("h"), kWhen, kChina);
    const struct {
        const char* charset;
        bool fallsBack;
    } cases[] = {
        {"UTF-16", true}, {"UTF-16LE", true}, {"UCS-4", true},    {"UTF-32", true},
        {"UTF-7", true},  {"GBK", false},     {"GB18030", false}, {"UTF-8", false},
    };
    for (const auto& c : cases) {
        ExportOptions o = options();
        o.charset = c.charset;
        const ExportResult r = exportReport(makeTree(kDetails), recordNamed(QStringLiteral("PC01")),
                                            QStringLiteral("h"), o);
        ASSERT_TRUE(r.ok()) << c.charset;
        const QByteArray expected = reportBytes(lines, c.fallsBack ? "UTF-8" : c.charset);
        EXPECT_EQ(readAll(r.path), expected) << c.charset;
        EXPECT_EQ(r.message().contains(QStringLiteral("UTF-8")), c.fallsBack) << c.charset;
    }
    // The same when the locale names the character set.
    const QByteArray saved = qgetenv("LC_ALL");
    qputenv("LC_ALL", "zh_CN.UTF-16");
    ExportOptions o = options();
    o.charset.clear();
    const ExportResult r = exportReport(makeTree(kDetails), recordNamed(QStringLiteral("PC01")),
                                        QStringLiteral("h"), o);
    qputenv("LC_ALL", saved);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(readAll(r.path), reportBytes(lines, "UTF-8"));
}

TEST(ReportSaveFile, AFullDiskKeepsTheOldFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs as a full disk";
    QTemporaryDir mountPoint;
    ASSERT_TRUE(mountPoint.isValid());
    const QByteArray where = QFile::encodeName(mountPoint.path());
    if (::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        QByteArray where;
        ~Unmount() { ::umount(where.constData()); }
    } unmount{where};
    const QString old = mountPoint.filePath(QStringLiteral("old.doc"));
    writeFile(old, QByteArrayLiteral("old report\r\n"));
    // Fill what is left, so that the next write finds the disk full.
    {
        QFile filler(mountPoint.filePath(QStringLiteral("filler")));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        for (int i = 0; i < 64 && filler.write(block) == block.size(); ++i) {
        }
    }
    const QString reason = replaceFile(old, QByteArray(32 * 1024, 'x'));
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_EQ(readAll(old), QByteArrayLiteral("old report\r\n"));
    EXPECT_EQ(QDir(mountPoint.path()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("filler"), QStringLiteral("old.doc")}));
}

}  // namespace
}  // namespace qelto::report
