#pragma once

class QApplication;
class QCoreApplication;

namespace qelto {

// Chinese for Qt's own texts (context menus, standard buttons) and the application font: Noto
// Sans CJK SC where it is installed, so that Chinese shows with Simplified glyph shapes whatever
// the locale of the session.
// The program's name and version, and Qt's own texts in Chinese (also without a display).
void loadQtTexts(QCoreApplication& app);

void setUpApplication(QApplication& app);

// The family preferred for the whole program.
inline constexpr const char* kPreferredFamily = "Noto Sans CJK SC";

}  // namespace qelto
