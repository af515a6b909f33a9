#include "csv.h"

namespace qelto::common {

QStringList csvFields(const QString& line) {
    QStringList fields;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == u'"') {
                if (i + 1 < line.size() && line[i + 1] == u'"') {
                    field += u'"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            fields << field;
            field.clear();
        } else {
            field += c;
        }
    }
    fields << field;
    return fields;
}

QString csvLine(const QStringList& fields) {
    QStringList quoted;
    for (QString f : fields) {
        if (!f.isEmpty() && QStringLiteral("=+-@\t\r").contains(f[0])) f.prepend(u'\'');
        if (f.contains(u',') || f.contains(u'"') || f.contains(u'\n') || f.contains(u'\r'))
            f = u'"' + f.replace(u'"', QStringLiteral("\"\"")) + u'"';
        quoted << f;
    }
    return quoted.join(u',');
}

}  // namespace qelto::common
