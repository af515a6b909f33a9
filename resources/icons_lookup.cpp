#include "icons.h"

#include <QFile>

namespace qelto {

QIcon treeIcon(const QString& key) {
    const QString path = QStringLiteral(":/icons/") + key + QStringLiteral(".png");
    if (key.isEmpty() || !QFile::exists(path)) return {};
    return QIcon(path);
}

}  // namespace qelto
