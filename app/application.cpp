#include "application.h"

#include "resources/icons.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace qelto {

void setUpApplication(QApplication& app) {
    QApplication::setApplicationName(QStringLiteral("qelto"));
    QApplication::setApplicationVersion(QStringLiteral("2.0"));
    QApplication::setWindowIcon(treeIcon(QStringLiteral("k1")));

    auto* translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
    else
        delete translator;

    // The fixed layout is measured in pixels, so the font is too: 12 pixels, the size of the
    // usual 9-point system font at 96 dots per inch.
    QFont font = QApplication::font();
    const QString family = QString::fromLatin1(kPreferredFamily);
    if (QFontDatabase::families().contains(family)) font.setFamilies({family});
    font.setPixelSize(12);
    QApplication::setFont(font);
}

}  // namespace qelto
