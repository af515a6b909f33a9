#pragma once

#include "recordset.h"
#include "scan/record.h"
#include "wmi/store.h"

#include <QDialog>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QPushButton;

namespace qelto::archive {

// How the dialog talks to the user; tests replace both so that no modal box ever waits.
struct Messages {
    std::function<void(QWidget* parent, const QString& text)> inform;  // OK only
    std::function<bool(QWidget* parent, const QString& text)> ask;     // 是 / 否; true for 是
};

// The message boxes of the program: title "qelto 局域网计算机配置检测系统", no icon, OK only; the
// question has 是 and 否 with 否 as the default.
Messages standardMessages();

// The save dialog: the user picks the department and the person to whom the scanned computer
// belongs and presses 保存, which appends the summary row of the scan record to info. Modeless;
// present() shows it (loading the departments anew) or brings an open one to the front. A save
// closes it; closing releases the row set and its connection. The scan record is read at the
// moment of saving, so a scan run while the dialog is open is what a later save stores.
class zuzhi : public QDialog {
    Q_OBJECT
  public:
    zuzhi(const scan::ScanRecord& record, QString connstr, Messages messages = standardMessages(),
          QWidget* parent = nullptr);
    ~zuzhi() override;

    // Shows the dialog centred on the screen, then loads the departments (a question about a
    // missing archive opens over the dialog) and puts the focus on 保存; an open dialog is only
    // brought to the front and keeps its lists. An empty list says in its box's tooltip how the
    // lists are filled.
    void present();

    QComboBox* Combo1 = nullptr;
    QComboBox* Combo2 = nullptr;
    QPushButton* Command1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;

    // Where a save finds the answers behind the scan record, kept with it as the full scan: the
    // service of the scan that filled the record, or nothing (only the summary row is saved).
    void setAnswers(std::function<const wmi::InstanceStore*()> answers) {
        answers_ = std::move(answers);
    }

    // The event handlers: loading, picking a department, saving.
    void Form_Load();
    void Combo1_Click();
    void Command1_Click();

  protected:
    void hideEvent(QHideEvent* event) override;

  private:
    const scan::ScanRecord& record_;
    QString connstr;
    QString sqlstr;
    std::unique_ptr<Recordset> rs;
    Messages messages_;
    std::function<const wmi::InstanceStore*()> answers_;
};

}  // namespace qelto::archive
