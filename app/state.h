#pragma once

#include <QWidget>

class QLabel;

namespace qelto {

// The progress window: shown while a connection and a scan run, with one line of text. It has no
// behaviour of its own and takes no input. It belongs to the window given as its parent, which it
// stays above.
class state : public QWidget {
    Q_OBJECT
  public:
    explicit state(QWidget* parent = nullptr);

    QLabel* Label1;
};

}  // namespace qelto
