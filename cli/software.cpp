#include "software.h"

#include "common/charset.h"
#include "wmi/error.h"

#include <algorithm>

namespace qelto::cli {

namespace {

std::optional<std::vector<ProgramRow>> readClass(wmi::Service& service,
                                                 const wmi::schema::Class& cls) {
    try {
        std::vector<ProgramRow> rows;
        QStringList names;
        for (const wmi::schema::Property& p : cls.properties) names << QString::fromLatin1(p.name);
        const auto all =
            service.execQuery(QStringLiteral("Select * From ") + QString::fromLatin1(cls.name));
        while (const std::unique_ptr<wmi::Object> o = all->next()) {
            ProgramRow row;
            row.reserve(std::size_t(names.size()));
            for (const QString& name : names) {
                try {
                    row.push_back(o->get(name));
                } catch (const wmi::Error&) {
                    row.emplace_back();
                }
            }
            rows.push_back(std::move(row));
        }
        return rows;
    } catch (const wmi::Error&) {
        return std::nullopt;
    }
}

const wmi::schema::Class& named(const char* name) {
    return *wmi::schema::findClass(QString::fromLatin1(name));
}

qsizetype column(const wmi::schema::Class& cls, const char* property) {
    const auto& ps = cls.properties;
    return std::ranges::find_if(ps, [&](const auto& p) { return qstrcmp(p.name, property) == 0; }) -
           ps.begin();
}

QString cell(const ProgramRow& row, qsizetype i) {
    const wmi::Variant& v = row[std::size_t(i)];
    return v.type() == wmi::Variant::Type::Text ? common::displayLine(v.textValue()) : QString();
}

QString pad(const QString& text, int width) {
    return text + QString(std::max(0, width - common::displayWidth(text)), u' ');
}

}  // namespace

const wmi::schema::Class& softwareClass() {
    static const wmi::schema::Class& c = named("Qelto_Software");
    return c;
}

const wmi::schema::Class& updatesClass() {
    static const wmi::schema::Class& c = named("Win32_QuickFixEngineering");
    return c;
}

Programs readPrograms(wmi::Service& service) {
    return {readClass(service, softwareClass()), readClass(service, updatesClass())};
}

QString softwareTable(const Programs& programs) {
    if (!programs.software) return QStringLiteral("这台计算机的来源不提供已安装的软件。\n");
    const wmi::schema::Class& cls = softwareClass();
    const qsizetype columns[] = {column(cls, "Name"), column(cls, "Version"),
                                 column(cls, "Architecture"), column(cls, "Source"),
                                 column(cls, "Vendor")};
    std::vector<QStringList> cells{{QStringLiteral("名称"), QStringLiteral("版本"),
                                    QStringLiteral("架构"), QStringLiteral("来源"),
                                    QStringLiteral("发行者")}};
    for (const ProgramRow& row : *programs.software) {
        QStringList line;
        for (const qsizetype c : columns) line << cell(row, c);
        cells.push_back(line);
    }
    int widths[4] = {};
    for (const QStringList& c : cells)
        for (int i = 0; i < 4; ++i) widths[i] = std::max(widths[i], common::displayWidth(c[i]));
    QString out;
    for (const QStringList& c : cells) {
        QString line;
        for (int i = 0; i < 4; ++i) line += pad(c[i], widths[i]) + QStringLiteral("  ");
        line += c[4];
        while (line.endsWith(u' ')) line.chop(1);
        out += line + u'\n';
    }
    return out + QStringLiteral("共 %1 个软件\n").arg(programs.software->size());
}

}  // namespace qelto::cli
