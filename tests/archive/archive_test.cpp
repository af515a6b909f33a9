// The archive: connection strings, opensql's row set, the people lists, the summary row and
// concurrent saves. The suite runs unchanged against SQLite and PostgreSQL.

#include "archive_target.h"
#include "support/core_application.h"

#include "archive/archive.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>

#include <gtest/gtest.h>

// Test names read "…/SQLite" and "…/PostgreSQL"; this keeps the parameter readable in ctest too.
void PrintTo(ArchiveTarget::Engine engine, std::ostream* os) {
    *os << (engine == ArchiveTarget::Engine::SQLite ? "SQLite" : "PostgreSQL");
}

namespace qelto::archive {
namespace {

using wmi::Variant;

using Row = QVariantMap;

// ---------------------------------------------------------------------------------------------
// Connection strings

TEST(ConnectionString, SelectsTheEngineAndItsSettings) {
    const QString cwd = QDir::currentPath();
    const struct {
        const char16_t* connstr;
        ArchiveLocation::Engine engine;
        QString file, host, database, user, password;
        int port;
    } cases[] = {
        {u"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=systeminfo.mdb;Persist Security Info=False",
         ArchiveLocation::Engine::SQLite,
         cwd + QStringLiteral("/systeminfo.mdb"),
         {},
         {},
         {},
         {},
         5432},
        {u"data source = /srv/archive/a b.db ; provider=Microsoft.Jet.OLEDB.4.0",
         ArchiveLocation::Engine::SQLite,
         QStringLiteral("/srv/archive/a b.db"),
         {},
         {},
         {},
         {},
         5432},
        {u"Provider=PostgreSQL;Host=db.lan;Port=6543;Database=档案;User "
         u"ID=it;Password=\"p;w=\"\"x\"\"\"",
         ArchiveLocation::Engine::PostgreSQL,
         {},
         QStringLiteral("db.lan"),
         QStringLiteral("档案"),
         QStringLiteral("it"),
         QStringLiteral("p;w=\"x\""),
         6543},
        // A plain file name, as people type it (";" and blanks are part of it).
        {u"./x;1 .mdb",
         ArchiveLocation::Engine::SQLite,
         cwd + QStringLiteral("/x;1 .mdb"),
         {},
         {},
         {},
         {},
         5432},
        {u"Provider=PostgreSQL OLE DB Provider;Database=qelto",
         ArchiveLocation::Engine::PostgreSQL,
         {},
         QStringLiteral("localhost"),
         QStringLiteral("qelto"),
         {},
         {},
         5432},
    };
    for (const auto& c : cases) {
        const ArchiveLocation s = parseConnectionString(QString::fromUtf16(c.connstr));
        const std::string label = QString::fromUtf16(c.connstr).toStdString();
        EXPECT_EQ(s.engine, c.engine) << label;
        EXPECT_EQ(s.file, c.file) << label;
        EXPECT_EQ(s.host, c.host) << label;
        EXPECT_EQ(s.database, c.database) << label;
        EXPECT_EQ(s.user, c.user) << label;
        EXPECT_EQ(s.password, c.password) << label;
        EXPECT_EQ(s.port, c.port) << label;
    }
}

TEST(ConnectionString, IncompleteStringsAreRefused) {
    for (const char16_t* bad :
         {u"Provider=Microsoft.Jet.OLEDB.4.0", u"", u"  ", u"Provider=PostgreSQL;Host=x",
          u"Provider=PostgreSQL;Database=d;Port=99999", u"Provider=PostgreSQL;Database=d;Port=abc"})
        EXPECT_THROW(parseConnectionString(QString::fromUtf16(bad)), ArchiveError)
            << QString::fromUtf16(bad).toStdString();
}

TEST(ConnectionString, OptionBeatsEnvironmentBeatsDefault) {
    QProcessEnvironment withEnv;
    withEnv.insert(QStringLiteral("QELTO_ARCHIVE"), QStringLiteral("Data Source=env.db"));
    QProcessEnvironment emptyEnv;
    emptyEnv.insert(QStringLiteral("QELTO_ARCHIVE"), QString());
    const struct {
        QStringList args;
        QProcessEnvironment env;
        std::optional<QString> expected;
    } cases[] = {
        {{QStringLiteral("--archive"), QStringLiteral("Data Source=opt.db")},
         withEnv,
         QStringLiteral("Data Source=opt.db")},
        {{QStringLiteral("x"), QStringLiteral("--archive=Data Source=eq.db")},
         withEnv,
         QStringLiteral("Data Source=eq.db")},
        {{QStringLiteral("x")}, withEnv, QStringLiteral("Data Source=env.db")},
        {{}, emptyEnv, kDefaultConnectionString},
        {{}, QProcessEnvironment(), kDefaultConnectionString},
        {{QStringLiteral("--archive")}, withEnv, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(effectiveConnectionString(c.args, c.env), c.expected)
            << c.args.join(u' ').toStdString();
    EXPECT_EQ(
        withoutArchiveOption({QStringLiteral("a"), QStringLiteral("--archive"), QStringLiteral("c"),
                              QStringLiteral("--archive=d"), QStringLiteral("b")}),
        (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
}

TEST(ConnectionString, AServerPasswordCanComeFromTheEnvironment) {
    const QString server = QStringLiteral("Provider=PostgreSQL;Host=h;Database=d;User ID=u");
    const QString file = QStringLiteral("Data Source=a.mdb");
    const struct {
        QString connstr;
        const char16_t* variable;  // QELTO_ARCHIVE_PASSWORD; nullptr: unset
        const char16_t* password;  // what the archive is opened with
    } cases[] = {
        {server, u"p\"w;x y", u"p\"w;x y"},
        {server + u';', u"pw", u"pw"},
        {server + QStringLiteral(";Password=own"), u"pw", u"own"},
        {server + QStringLiteral(";pwd="), u"pw", u""},  // named, even empty: kept
        {server, nullptr, u""},
    };
    for (const auto& c : cases) {
        QProcessEnvironment env;
        if (c.variable)
            env.insert(QLatin1String(kArchivePasswordVariable), QString::fromUtf16(c.variable));
        const std::optional<QString> connstr =
            effectiveConnectionString({QStringLiteral("--archive"), c.connstr}, env);
        ASSERT_TRUE(connstr);
        EXPECT_EQ(parseConnectionString(*connstr).password, QString::fromUtf16(c.password))
            << connstr->toStdString();
        EXPECT_EQ(parseConnectionString(*connstr).database, QStringLiteral("d"));
    }
    QProcessEnvironment env;
    env.insert(QLatin1String(kArchivePasswordVariable), QStringLiteral("pw"));
    EXPECT_EQ(effectiveConnectionString({QStringLiteral("--archive"), file}, env), file);
    EXPECT_TRUE(namesPassword(server + QStringLiteral("; PWD = x")));
    EXPECT_FALSE(namesPassword(server));
}

// ---------------------------------------------------------------------------------------------
// 硬盘容量

TEST(DiskCapacity, RoundsDownToWholeGigabytes) {
    const struct {
        Variant total;
        std::optional<QString> expected;
    } cases[] = {
        {Variant(quint64(1073741823)), QStringLiteral("0GB")},
        {Variant(quint64(1073741824)), QStringLiteral("1GB")},
        {Variant(quint64(1610612736)), QStringLiteral("1GB")},
        {Variant(quint64(500107862016)), QStringLiteral("465GB")},
        {Variant(qint64(0)), QStringLiteral("0GB")},
        {Variant(2147483648.0), QStringLiteral("2GB")},
        {Variant(QStringLiteral("1073741824")), QStringLiteral("1GB")},
        {Variant(QString()), std::nullopt},
        {Variant(), std::nullopt},
        {Variant(QStringLiteral("abc")), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(diskCapacity(c.total), c.expected);
}

// ---------------------------------------------------------------------------------------------
// The suite against each engine

class Archive : public ::testing::TestWithParam<ArchiveTarget::Engine> {
  protected:
    void SetUp() override {
        if (GetParam() == ArchiveTarget::Engine::PostgreSQL &&
            ArchiveTarget::serverConnectionString().isEmpty())
            GTEST_SKIP() << ArchiveTarget::skipMessage();
        target_ = std::make_unique<ArchiveTarget>(GetParam());
        initArchive(connstr());
    }
    const QString& connstr() const { return target_->connstr(); }

    std::vector<Row> rows(const QString& sql) {
        std::unique_ptr<Recordset> rs = opensql(connstr(), sql);
        std::vector<Row> out;
        for (; !rs->atEnd(); rs->MoveNext()) {
            Row row;
            for (const QString& c : rs->columns()) row.insert(c, rs->Fields(c).Value());
            out.push_back(row);
        }
        return out;
    }
    std::vector<Row> infoRows() { return rows(QStringLiteral("select * from info order by id")); }
    // usep as an archive made before the unique index, or kept by other means, may hold it:
    // pairs more than once and Null names ("NULL" unquoted).
    void olderUsep(const std::vector<std::pair<QString, QString>>& rows) {
        ASSERT_TRUE(target_->exec(QStringLiteral("DROP INDEX usep_pair")));
        for (const auto& [department, person] : rows) {
            const auto sql = [](const QString& v) {
                return v == u"NULL"
                           ? v
                           : u'\'' + QString(v).replace(QStringLiteral("'"), QStringLiteral("''")) +
                                 u'\'';
            };
            ASSERT_TRUE(
                target_->exec(QStringLiteral("INSERT INTO usep (部门, 使用人) VALUES (%1, %2)")
                                  .arg(sql(department), sql(person))));
        }
    }

    std::unique_ptr<ArchiveTarget> target_;
};

TEST_P(Archive, RecordsetFetchesEverythingAndStartsOnTheFirstRow) {
    for (int i = 1; i <= 5; ++i)
        addPerson(connstr(), QStringLiteral("部门%1").arg(i), QStringLiteral("人%1").arg(i));
    std::unique_ptr<Recordset> rs =
        opensql(connstr(), QStringLiteral("select 部门, 使用人 from usep order by 部门"));
    EXPECT_EQ(rs->RecordCount(), 5);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_FALSE(rs->atEnd());
        EXPECT_EQ(rs->Fields(QStringLiteral("部门")).Value().toString(),
                  QStringLiteral("部门%1").arg(i));
        EXPECT_EQ(rs->Fields(QStringLiteral("使用人")).Value().toString(),
                  QStringLiteral("人%1").arg(i));
        rs->MoveNext();
    }
    EXPECT_TRUE(rs->atEnd());
    EXPECT_TRUE(rs->Fields(QStringLiteral("部门")).Value().isNull());
    EXPECT_EQ(opensql(connstr(), QStringLiteral("select * from usep where 1=0"))->RecordCount(), 0);
}

TEST_P(Archive, ReleasingTheRecordsetClosesItsConnection) {
    const QStringList before = QSqlDatabase::connectionNames();
    {
        std::unique_ptr<Recordset> rs = opensql(connstr(), QStringLiteral("select * from usep"));
        EXPECT_EQ(QSqlDatabase::connectionNames().size(), before.size() + 1);
    }
    EXPECT_EQ(QSqlDatabase::connectionNames(), before);
    // A failing statement leaves no connection behind either.
    EXPECT_THROW(opensql(connstr(), QStringLiteral("select * from no_such_table")), ArchiveError);
    EXPECT_EQ(QSqlDatabase::connectionNames(), before);
}

TEST_P(Archive, DepartmentsAreListedOnceAndNullIsLeftOut) {
    EXPECT_EQ(departments(connstr()), QStringList());  // an empty usep is no error
    olderUsep({{QStringLiteral("财务部"), QStringLiteral("张三")},
               {QStringLiteral("信息部"), QStringLiteral("李四")},
               {QStringLiteral("财务部"), QStringLiteral("王五")},
               {QStringLiteral("财务部"), QStringLiteral("张三")},
               {QStringLiteral("NULL"), QStringLiteral("无部门")}});
    QStringList list = departments(connstr());
    list.sort();
    EXPECT_EQ(list, (QStringList{QStringLiteral("信息部"), QStringLiteral("财务部")}));
}

TEST_P(Archive, PeopleOfADepartmentIncludingQuotedNames) {
    olderUsep({{QStringLiteral("O'Brien"), QStringLiteral("张三")},
               {QStringLiteral("O'Brien"), QStringLiteral("李四")},
               {QStringLiteral("O'Brien"), QStringLiteral("张三")},
               {QStringLiteral("O'Brien"), QStringLiteral("NULL")},
               {QStringLiteral("O"), QStringLiteral("王五")},
               {QStringLiteral("空部门"), QStringLiteral("NULL")}});
    EXPECT_EQ(opensql(connstr(), QStringLiteral("select * from usep where 使用人 is null"))
                  ->RecordCount(),
              2);

    QStringList obrien = people(connstr(), QStringLiteral("O'Brien"));
    obrien.sort();
    EXPECT_EQ(obrien, (QStringList{QStringLiteral("张三"), QStringLiteral("李四")}));
    EXPECT_EQ(people(connstr(), QStringLiteral("O")), QStringList{QStringLiteral("王五")});
    EXPECT_EQ(people(connstr(), QStringLiteral("空部门")), QStringList());
    EXPECT_EQ(people(connstr(), QStringLiteral("没有这个部门")), QStringList());
    // Text that would change a pasted statement is only a name that matches nothing.
    EXPECT_EQ(people(connstr(), QStringLiteral("x' or '1'='1")), QStringList());
    EXPECT_EQ(people(connstr(), QStringLiteral("x'; DELETE FROM usep; --")), QStringList());
    EXPECT_EQ(opensql(connstr(), QStringLiteral("select * from usep"))->RecordCount(), 6);
}

scan::ScanRecord fullRecord() {
    scan::ScanRecord r;
    r.getl = Variant(QStringLiteral("中文(简体)"));
    r.systemdrive = Variant(QStringLiteral("C:"));
    r.sendmail = Variant(QStringLiteral("ADMIN-PC"));
    r.datecomputername = Variant(QStringLiteral("PC01"));
    r.dateuser = Variant();  // Null as read
    r.dateos = Variant(QStringLiteral("Microsoft Windows XP Professional"));
    r.dateinstalldate = Variant(QStringLiteral("2008-03-01 10：20：30"));
    r.datecpu = Variant(QStringLiteral("Intel(R) Core(TM)2 CPU"));
    r.datememory = Variant(QStringLiteral("2048MB"));
    r.datebaseboard = Variant(QStringLiteral("ASUSTeK P5Q"));
    r.datediskdrive = Variant(QStringLiteral("  WDC WD5000AAKS"));
    r.diskdrivesum = Variant(quint64(500107862016));
    r.datevideo = Variant(QStringLiteral("NVIDIA GeForce 9500 GT"));
    r.datenetworkname = Variant(QStringLiteral("  Realtek RTL8168"));
    r.datenetworkip = Variant(QStringLiteral("  192.168.1.20"));
    r.datenetworkmac = Variant(QStringLiteral("  00:1A:2B:3C:4D:5E"));
    r.datesound = Variant(QStringLiteral("Realtek HD Audio"));
    r.datecdrom = Variant(QStringLiteral("  HL-DT-ST DVDRAM"));
    r.datebios = Variant(QStringLiteral("Award BIOS"));
    return r;
}

TEST_P(Archive, SaveStoresTheTwentyTwoColumns) {
    const QDateTime when(QDate(2026, 12, 7), QTime(9, 30, 15));
    EXPECT_EQ(saveRecord(connstr(), QStringLiteral("O'Brien"), QStringLiteral("张三"), fullRecord(),
                         when),
              QStringList());
    const std::vector<Row> stored = infoRows();
    ASSERT_EQ(stored.size(), 1u);
    const Row& row = stored[0];
    const struct {
        const char* column;
        QString value;
    } expected[] = {
        {"部门", QStringLiteral("O'Brien")},
        {"使用人", QStringLiteral("张三")},
        {"计算机名", QStringLiteral("PC01")},
        {"操作系统", QStringLiteral("Microsoft Windows XP Professional")},
        {"系统语言", QStringLiteral("中文(简体)")},
        {"安装日期", QStringLiteral("2008-03-01 10：20：30")},
        {"系统盘", QStringLiteral("C:")},
        {"CPU型号", QStringLiteral("Intel(R) Core(TM)2 CPU")},
        {"物理内存", QStringLiteral("2048MB")},
        {"主板", QStringLiteral("ASUSTeK P5Q")},
        {"硬盘", QStringLiteral("  WDC WD5000AAKS")},
        {"硬盘容量", QStringLiteral("465GB")},
        {"显示卡", QStringLiteral("NVIDIA GeForce 9500 GT")},
        {"网络适配器", QStringLiteral("  Realtek RTL8168")},
        {"MAC地址", QStringLiteral("  00:1A:2B:3C:4D:5E")},
        {"IP地址", QStringLiteral("  192.168.1.20")},
        {"音频", QStringLiteral("Realtek HD Audio")},
        {"光驱", QStringLiteral("  HL-DT-ST DVDRAM")},
        {"BIOS", QStringLiteral("Award BIOS")},
        {"name", QStringLiteral("ADMIN-PC")},
    };
    for (const auto& e : expected)
        EXPECT_EQ(row.value(QString::fromUtf8(e.column)).toString(), e.value) << e.column;
    EXPECT_TRUE(row.value(QStringLiteral("用户名")).isNull());
    EXPECT_EQ(row.value(QStringLiteral("date")).toDateTime(), when);

    // The order in which the columns are set is the order of the table.
    const auto order = infoRow(QString(), QString(), fullRecord(), when);
    QStringList names;
    for (const auto& [name, value] : order) names << name;
    EXPECT_EQ(
        names.join(u','),
        QStringLiteral("部门,使用人,计算机名,用户名,操作系统,系统语言,安装日期,系统盘,CPU型号,"
                       "物理内存,主板,硬盘,硬盘容量,显示卡,网络适配器,MAC地址,IP地址,音频,光驱,"
                       "BIOS,date,name"));
}

// A host that answered none of the scanned classes: its row holds empty texts and no capacity.
// (A failed connection leaves nothing to save: the window keeps the last scan that succeeded.)
TEST_P(Archive, SaveOfAScanThatFoundNothingStoresEmptyTextsAndNoCapacity) {
    scan::ScanRecord r = fullRecord();
    r.clearForScan();  // the start of every scan, which then wrote none of these fields
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    saveRecord(connstr(), QStringLiteral("-选择部门-"), QStringLiteral("-选择使用人-"), r);
    const std::vector<Row> stored = infoRows();
    ASSERT_EQ(stored.size(), 1u);
    const Row& row = stored[0];
    for (const char* c :
         {"计算机名", "用户名", "操作系统", "安装日期", "CPU型号", "物理内存", "主板", "硬盘",
          "显示卡", "网络适配器", "MAC地址", "IP地址", "音频", "光驱", "BIOS"}) {
        EXPECT_FALSE(row.value(QString::fromUtf8(c)).isNull()) << c;
        EXPECT_EQ(row.value(QString::fromUtf8(c)).toString(), QString()) << c;
    }
    EXPECT_TRUE(row.value(QStringLiteral("硬盘容量")).isNull());
    EXPECT_EQ(row.value(QStringLiteral("系统语言")).toString(), QStringLiteral("中文(简体)"));
    EXPECT_EQ(row.value(QStringLiteral("系统盘")).toString(), QStringLiteral("C:"));
    EXPECT_EQ(row.value(QStringLiteral("部门")).toString(), QStringLiteral("-选择部门-"));
    EXPECT_EQ(row.value(QStringLiteral("name")).toString(), QStringLiteral("ADMIN-PC"));
    const QDateTime date = row.value(QStringLiteral("date")).toDateTime();
    EXPECT_GE(date, before);
    EXPECT_LE(date, QDateTime::currentDateTime().addSecs(1));
}

TEST_P(Archive, CapacityRoundingAsStored) {
    const struct {
        quint64 bytes;
        const char* text;
    } cases[] = {{1073741823, "0GB"}, {1073741824, "1GB"}, {1610612736, "1GB"}};
    for (const auto& c : cases) {
        scan::ScanRecord r = fullRecord();
        r.diskdrivesum = Variant(c.bytes);
        saveRecord(connstr(), QString::number(c.bytes), QString(), r);
    }
    const std::vector<Row> stored = infoRows();
    ASSERT_EQ(stored.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(stored[i].value(QStringLiteral("硬盘容量")).toString(),
                  QString::fromUtf8(cases[i].text));
}

TEST_P(Archive, ColumnsTheTableLacksAreLeftOutAndTheRowIsStored) {
    ASSERT_TRUE(target_->exec(QStringLiteral("DROP TABLE info")));
    ASSERT_TRUE(
        target_->exec(QStringLiteral("CREATE TABLE info (部门 TEXT, 使用人 TEXT, 计算机名 TEXT, "
                                     "date TIMESTAMP, name TEXT, 备注 TEXT DEFAULT '无')")));
    const QStringList leftOut =
        saveRecord(connstr(), QStringLiteral("信息部"), QStringLiteral("李四"), fullRecord());
    EXPECT_EQ(leftOut.size(), 17);
    EXPECT_TRUE(leftOut.contains(QStringLiteral("硬盘容量")));
    const std::vector<Row> stored = rows(QStringLiteral("select * from info"));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].value(QStringLiteral("计算机名")).toString(), QStringLiteral("PC01"));
    EXPECT_EQ(stored[0].value(QStringLiteral("备注")).toString(), QStringLiteral("无"));
}

TEST_P(Archive, AFailedSaveStoresNothingAndSaysWhy) {
    ASSERT_TRUE(target_->exec(QStringLiteral("DROP TABLE info")));
    ASSERT_TRUE(
        target_->exec(QStringLiteral("CREATE TABLE info (部门 TEXT, 使用人 TEXT NOT NULL CHECK "
                                     "(使用人 <> '拒绝'), name TEXT)")));
    try {
        saveRecord(connstr(), QStringLiteral("信息部"), QStringLiteral("拒绝"), fullRecord());
        ADD_FAILURE() << "a refused row was reported as saved";
    } catch (const ArchiveError& e) {
        EXPECT_FALSE(e.message().isEmpty());
    }
    EXPECT_EQ(opensql(connstr(), QStringLiteral("select * from info"))->RecordCount(), 0);
    // The connection is usable again afterwards: the failed transaction was rolled back.
    saveRecord(connstr(), QStringLiteral("信息部"), QStringLiteral("李四"), fullRecord());
    EXPECT_EQ(opensql(connstr(), QStringLiteral("select * from info"))->RecordCount(), 1);
}

TEST_P(Archive, InitKeepsWhatExists) {
    addPerson(connstr(), QStringLiteral("财务部"), QStringLiteral("张三"));
    saveRecord(connstr(), QStringLiteral("财务部"), QStringLiteral("张三"), fullRecord());
    initArchive(connstr());
    EXPECT_EQ(departments(connstr()), QStringList{QStringLiteral("财务部")});
    EXPECT_EQ(infoRows().size(), 1u);
}

TEST_P(Archive, ImportPeopleFromCsv) {
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("people.csv"));
    {
        QFile f(csv);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(
            "\xEF\xBB\xBF部门,使用人\r\n财务部,张三\r\n\"O'Brien, "
            "Ltd\",\"李\"\"四\"\"\"\r\n\r\n信息部,王五\n");
    }
    EXPECT_EQ(importPeople(connstr(), csv).imported, 3);
    QStringList list = departments(connstr());
    list.sort();
    EXPECT_EQ(list, (QStringList{QStringLiteral("O'Brien, Ltd"), QStringLiteral("信息部"),
                                 QStringLiteral("财务部")}));
    EXPECT_EQ(people(connstr(), QStringLiteral("O'Brien, Ltd")),
              QStringList{QStringLiteral("李\"四\"")});

    // A bad line adds nothing at all.
    const QString bad = dir.filePath(QStringLiteral("bad.csv"));
    {
        QFile f(bad);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("行政部,赵六\n只有一列\n");
    }
    EXPECT_THROW(importPeople(connstr(), bad), ArchiveError);
    EXPECT_EQ(people(connstr(), QStringLiteral("行政部")), QStringList());
}

TEST_P(Archive, EachPairIsKeptOnceAndEmptyNamesAreRefused) {
    for (const bool older : {false, true}) {
        SCOPED_TRACE(older ? "older archive" : "archive from init");
        if (older) {
            ASSERT_TRUE(target_->exec(QStringLiteral("DROP TABLE usep")));
            ASSERT_TRUE(
                target_->exec(QStringLiteral("CREATE TABLE usep (部门 TEXT, 使用人 TEXT)")));
        }
        EXPECT_TRUE(addPerson(connstr(), QStringLiteral("财务部"), QStringLiteral("张三")));
        EXPECT_FALSE(addPerson(connstr(), QStringLiteral(" 财务部"), QStringLiteral("张三 ")));
        EXPECT_TRUE(addPerson(connstr(), QStringLiteral("财务部"), QStringLiteral("李四")));
        for (const auto& [department, person] :
             {std::pair{QString(), QStringLiteral("张三")},
              std::pair{QStringLiteral("财务部"), QString()},
              std::pair{QStringLiteral(" "), QStringLiteral("张三")}})
            EXPECT_THROW(addPerson(connstr(), department, person), ArchiveError);
        EXPECT_EQ(opensql(connstr(), QStringLiteral("select * from usep"))->RecordCount(), 2);
        // The archive from init holds the rule itself, against other writers too.
        EXPECT_EQ(target_->exec(QStringLiteral("INSERT INTO usep VALUES ('财务部', '张三')")),
                  older);
    }
}

TEST_P(Archive, ImportReadsTheFilesEncodingAndCountsWhatItSkipped) {
    QTemporaryDir dir;
    const struct {
        QByteArray bytes;
        QByteArray localeCharset;
        QByteArray encoding;
        int imported;
        QList<int> duplicates, emptyNames;
    } table[] = {
        {"\xEF\xBB\xBF部门,使用人\n甲,乙\n", "UTF-8", "UTF-8", 1, {}, {}},
        {"甲,丙\r\n甲,乙\r\n", "GBK", "UTF-8", 1, {2}, {}},
        // 甲,丁 and 乙,戊 in GBK, whatever the locale says.
        {"\xbc\xd7,\xb6\xa1\n\xd2\xd2,\xce\xec\n", "UTF-8", "GBK", 2, {}, {}},
        // U+20000 is in GB18030 but not in GBK: the locale's character set is tried first.
        {"\xbc\xd7,\x95\x32\x82\x36\n", "GB18030", "GB18030", 1, {}, {}},
        {"部门,使用人\n丙,丁\n丙,丁\n,丁\n丙, \n", "UTF-8", "UTF-8", 1, {3}, {4, 5}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.bytes.toHex(' ').toStdString());
        QFile f(dir.filePath(QStringLiteral("people.csv")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(row.bytes);
        f.close();
        const ImportResult r = importPeople(connstr(), f.fileName(), row.localeCharset);
        EXPECT_EQ(r.encoding, row.encoding);
        EXPECT_EQ(r.imported, row.imported);
        EXPECT_EQ(r.duplicates, row.duplicates);
        EXPECT_EQ(r.emptyNames, row.emptyNames);
    }
    QStringList jia = people(connstr(), QStringLiteral("甲"));
    jia.sort();
    EXPECT_EQ(jia, (QStringList{QStringLiteral("丁"), QStringLiteral("丙"), QStringLiteral("乙"),
                                QString::fromUcs4(U"\U00020000")}));

    // Neither UTF-8 nor GBK from line 2 on: nothing is added, and the line is named.
    QFile f(dir.filePath(QStringLiteral("bad.csv")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("庚,辛\n\xff\xfe,壬\n");
    f.close();
    try {
        importPeople(connstr(), f.fileName());
        ADD_FAILURE() << "imported";
    } catch (const ArchiveError& e) {
        EXPECT_TRUE(e.message().contains(u"第 2 行")) << e.message().toStdString();
    }
    EXPECT_EQ(people(connstr(), QStringLiteral("庚")), QStringList());
}

TEST_P(Archive, ConcurrentSavesFromEightProcessesAllLand) {
    constexpr int kProcesses = 8, kSaves = 50;
    std::vector<std::unique_ptr<QProcess>> workers;
    for (int p = 0; p < kProcesses; ++p) {
        auto w = std::make_unique<QProcess>();
        w->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        w->start(QStringLiteral(QELTO_SAVE_WORKER),
                 {connstr(), QStringLiteral("w%1").arg(p), QString::number(kSaves)});
        workers.push_back(std::move(w));
    }
    for (auto& w : workers) {
        ASSERT_TRUE(w->waitForFinished(180000));
        EXPECT_EQ(w->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(w->exitCode(), 0);
    }
    const std::vector<Row> stored = infoRows();
    EXPECT_EQ(stored.size(), std::size_t(kProcesses * kSaves));
    QSet<QString> seen;
    for (const Row& r : stored) seen.insert(r.value(QStringLiteral("使用人")).toString());
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kSaves; ++i)
            EXPECT_TRUE(seen.contains(QStringLiteral("w%1-%2").arg(p).arg(i))) << p << "-" << i;
}

INSTANTIATE_TEST_SUITE_P(Engines, Archive,
                         ::testing::Values(ArchiveTarget::Engine::SQLite,
                                           ArchiveTarget::Engine::PostgreSQL),
                         [](const auto& info) {
                             return info.param == ArchiveTarget::Engine::SQLite
                                        ? std::string("SQLite")
                                        : std::string("PostgreSQL");
                         });

// ---------------------------------------------------------------------------------------------
// The archive file

class ArchiveFile : public ::testing::Test {
  protected:
    QString connstrFor(const QString& file) const {
        return QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=%1").arg(file);
    }
    static QByteArray readAll(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void write(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QTemporaryDir dir_;
};

TEST_F(ArchiveFile, MissingFileIsAnErrorAndIsNotCreated) {
    const QString file = dir_.filePath(QStringLiteral("systeminfo.mdb"));
    EXPECT_TRUE(archiveFileMissing(connstrFor(file)));
    try {
        opensql(connstrFor(file), QStringLiteral("select DISTINCT 部门 from usep"));
        ADD_FAILURE() << "opened a missing archive";
    } catch (const ArchiveError& e) {
        EXPECT_EQ(e.kind(), ArchiveError::Kind::Missing);
        EXPECT_TRUE(e.message().contains(file));
    }
    EXPECT_THROW(saveRecord(connstrFor(file), QString(), QString(), scan::ScanRecord()),
                 ArchiveError);
    EXPECT_THROW(addPerson(connstrFor(file), QStringLiteral("a"), QStringLiteral("b")),
                 ArchiveError);
    EXPECT_FALSE(QFile::exists(file));
    initArchive(connstrFor(file));
    EXPECT_FALSE(archiveFileMissing(connstrFor(file)));
    EXPECT_EQ(departments(connstrFor(file)), QStringList());
}

TEST_F(ArchiveFile, ForeignFilesAreNeverOverwritten) {
    QByteArray access(4096, '\0');
    access.replace(0, 19, QByteArray("\x00\x01\x00\x00Standard Jet DB", 19));
    QByteArray ace = access;
    ace.replace(4, 15, "Standard ACE DB");
    const struct {
        const char* name;
        QByteArray bytes;
        ArchiveError::Kind kind;
    } cases[] = {
        {"jet.mdb", access, ArchiveError::Kind::AccessFormat},
        {"ace.accdb", ace, ArchiveError::Kind::AccessFormat},
        {"notes.txt", QByteArray("部门,使用人\n"), ArchiveError::Kind::NotAnArchive},
    };
    for (const auto& c : cases) {
        const QString file = dir_.filePath(QString::fromUtf8(c.name));
        write(file, c.bytes);
        for (auto attempt :
             {+[](const QString& s) { opensql(s, QStringLiteral("select * from usep")); },
              +[](const QString& s) { initArchive(s); },
              +[](const QString& s) { saveRecord(s, QString(), QString(), scan::ScanRecord()); }}) {
            try {
                attempt(connstrFor(file));
                ADD_FAILURE() << c.name << " was opened";
            } catch (const ArchiveError& e) {
                EXPECT_EQ(e.kind(), c.kind) << c.name;
                if (c.kind == ArchiveError::Kind::AccessFormat) {
                    EXPECT_TRUE(e.message().contains(QStringLiteral("Access"))) << c.name;
                }
            }
        }
        EXPECT_EQ(readAll(file), c.bytes) << c.name;
    }
}

TEST_F(ArchiveFile, TheArchiveFileIsInWalMode) {
    const QString file = dir_.filePath(QStringLiteral("a.db"));
    initArchive(connstrFor(file));
    std::unique_ptr<Recordset> rs =
        opensql(connstrFor(file), QStringLiteral("PRAGMA journal_mode"));
    ASSERT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(rs->Fields(QStringLiteral("journal_mode")).Value().toString(), QStringLiteral("wal"));
}

TEST_F(ArchiveFile, TheDefaultDataSourceIsInTheCurrentDirectory) {
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    initArchive(kDefaultConnectionString);
    QDir::setCurrent(saved);
    EXPECT_TRUE(QFile::exists(dir_.filePath(QStringLiteral("systeminfo.mdb"))));
}

TEST_F(ArchiveFile, AddNewNeedsASingleTable) {
    const QString file = dir_.filePath(QStringLiteral("a.db"));
    initArchive(connstrFor(file));
    std::unique_ptr<Recordset> rs =
        opensql(connstrFor(file), QStringLiteral("select count(*) as n from usep, info"));
    EXPECT_EQ(rs->Fields(QStringLiteral("N")).Value().toInt(), 0);  // names are case-insensitive
    EXPECT_THROW(rs->AddNew(), ArchiveError);
    EXPECT_THROW(rs->Fields(QStringLiteral("n")).setValue(1), ArchiveError);
}

}  // namespace
}  // namespace qelto::archive
