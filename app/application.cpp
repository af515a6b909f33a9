#include "application.h"

#include "qelto_version.h"
#include "resources/icons.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace qelto {

void loadQtTexts(QCoreApplication& app) {
    QCoreApplication::setApplicationName(QStringLiteral("qelto"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QELTO_VERSION));
    auto* translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;
}

void setUpApplication(QApplication& app) {
    loadQtTexts(app);
    QApplication::setWindowIcon(treeIcon(QStringLiteral("k1")));
    // The desktop entry qelto.desktop: Wayland sessions match the window to it (and its icon).
    QGuiApplication::setDesktopFileName(QStringLiteral("qelto"));

    // The fixed layout is measured in pixels, so the font is too: 12 pixels, the size of the
    // usual 9-point system font at 96 dots per inch.
    QFont font = QApplication::font();
    const QString family = QString::fromLatin1(kPreferredFamily);
    if (QFontDatabase::families().contains(family)) font.setFamilies({family});
    font.setPixelSize(12);
    QApplication::setFont(font);
}

}  // namespace qelto
